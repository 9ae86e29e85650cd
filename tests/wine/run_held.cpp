// Starts a program while another handle holds the program's own file open
// without sharing, as a virus scanner may do with a freshly downloaded file,
// so that the end-to-end tests can show what the launcher does when it cannot
// open its own file at once.
//
// usage: run_held PROGRAM HOLD_MS
// Creates the process suspended (the system must be able to read the file to
// start it), opens PROGRAM for reading with no sharing, lets the process run
// and closes the file after HOLD_MS milliseconds, or only once the process
// has ended when HOLD_MS is -1. Exit code: the program's, or 101 when it
// cannot be started, 102 when the file cannot be held.
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 3) return 103;
  const long hold_ms = std::atol(argv[2]);
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessA(argv[1], nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                      &startup, &process))
    return 101;
  HANDLE held =
      CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) {
    TerminateProcess(process.hProcess, 102);
    return 102;
  }
  ResumeThread(process.hThread);
  if (hold_ms >= 0) {
    WaitForSingleObject(process.hProcess, static_cast<DWORD>(hold_ms));
    CloseHandle(held);
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  if (hold_ms < 0) CloseHandle(held);
  DWORD exit_code = 1;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(exit_code);
}
