// Holds a file open without sharing, as another program may do, so that the
// end-to-end tests can show what the launcher does when it cannot create a
// file that exists and is in use.
//
// usage: hold_file FILE READY RELEASE [SECONDS]
// Opens (or creates) FILE with no sharing, then creates READY and waits
// until RELEASE exists or SECONDS (default 60) have passed, and closes FILE.
// Exit code 0 after a release, 1 when FILE cannot be opened, 2 after the
// time-out.
#include <windows.h>

#include <cstdlib>

namespace {

bool Exists(const char* path) {
  return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 3;
  const int timeout_s = argc > 4 ? std::atoi(argv[4]) : 60;
  HANDLE held = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 1;
  HANDLE ready = CreateFileA(argv[2], GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
  int result = 2;
  for (int waited = 0; waited < timeout_s * 10; ++waited) {
    if (Exists(argv[3])) {
      result = 0;
      break;
    }
    Sleep(100);
  }
  CloseHandle(held);
  return result;
}
