// Text at the Win32 boundary. Inside the system every path and message is
// UTF-8; the wide (W) calls take and give UTF-16, so no character is lost to
// the ANSI code page. Only Windows files include this header.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace kv {

// UTF-16 text made from UTF-8, zero-terminated. Malformed UTF-8 sequences
// become U+FFFD, as the system converts them.
class WideText {
 public:
  explicit WideText(const std::string& utf8);

  const wchar_t* c_str() const { return text_.get(); }
  size_t size() const { return size_; }

 private:
  friend WideText WidePath(const std::string& utf8);
  WideText(std::unique_ptr<wchar_t[]> text, size_t size) : text_(std::move(text)), size_(size) {}

  std::unique_ptr<wchar_t[]> text_;
  size_t size_;
};

// A file name for CreateFileW and its kin. Full names of MAX_PATH characters
// or more get the "\\?\" form ("\\?\UNC\server\share\..." for network
// names), which lifts the MAX_PATH limit where the system's long-path
// setting is off; other names pass unchanged.
WideText WidePath(const std::string& utf8);

// UTF-8 text of `size` UTF-16 units (a lone surrogate becomes U+FFFD).
std::string Utf8Text(const wchar_t* text, size_t size);

}  // namespace kv
