// A DLL for the end-to-end tests to plant beside Setup.exe under the name of
// one that Windows loads on demand during a run (one that the message box or
// the shell loads). It does nothing but leave a mark: when it is loaded, it
// creates "<its own path>.loaded". A launcher that restricts the DLL search
// to the system folder never loads it.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    char mark[MAX_PATH + 16] = {};
    const DWORD n = GetModuleFileNameA(instance, mark, MAX_PATH);
    if (n > 0 && n < MAX_PATH) {
      lstrcatA(mark, ".loaded");
      HANDLE h = CreateFileA(mark, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
  }
  return TRUE;
}
