// TFileStream on Win32 file handles: CreateFileW, ReadFile, WriteFile,
// SetFilePointer, CloseHandle. Names go to the system as UTF-16, in the long
// form where they need it (WidePath).
#include <windows.h>

#include "core/exceptions.h"
#include "core/stream.h"
#include "core/wide_text_win32.h"

namespace kv {

namespace {
HANDLE AsHandle(intptr_t h) {
  return reinterpret_cast<HANDLE>(h);
}

// How each mode opens: access, sharing, disposition.
struct OpenWay {
  DWORD access;
  DWORD share;
  DWORD disposition;
};
constexpr OpenWay kOpenWays[] = {
    {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING},  // kOpenReadShared
    {GENERIC_READ, 0, OPEN_EXISTING},                                   // kOpenReadExclusive
    {GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS},                   // kCreate
    // CREATE_NEW never opens what is there, a link included. Without
    // FILE_SHARE_WRITE and FILE_SHARE_DELETE no other handle can write the
    // file, rename it or delete it until this one is closed.
    {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW},  // kCreateNew
};

// The launcher opens its own file shared. A freshly downloaded file is often
// held open without sharing for a moment by a virus scanner, so a sharing
// violation is waited out: up to kSharedOpenTries tries, kSharedOpenDelayMs
// apart (a second and a quarter in all), before the open fails.
constexpr int kSharedOpenTries = 6;
constexpr DWORD kSharedOpenDelayMs = 250;
}  // namespace

intptr_t TFileStream::OpenHandle(const std::string& file_name, FileMode mode) {
  // INVALID_HANDLE_VALUE, (HANDLE)-1, is kNoHandle.
  const WideText name = WidePath(file_name);
  const OpenWay& way = kOpenWays[static_cast<int>(mode)];
  for (int tries = 1;; ++tries) {
    HANDLE h = CreateFileW(name.c_str(), way.access, way.share, nullptr, way.disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE || mode != FileMode::kOpenReadShared ||
        tries == kSharedOpenTries || GetLastError() != ERROR_SHARING_VIOLATION)
      return reinterpret_cast<intptr_t>(h);
    Sleep(kSharedOpenDelayMs);
  }
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
