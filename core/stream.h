// Byte streams: the only way the archive reader and the launcher touch data.
//
// `TStream` is the abstract stream. `Read` and `Write` never fail: they
// return the count transferred, possibly short, possibly 0. `ReadBuffer` and
// `WriteBuffer` insist on the whole count and raise `EReadError` /
// `EWriteError` otherwise. Positions may stand past the end; reads there
// deliver nothing.
//
// Virtual calls happen once per block, never per byte: the codec session
// buffers 8 KiB at a time on both sides.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kv {

enum class SeekOrigin { kBeginning, kCurrent, kEnd };

// Where a seek by `offset` from `origin` lands in a stream of `size` bytes
// standing at `position`: never below 0, possibly past the end.
inline int64_t SeekTarget(int64_t position, int64_t size, int64_t offset, SeekOrigin origin) {
  const int64_t base =
      origin == SeekOrigin::kCurrent ? position : (origin == SeekOrigin::kEnd ? size : 0);
  return base + offset < 0 ? 0 : base + offset;
}

class TStream {
 public:
  // Largest buffer `CopyFrom` moves bytes through.
  static constexpr int32_t kMaxCopyBuffer = 61440;

  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;
  virtual ~TStream() = default;

  // Reads up to `count` bytes (`count` >= 0); returns the count delivered.
  virtual int32_t Read(void* buffer, int32_t count) = 0;
  // Writes up to `count` bytes; returns the count accepted.
  virtual int32_t Write(const void* buffer, int32_t count) = 0;
  // Moves the position; returns the new position from the beginning.
  // A position below 0 is clamped to 0.
  virtual int64_t Seek(int64_t offset, SeekOrigin origin) = 0;
  virtual int64_t Size();

  int64_t Position() { return Seek(0, SeekOrigin::kCurrent); }
  void SetPosition(int64_t position) { Seek(position, SeekOrigin::kBeginning); }

  void ReadBuffer(void* buffer, int32_t count);         // raises EReadError
  void WriteBuffer(const void* buffer, int32_t count);  // raises EWriteError

  // Copies from `source`: with `count` 0 the whole source from its position 0
  // to its end, otherwise `count` bytes from the source's current position.
  // A negative count is no valid length and raises EReadError. Returns the
  // number of bytes copied.
  int64_t CopyFrom(TStream& source, int64_t count);
};

// A stream over a growable block of memory, for tests and for the builder.
class TMemoryStream final : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::vector<uint8_t> data) : data_(std::move(data)) {}

  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }

  const std::vector<uint8_t>& Data() const { return data_; }
  std::vector<uint8_t>& Data() { return data_; }

 private:
  std::vector<uint8_t> data_;
  int64_t position_ = 0;
};

// A stream on a file. The open modes of the system and two of creation:
enum class FileMode {
  kOpenReadShared,     // read only; others may read and write meanwhile
  kOpenReadExclusive,  // read only; no other opener may read or write
  kCreate,             // read and write, no sharing; an existing file is emptied
  // Read and write a file that this open makes: a name that is taken (by a
  // file, a folder or a link, even one that leads nowhere) fails. While the
  // stream lives others may read the file, but nobody may write, rename or
  // delete it: what is written is what stays there.
  kCreateNew,
};

// Opening raises EFOpenError "Cannot open file %s", creating EFCreateError
// "Cannot create file %s". Destroying the stream closes the file. File names
// are UTF-8; on Windows any length works. The implementation is per
// platform (file_stream_posix.cpp, file_stream_win32.cpp).
class TFileStream final : public TStream {
 public:
  TFileStream(const std::string& file_name, FileMode mode);
  ~TFileStream() override;

  // The same open without the exception: null when it fails, for callers
  // that go on to another name.
  static std::unique_ptr<TFileStream> TryOpen(const std::string& file_name, FileMode mode);

  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t Size() override;

  const std::string& FileName() const { return file_name_; }

 private:
  static constexpr intptr_t kNoHandle = -1;
  // Opens or creates the file as `mode` says: the system's handle, or
  // kNoHandle. One definition per platform.
  static intptr_t OpenHandle(const std::string& file_name, FileMode mode);
  TFileStream(const std::string& file_name, intptr_t handle)
      : file_name_(file_name), handle_(handle) {}

  std::string file_name_;
  intptr_t handle_;
};

}  // namespace kv
