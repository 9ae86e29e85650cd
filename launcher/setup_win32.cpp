// Setup.exe's Windows side: the real LauncherPlatform, LaunchProgram, the
// top-level report and the program entry. Everything else the launcher does
// is portable (launcher.cpp) and tested on the host.
#include <windows.h>
// <shellapi.h> builds on <windows.h>, so it stays below it.
#include <shellapi.h>

#include <new>

#include "core/exceptions.h"
#include "launcher/launcher.h"

namespace kv {
namespace {

// Takes a zero-filled buffer's text up to its first zero byte. The buffers
// are cleared first, so a call that fails leaves empty text, not garbage.
std::string TextOf(const char* buffer) {
  return std::string(buffer);
}

class Win32Platform final : public LauncherPlatform {
 public:
  std::string ModuleFileName() override {
    char buffer[261] = {};
    GetModuleFileNameA(nullptr, buffer, sizeof buffer - 1);
    return TextOf(buffer);
  }

  std::string TempPath() override {
    char buffer[256] = {};
    GetTempPathA(255, buffer);
    return TextOf(buffer);
  }

  std::string TempFileName(const std::string& folder, const char* prefix) override {
    char buffer[256] = {};
    if (GetTempFileNameA(folder.c_str(), prefix, 0, buffer) == 0) return std::string();
    return TextOf(buffer);
  }

  std::string WindowsDirectory() override {
    char buffer[261] = {};
    GetWindowsDirectoryA(buffer, 260);
    return TextOf(buffer);
  }

  int32_t LaunchProgram(const std::string& file, const std::string& parameters, uint16_t show,
                        bool wait) override;

  void Beep() override { MessageBeep(0); }
};

// Starts `file` with the verb "Open". With `wait`, polls the process every
// 100 ms, letting the message queue be looked at in between, and returns its
// exit code; -1 when the start or the exit-code query fails. Without `wait`
// a successful start returns 0. The process handle is closed either way.
int32_t Win32Platform::LaunchProgram(const std::string& file, const std::string& parameters,
                                     uint16_t show, bool wait) {
  static const char kVerb[] = "Open";
  static const char kNoDirectory[] = "";
  SHELLEXECUTEINFOA info;
  ZeroMemory(&info, sizeof info);
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.hwnd = nullptr;
  info.lpVerb = kVerb;
  info.lpFile = file.c_str();
  info.lpParameters = parameters.c_str();
  info.lpDirectory = kNoDirectory;
  info.nShow = static_cast<int>(static_cast<uint32_t>(show));
  if (!ShellExecuteExA(&info)) return -1;

  int32_t result = 0;
  if (wait) {
    MSG msg;
    while (WaitForSingleObject(info.hProcess, 100) == WAIT_TIMEOUT)
      PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    DWORD exit_code = 0;
    result = GetExitCodeProcess(info.hProcess, &exit_code) ? static_cast<int32_t>(exit_code) : -1;
  }
  if (info.hProcess != nullptr) CloseHandle(info.hProcess);
  return result;
}
static_assert(sizeof(void*) != 4 || sizeof(SHELLEXECUTEINFOA) == 60, "the 32-bit record");

[[noreturn]] void ReportAndExit(const char* class_name, const std::string& message,
                                const void* raise_address) {
  const auto base = reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr));
  const auto address = reinterpret_cast<uintptr_t>(raise_address);
  const uint32_t offset = address >= base ? static_cast<uint32_t>(address - base) : 0;
  Win32Platform platform;
  const std::string text =
      FormatExceptionReport(class_name, FileNameOnly(platform.ModuleFileName()), offset, message);
  MessageBoxA(nullptr, text.c_str(), "Application Error", MB_OK | MB_ICONSTOP | MB_TASKMODAL);
  ExitProcess(1);
}

}  // namespace
}  // namespace kv

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  try {
    kv::Win32Platform platform;
    ExitProcess(static_cast<UINT>(kv::RunLauncher(platform)));
  } catch (const kv::Exception& e) {
    kv::ReportAndExit(e.ClassName(), e.Message(), e.RaiseAddress());
  } catch (const std::bad_alloc&) {
    kv::ReportAndExit("EOutOfMemory", "Out of memory", nullptr);
  } catch (const std::exception& e) {
    kv::ReportAndExit("Exception", e.what(), nullptr);
  }
}
