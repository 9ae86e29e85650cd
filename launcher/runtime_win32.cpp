// Size trims for Setup.exe's statically linked C++ runtime.
//
// The default terminate handler prints the active exception's demangled type
// name, which links the whole demangler (about 46 KiB) into the image. The
// launcher catches everything at the top, so terminate is never reached with
// anything to print; a plain abort serves.
#include <cstdlib>

namespace __gnu_cxx {
void __verbose_terminate_handler() {
  std::abort();
}
}  // namespace __gnu_cxx

// The library's own throw helpers live in one object together with every
// standard exception class and their string members (about 75 KiB). The
// launcher reports failures through its own classes, so the few helpers that
// its code can reach raise those instead; the report is the same either way.
#include "core/exceptions.h"

namespace std {
void __throw_bad_alloc() {
  throw kv::EOutOfMemory("Out of memory");
}
void __throw_bad_array_new_length() {
  throw kv::EOutOfMemory("Out of memory");
}
void __throw_length_error(const char*) {
  throw kv::EOutOfMemory("Out of memory");
}
void __throw_logic_error(const char* what) {
  throw kv::Exception(what);
}
void __throw_out_of_range_fmt(const char* what, ...) {
  throw kv::Exception(what);
}
}  // namespace std
