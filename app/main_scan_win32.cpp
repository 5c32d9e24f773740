#include <windows.h>

#include "app/program.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // The programs start in the settings folder, which the shop's users can write: no DLL is
  // ever loaded from the current folder (the tray loads its text control by name).
  SetDllDirectoryW(L"");
  return kestrelon::run_scan_program();
}
