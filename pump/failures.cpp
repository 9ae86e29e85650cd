#include "pump/failures.h"

namespace kv {

__attribute__((noinline)) void RaiseBadDecodeTable() {
  KV_RAISE(ELZHBadDecodeTable("Bad decode table in archive!"));
}

__attribute__((noinline)) void RaiseUnableToCompress() {
  KV_RAISE(EUnableToCompress("Could not compress data"));
}

__attribute__((noinline)) void RaiseInvalidHeader() {
  KV_RAISE(EInvalidHeader("Can't recognize compressed file header"));
}

__attribute__((noinline)) void RaiseInvalidHeaderArchiveType() {
  KV_RAISE(EInvalidHeaderArchiveType("Archive type must be caMulti"));
}

__attribute__((noinline)) void RaiseBadChecksum() {
  KV_RAISE(EBadChecksum("Bad checksum during expansion -- data may be invalid"));
}

__attribute__((noinline)) void RaiseUnrecognizedCompressionMethod(const std::string& message) {
  KV_RAISE(EUnrecognizedCompressionMethod(message));
}

}  // namespace kv
