// A small installer of the project's own, for the demonstration and the
// end-to-end tests. Setup.exe starts it as
//   ZIVizivaz.exe "/SOURCE=<launcher>" "/DATA=<temporary archive>"
// It records the parameter string exactly as it arrived, opens the archive
// named by /DATA= through the archive component, lists its entries, expands
// every entry under "Data\" and writes all of it to a report beside itself
// (<its own path>.report.txt). It shows no window; its exit code is 0 when it
// could read the archive, 1 otherwise.
#include <windows.h>

#include <cstdio>
#include <string>

#include "archive/dozirivovaze.h"
#include "archive/rorodovazezudovo.h"
#include "core/bytes.h"
#include "core/wide_text_win32.h"

namespace {

// The command line after the program's own name and the blanks that follow,
// as UTF-8: the wide command line keeps every character of the paths.
std::string ParameterString() {
  const wchar_t* p = GetCommandLineW();
  if (*p == L'"') {
    ++p;
    while (*p != L'\0' && *p != L'"') ++p;
    if (*p == L'"') ++p;
  } else {
    while (*p != L'\0' && *p != L' ' && *p != L'\t') ++p;
  }
  while (*p == L' ' || *p == L'\t') ++p;
  return kv::Utf8Text(p, static_cast<size_t>(lstrlenW(p)));
}

// The value of "/NAME=" in the parameter string, quotes removed.
std::string SwitchValue(const std::string& parameters, const std::string& name) {
  const std::string key = "/" + name + "=";
  const size_t at = parameters.find(key);
  if (at == std::string::npos) return std::string();
  const size_t start = at + key.size();
  const bool quoted = at > 0 && parameters[at - 1] == '"';
  const size_t end = parameters.find(quoted ? '"' : ' ', start);
  return parameters.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// Prints the archive header and then every entry as the component's walk
// meets it, to the end of the file, and keeps the names under "Data\".
// The walk checks the header before it meets an entry, so the header's line
// is printed at the first entry, or after the walk when there is none.
struct ArchivePrinter {
  explicit ArchivePrinter(std::FILE* o) : out(o) {}

  std::FILE* out;
  kv::ArchiveHeader header;
  std::string compress_id;
  bool header_printed = false;
  std::string data_entries[64];
  int data_count = 0;

  void PrintHeader() {
    if (header_printed) return;
    std::fprintf(out, "archive: method %s, total size %d\n", compress_id.c_str(), header.TotalSize);
    header_printed = true;
  }
  void Visit(const kv::WalkedEntry& e) {
    PrintHeader();
    const kv::EntryHeader& h = e.Header;
    std::fprintf(out, "entry: %s %s stored %d size %d\n", e.Name.c_str(),
                 h.Method < kv::kMethodCount ? std::string(kv::MethodIDs[h.Method]).c_str() : "?",
                 h.Sourcesize, h.Destsize);
    if (e.Name.rfind("Data\\", 0) == 0 && data_count < 64) data_entries[data_count++] = e.Name;
  }
};

void Report(std::FILE* out, const std::string& data_path) {
  using namespace kv;
  ArchivePrinter printer(out);
  {
    // Opened shared, as the component opens it: Setup.exe may still hold
    // the file (it shares reading only) when this starts.
    TKVDoziRivovaze component(nullptr);
    TFileStream archive(data_path, FileMode::kOpenReadShared);
    component.VisitEntries(archive, printer.header, printer.compress_id,
                           TEntryVisitor::Bind<&ArchivePrinter::Visit>(&printer),
                           /*PastTotal=*/true);
    printer.PrintHeader();
  }
  const std::string* data_entries = printer.data_entries;
  const int data_count = printer.data_count;
  for (int i = 0; i < data_count; ++i) {
    TMemoryStream content;
    ExtractFromArchive(data_path, content, data_entries[i], {});
    const auto& bytes = content.Data();
    const size_t line_end = std::string(bytes.begin(), bytes.end()).find('\n');
    std::fprintf(
        out, "read: %s %zu bytes, checksum %08x verified, first line: %s\n",
        data_entries[i].c_str(), bytes.size(), ByteSum(bytes.data(), bytes.size()),
        std::string(bytes.begin(),
                    bytes.begin() + static_cast<std::ptrdiff_t>(
                                        line_end == std::string::npos ? bytes.size() : line_end))
            .c_str());
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  static wchar_t self[32768];
  const DWORD self_size = GetModuleFileNameW(nullptr, self, 32768);
  const std::string report_path =
      kv::Utf8Text(self, self_size < 32768 ? self_size : 0) + ".report.txt";
  std::FILE* out = _wfopen(kv::WidePath(report_path).c_str(), L"wb");
  if (out == nullptr) return 1;
  const std::string parameters = ParameterString();
  std::fprintf(out, "parameters: %s\n", parameters.c_str());
  std::fprintf(out, "source: %s\n", SwitchValue(parameters, "SOURCE").c_str());
  const std::string data_path = SwitchValue(parameters, "DATA");
  std::fprintf(out, "data: %s\n", data_path.c_str());
  int exit_code = 0;
  try {
    Report(out, data_path);
  } catch (const kv::Exception& e) {
    std::fprintf(out, "failed: %s: %s\n", e.ClassName(), e.Message().c_str());
    exit_code = 1;
  }
  std::fclose(out);
  return exit_code;
}
