#include "core/exceptions.h"

namespace kv {

// The helpers are kept out of line so that __builtin_return_address(0) names
// the code that raised, not this file.

__attribute__((noinline)) void RaiseReadError() {
  KV_RAISE(EReadError("Stream read error"));
}

__attribute__((noinline)) void RaiseWriteError() {
  KV_RAISE(EWriteError("Stream write error"));
}

__attribute__((noinline)) void RaiseOpenError(std::string_view name) {
  KV_RAISE(EFOpenError("Cannot open file " + std::string(name)));
}

__attribute__((noinline)) void RaiseCreateError(std::string_view name) {
  KV_RAISE(EFCreateError("Cannot create file " + std::string(name)));
}

}  // namespace kv
