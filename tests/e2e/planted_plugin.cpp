// What an ordinary user would put in a folder the setup unpacks its plug-ins to, under a
// plug-in's name: loaded, it appends its own path to C:\planted-plugin-loaded.txt. The setup's
// end-to-end group plants it, and the file must never appear.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
  const HANDLE marker = CreateFileW(L"C:\\planted-plugin-loaded.txt", FILE_APPEND_DATA,
                                    FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(marker, path, length * sizeof(wchar_t), &written, nullptr);
  CloseHandle(marker);
  return TRUE;
}
