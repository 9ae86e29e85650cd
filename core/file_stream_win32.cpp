// TFileStream on Win32 file handles: CreateFileA, ReadFile, WriteFile,
// SetFilePointer, CloseHandle.
#include <windows.h>

#include "core/exceptions.h"
#include "core/stream.h"

namespace kv {

namespace {
HANDLE AsHandle(intptr_t h) {
  return reinterpret_cast<HANDLE>(h);
}

// The launcher opens its own file shared. A freshly downloaded file is often
// held open without sharing for a moment by a virus scanner, so a sharing
// violation is waited out: up to kSharedOpenTries tries, kSharedOpenDelayMs
// apart (a second and a quarter in all), before the open fails.
constexpr int kSharedOpenTries = 6;
constexpr DWORD kSharedOpenDelayMs = 250;

HANDLE OpenShared(const std::string& file_name) {
  for (int tries = 1;; ++tries) {
    HANDLE h = CreateFileA(file_name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE || tries == kSharedOpenTries ||
        GetLastError() != ERROR_SHARING_VIOLATION)
      return h;
    Sleep(kSharedOpenDelayMs);
  }
}
}  // namespace

TFileStream::TFileStream(const std::string& file_name, FileMode mode) : file_name_(file_name) {
  HANDLE h = INVALID_HANDLE_VALUE;
  switch (mode) {
    case FileMode::kOpenReadShared:
      h = OpenShared(file_name);
      break;
    case FileMode::kOpenReadExclusive:
      h = CreateFileA(file_name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
      break;
    case FileMode::kCreate:
      h = CreateFileA(file_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
      break;
  }
  if (h == INVALID_HANDLE_VALUE) {
    if (mode == FileMode::kCreate) RaiseCreateError(file_name);
    RaiseOpenError(file_name);
  }
  handle_ = reinterpret_cast<intptr_t>(h);
}

TFileStream::~TFileStream() {
  CloseHandle(AsHandle(handle_));
}

int32_t TFileStream::Read(void* buffer, int32_t count) {
  DWORD n = 0;
  if (count <= 0 || !ReadFile(AsHandle(handle_), buffer, static_cast<DWORD>(count), &n, nullptr))
    return 0;
  return static_cast<int32_t>(n);
}

int32_t TFileStream::Write(const void* buffer, int32_t count) {
  DWORD n = 0;
  if (count <= 0 || !WriteFile(AsHandle(handle_), buffer, static_cast<DWORD>(count), &n, nullptr))
    return 0;
  return static_cast<int32_t>(n);
}

int64_t TFileStream::Seek(int64_t offset, SeekOrigin origin) {
  DWORD method = FILE_BEGIN;
  if (origin == SeekOrigin::kCurrent) method = FILE_CURRENT;
  if (origin == SeekOrigin::kEnd) method = FILE_END;
  LONG high = static_cast<LONG>(offset >> 32);
  DWORD low =
      SetFilePointer(AsHandle(handle_), static_cast<LONG>(offset & 0xFFFFFFFF), &high, method);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
    high = 0;  // a move before the start fails: stand at the start instead
    low = SetFilePointer(AsHandle(handle_), 0, &high, FILE_BEGIN);
  }
  return (static_cast<int64_t>(high) << 32) | low;
}

// The size comes from the file pointer, like every other stream: seek to the
// end and back.
int64_t TFileStream::Size() {
  return TStream::Size();
}

}  // namespace kv
