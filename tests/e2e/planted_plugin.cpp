// What a user would plant under a plug-in's name where the setup unpacks its plug-ins: loaded,
// it leaves C:\planted-plugin-loaded.txt, which the setup's end-to-end group says must never be.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    CloseHandle(CreateFileW(L"C:\\planted-plugin-loaded.txt", GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, 0, nullptr));
  }
  return TRUE;
}
