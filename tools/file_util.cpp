#include "tools/file_util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "tools/archive_writer.h"

namespace kv::tools {

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  struct stat st;
  if (!in || ::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
    throw BuilderError("cannot read '" + path +
                       "': " + (S_ISDIR(st.st_mode) ? "is a directory" : std::strerror(errno)));
  std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw BuilderError("cannot read '" + path + "'");
  return data;
}

void WriteFileSafely(const std::string& path, bool overwrite,
                     const std::function<void(TStream&)>& fill) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && !overwrite)
    throw BuilderError("'" + path + "' exists (use --force to overwrite it)");
  const std::string temp = path + ".kvarc-" + std::to_string(::getpid());
  try {
    {
      TFileStream out(temp, FileMode::kCreate);
      fill(out);
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0)
      throw BuilderError("cannot write '" + path + "': " + std::strerror(errno));
  } catch (...) {
    std::remove(temp.c_str());
    throw;
  }
}

void WriteFileSafely(const std::string& path, bool overwrite, const std::vector<uint8_t>& bytes) {
  WriteFileSafely(path, overwrite, [&](TStream& out) {
    out.WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
  });
}

}  // namespace kv::tools
