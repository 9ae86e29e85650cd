// Setup.exe's Windows side: the real LauncherPlatform, LaunchProgram, the
// top-level report and the program entry. Everything else the launcher does
// is portable (launcher.cpp) and tested on the host.
//
// The entry takes the place of the C runtime's start-up code, which parses a
// command line, sets up thread-local storage and patches pseudo-relocations
// (about 15 KiB that Setup.exe has no use for): it runs the static
// constructors, the main sequence and the top-level report, and ends the
// process itself. The C runtime DLL initialises its own heap.
#include <windows.h>
// <shellapi.h> builds on <windows.h>, so it stays below it.
#include <shellapi.h>

#include <memory>
#include <new>

#include "core/exceptions.h"
#include "core/wide_text_win32.h"
#include "launcher/launcher.h"

namespace kv {
namespace {

// The text that `get(buffer, size)` writes, a system call that answers
// with a path and its length. The buffer holds the longest path the system
// has (32,767 characters and the zero), so no answer is cut short; a call
// that fails, or wants more, gives empty text.
using TextCall = DWORD (*)(wchar_t* buffer, DWORD size);
std::string SystemText(TextCall get) {
  constexpr DWORD kSize = 32768;
  std::unique_ptr<wchar_t[]> buffer(new wchar_t[kSize]);
  const DWORD n = get(buffer.get(), kSize);
  return Utf8Text(buffer.get(), n < kSize ? n : 0);
}

// Not in every SDK's headers: the flag is newer than the call's fallback.
constexpr DWORD kLoadLibrarySearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32

class Win32Platform final : public LauncherPlatform {
 public:
  bool SetDefaultDllDirectoriesToSystem() override {
    // Looked up rather than imported: systems before the call was added
    // still start the image and take the fallback.
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    const FARPROC proc =
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories");
    if (proc == nullptr) return false;
    const auto set_default_dll_directories =
        reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void (*)()>(proc));
    return set_default_dll_directories(kLoadLibrarySearchSystem32) != 0;
  }

  void ClearDllDirectory() override { SetDllDirectoryA(""); }

  std::string ModuleFileName() override {
    return SystemText([](wchar_t* buffer, DWORD size) -> DWORD {
      return GetModuleFileNameW(nullptr, buffer, size);
    });
  }

  std::string TempPath() override {
    return SystemText(
        [](wchar_t* buffer, DWORD size) -> DWORD { return GetTempPathW(size, buffer); });
  }

  uint32_t TickCount() override { return GetTickCount(); }

  std::string WindowsDirectory() override {
    return SystemText(
        [](wchar_t* buffer, DWORD size) -> DWORD { return GetWindowsDirectoryW(buffer, size); });
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
  static const wchar_t kVerb[] = L"Open";
  static const wchar_t kNoDirectory[] = L"";
  const WideText wide_file(file);
  const WideText wide_parameters(parameters);
  SHELLEXECUTEINFOW info;
  ZeroMemory(&info, sizeof info);
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.hwnd = nullptr;
  info.lpVerb = kVerb;
  info.lpFile = wide_file.c_str();
  info.lpParameters = wide_parameters.c_str();
  info.lpDirectory = kNoDirectory;
  info.nShow = static_cast<int>(static_cast<uint32_t>(show));
  if (!ShellExecuteExW(&info)) return -1;

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
static_assert(sizeof(void*) != 4 || sizeof(SHELLEXECUTEINFOW) == 60, "the 32-bit record");

[[noreturn]] void ReportAndExit(const char* class_name, const std::string& message,
                                const void* raise_address) {
  const auto base = reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr));
  const auto address = reinterpret_cast<uintptr_t>(raise_address);
  const uint32_t offset = address >= base ? static_cast<uint32_t>(address - base) : 0;
  Win32Platform platform;
  const std::string text =
      FormatExceptionReport(class_name, FileNameOnly(platform.ModuleFileName()), offset, message);
  MessageBoxW(nullptr, WideText(text).c_str(), L"Application Error",
              MB_OK | MB_ICONSTOP | MB_TASKMODAL);
  ExitProcess(1);
}

}  // namespace
}  // namespace kv

// The constructor list that the linker lays out: -1, the constructors, 0.
// They run last to first, as the C runtime would run them.
extern "C" void (*__CTOR_LIST__[])();

namespace {
void RunStaticConstructors() {
  size_t count = 0;
  while (__CTOR_LIST__[count + 1] != nullptr) ++count;
  for (size_t i = count; i > 0; --i) __CTOR_LIST__[i]();
}
}  // namespace

// The process entry. On i686 the stack is realigned, since Windows gives the
// entry only 4-byte alignment.
extern "C"
    [[noreturn]]
#if defined(__i386__)
    __attribute__((force_align_arg_pointer))
#endif
    void
    WinMainCRTStartup() {
  RunStaticConstructors();
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
