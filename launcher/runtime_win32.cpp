// Size trims for Setup.exe's statically linked C++ runtime. Each definition
// here takes the place of a library object that a program with one thread,
// no command line and failures that all end at one top-level report does not
// need; the linker then leaves that object out. The start-up code itself is
// in setup_win32.cpp.
#include <cxxabi.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

// The default terminate handler prints the active exception's demangled type
// name, which links the whole demangler (about 46 KiB) into the image. The
// launcher catches everything at the top, so terminate is never reached with
// anything to print; a plain abort serves.
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

// Registration of functions to run at exit. The runtime registers the
// destructors of its static objects here; the launcher ends through
// ExitProcess, which runs none of them, so nothing needs recording. (The C
// runtime DLL has no such function to import: the start-up code that is
// left out provides it.)
extern "C" int atexit(void (*)()) {
  return 0;
}

// The exception handling state of the one thread. The library keeps it per
// thread through emulated thread-local storage, which brings the emulation
// and the threads layer under it (about 3 KiB); Setup.exe starts no thread.
// The record's layout is the C++ ABI's: the chain of caught exceptions and
// the count of uncaught ones.
struct __cxxabiv1::__cxa_eh_globals {
  void* caughtExceptions;
  unsigned int uncaughtExceptions;
};

namespace {
__cxxabiv1::__cxa_eh_globals the_eh_globals;
}  // namespace

extern "C" __cxxabiv1::__cxa_eh_globals* __cxa_get_globals() noexcept {
  return &the_eh_globals;
}
extern "C" __cxxabiv1::__cxa_eh_globals* __cxa_get_globals_fast() noexcept {
  return &the_eh_globals;
}

// The threads layer under the runtime's locks records destructors of
// thread-local keys here, which brings the C runtime's per-thread clean-up
// and its floating-point reset (about 1 KiB). No thread of Setup.exe ever
// ends but through ExitProcess, so there is nothing to record.
extern "C" int __mingwthr_key_dtor(unsigned long, void (*)(void*)) {
  return 0;
}

#if defined(__i386__) && !defined(__USING_SJLJ_EXCEPTIONS__)
// The unwinder asks for the frame description entry (FDE) that covers a code
// address. The library's answer registers every object's .eh_frame at
// start-up and sorts the entries on the first failure (about 11 KiB with its
// locks). Setup.exe has one .eh_frame section, found through the image's own
// section table, and unwinds once, at the end of a run that failed: a linear
// walk over its entries serves.
//
// The walk relies on what the i686 compiler emits: common information
// entries (CIEs) with augmentation "z...", and FDE addresses coded in two or
// four bytes, absolute or relative to the field. An entry it cannot read is
// passed over, so an address it covers is not found and the program ends
// through terminate rather than unwinding wrongly.
namespace {

// The unwinder's record of the bases that coded addresses may refer to; only
// the start of the function is used on this target.
struct DwarfEhBases {
  void* tbase;
  void* dbase;
  void* func;
};

uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

uint16_t Load16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

const uint8_t* SkipLeb128(const uint8_t* p) {
  while (*p & 0x80) ++p;
  return p + 1;
}

constexpr uint8_t kPcRelative = 0x10;

// Reads an address coded as `encoding` at *p and moves *p past it. False
// for codings this target's compiler does not use.
bool ReadCodedAddress(const uint8_t** p, uint8_t encoding, uintptr_t* value) {
  const uint8_t* field = *p;
  uintptr_t v;
  switch (encoding & 0x0F) {
    case 0x00:  // absolute, pointer-sized
    case 0x03:  // 4 bytes
    case 0x0B:  // 4 bytes, signed
      v = Load32(field);
      *p = field + 4;
      break;
    case 0x02:
      v = Load16(field);
      *p = field + 2;
      break;
    case 0x0A:
      v = static_cast<uintptr_t>(static_cast<int16_t>(Load16(field)));
      *p = field + 2;
      break;
    default:
      return false;
  }
  if ((encoding & 0x70) == kPcRelative) v += reinterpret_cast<uintptr_t>(field);
  *value = v;
  return (encoding & 0x70) == 0 || (encoding & 0x70) == kPcRelative;
}

// The coding of the FDEs that belong to `cie`; false when it is unreadable.
bool FdeEncoding(const uint8_t* cie, uint8_t* encoding) {
  const uint8_t version = cie[8];
  const char* augmentation = reinterpret_cast<const char*>(cie + 9);
  *encoding = 0;  // absolute, unless 'R' says otherwise
  if (augmentation[0] != 'z') return augmentation[0] == '\0';
  const uint8_t* p = cie + 9 + std::strlen(augmentation) + 1;
  p = SkipLeb128(p);                         // code alignment
  p = SkipLeb128(p);                         // data alignment
  p = version == 1 ? p + 1 : SkipLeb128(p);  // return address column
  p = SkipLeb128(p);                         // augmentation data length
  for (const char* a = augmentation + 1; *a != '\0'; ++a) {
    if (*a == 'R') {
      *encoding = *p;
      return true;
    }
    if (*a == 'L') {
      ++p;
    } else if (*a == 'P') {
      uintptr_t ignored;
      const uint8_t personality_encoding = *p++;
      if (!ReadCodedAddress(&p, personality_encoding & 0x7F, &ignored)) return false;
    } else if (*a != 'S' && *a != 'B') {
      return false;
    }
  }
  return true;
}

// The image's .eh_frame section, from the PE section table.
extern "C" const uint8_t __ImageBase[];

bool EhFrameSection(const uint8_t** begin, const uint8_t** end) {
  const uint8_t* pe = __ImageBase + Load32(__ImageBase + 0x3C);
  const unsigned sections = Load16(pe + 6);
  const uint8_t* section = pe + 24 + Load16(pe + 20);
  for (unsigned i = 0; i < sections; ++i, section += 40) {
    if (std::memcmp(section, ".eh_fram", 8) == 0) {
      *begin = __ImageBase + Load32(section + 12);
      *end = *begin + Load32(section + 8);
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" const void* _Unwind_Find_FDE(void* pc, DwarfEhBases* bases) {
  const uint8_t* entry;
  const uint8_t* end;
  if (!EhFrameSection(&entry, &end)) return nullptr;
  const auto address = reinterpret_cast<uintptr_t>(pc);
  while (end - entry >= 8) {
    const uint32_t length = Load32(entry);
    if (length == 0 || length == 0xFFFFFFFFu || length > static_cast<uint32_t>(end - entry) - 4)
      break;  // the end, or a 64-bit entry that this target never has
    const uint32_t cie_distance = Load32(entry + 4);
    uint8_t encoding;
    if (cie_distance != 0 && FdeEncoding(entry + 4 - cie_distance, &encoding)) {
      const uint8_t* p = entry + 8;
      uintptr_t start, range;
      if (ReadCodedAddress(&p, encoding, &start) &&
          ReadCodedAddress(&p, static_cast<uint8_t>(encoding & 0x0F), &range) &&
          address - start < range) {
        bases->tbase = nullptr;
        bases->dbase = nullptr;
        bases->func = reinterpret_cast<void*>(start);
        return entry;
      }
    }
    entry += 4 + length;
  }
  return nullptr;
}
#endif

// The emergency pool that exception objects fall back on when the heap is
// exhausted guards itself with a lock of the threads layer, which brings
// that layer's once-calls, keys and semaphores (about 1.7 KiB with their
// imports). Setup.exe starts no thread: the lock has nothing to exclude.
extern "C" void __gthr_win32_mutex_init_function(void*) {}
extern "C" int __gthr_win32_mutex_lock(void*) {
  return 0;
}
extern "C" int __gthr_win32_mutex_unlock(void*) {
  return 0;
}
extern "C" void __gthr_win32_mutex_destroy(void*) {}
