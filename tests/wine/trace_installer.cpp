// A stand-in installer for the end-to-end tests whose file can be made one
// that no method shrinks: it is small, so that random bytes appended to it
// (which it never reads) outweigh what its image gains from compression. It
// shows no window; when it runs it leaves "<its own path>.ran" and exits 0,
// so that a test can tell whether the launcher started it.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  static wchar_t mark[32768 + 8];
  const DWORD n = GetModuleFileNameW(nullptr, mark, 32768);
  if (n == 0 || n >= 32768) return 1;
  lstrcatW(mark, L".ran");
  HANDLE h =
      CreateFileW(mark, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 1;
  CloseHandle(h);
  return 0;
}
