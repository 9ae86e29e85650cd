// The example installer, as a Setup.exe made by kvarc_add_setup starts it:
//   ZIVizivaz.exe "/SOURCE=<the Setup.exe>" "/DATA=<a copy of its archive>"
// It extracts Data\welcome.txt from the /DATA= archive through the archive
// component and writes example-report.txt into the folder of the Setup.exe:
// a line with the entry's name and size, then the entry itself; or, when
// that fails, a line with the failure. Exit code 0, or 1 on a failure.
#include <windows.h>

#include <string>

#include "archive/rorodovazezudovo.h"

namespace {

std::string Utf8(const std::wstring& text) {
  const int size = static_cast<int>(text.size());
  std::string utf8(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr,
                                                           0, nullptr, nullptr)),
                   '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, utf8.data(), static_cast<int>(utf8.size()),
                      nullptr, nullptr);
  return utf8;
}

// The value of the argument "/NAME=value" (the launcher quotes each whole
// argument), or empty.
std::string Argument(int argc, wchar_t** argv, const std::wstring& name) {
  const std::wstring key = L"/" + name + L"=";
  for (int i = 1; i < argc; ++i) {
    const std::wstring argument = argv[i];
    if (argument.rfind(key, 0) == 0) return Utf8(argument.substr(key.size()));
  }
  return {};
}

void Write(kv::TStream& out, const std::string& text) {
  out.WriteBuffer(text.data(), static_cast<int32_t>(text.size()));
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr) return 1;
  const std::string source = Argument(argc, argv, L"SOURCE");
  const std::string data = Argument(argc, argv, L"DATA");
  LocalFree(argv);
  const std::string folder = source.substr(0, source.find_last_of('\\') + 1);
  const std::string entry = "Data\\welcome.txt";
  try {
    kv::TFileStream report(folder + "example-report.txt", kv::FileMode::kCreate);
    try {
      if (data.empty()) throw kv::Exception("no /DATA= argument");
      kv::TMemoryStream content;
      kv::ExtractFromArchive(data, content, entry, {});
      Write(report, entry + ": " + std::to_string(content.Size()) + " bytes\n");
      report.CopyFrom(content, 0);
    } catch (const kv::Exception& e) {
      Write(report, std::string("failed: ") + e.ClassName() + ": " + e.Message() + "\n");
      return 1;
    }
  } catch (const kv::Exception&) {
    return 1;  // no report could be written
  }
  return 0;
}
