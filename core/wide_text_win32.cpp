#include "core/wide_text_win32.h"

#include <windows.h>

#include <cstring>

namespace kv {

namespace {

std::unique_ptr<wchar_t[]> NewWide(size_t size) {
  std::unique_ptr<wchar_t[]> text(new wchar_t[size + 1]);
  text[size] = 0;
  return text;
}

}  // namespace

WideText::WideText(const std::string& utf8) {
  const int bytes = static_cast<int>(utf8.size());
  const int size = bytes == 0 ? 0 : MultiByteToWideChar(CP_UTF8, 0, utf8.data(), bytes, nullptr, 0);
  text_ = NewWide(static_cast<size_t>(size));
  if (size > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), bytes, text_.get(), size);
  size_ = static_cast<size_t>(size);
}

WideText WidePath(const std::string& utf8) {
  WideText name(utf8);
  const wchar_t* text = name.c_str();
  // The long form is for full names: "C:\..." becomes "\\?\C:\...", and
  // "\\server\share\..." becomes "\\?\UNC\server\share\...". It takes the name
  // as it stands, so '/' is made '\' on the way. Short names, names already
  // in that form and relative names pass unchanged (the system's own
  // long-path setting decides on the last).
  const bool network = text[0] == L'\\' && text[1] == L'\\' && text[2] != L'?' && text[2] != L'.';
  const bool local = text[0] != 0 && text[1] == L':' && (text[2] == L'\\' || text[2] == L'/');
  if (name.size() < MAX_PATH || !(network || local)) return name;
  const wchar_t* prefix = network ? L"\\\\?\\UNC" : L"\\\\?\\";
  const size_t prefix_size = network ? 7 : 4;
  const size_t skip = network ? 1 : 0;  // the network name keeps one of its backslashes
  const size_t size = prefix_size + name.size() - skip;
  std::unique_ptr<wchar_t[]> path = NewWide(size);
  std::memcpy(path.get(), prefix, prefix_size * sizeof(wchar_t));
  for (size_t i = prefix_size; i < size; ++i) {
    const wchar_t c = text[i - prefix_size + skip];
    path[i] = c == L'/' ? L'\\' : c;
  }
  return WideText(std::move(path), size);
}

std::string Utf8Text(const wchar_t* text, size_t size) {
  const int units = static_cast<int>(size);
  if (units == 0) return std::string();
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, text, units, utf8.data(), bytes, nullptr, nullptr);
  return utf8;
}

}  // namespace kv
