// The builder's method table: every method it writes, in one place. A row
// names the archive's method number (whose three-letter id is MethodIDs'
// entry and whose expander is the codec session's), the builder's
// compressor for it and the LHA method whose streams it stores unchanged.
// Everything else (parsing names, the messages that list the methods, the
// writer, the LHA import) reads this table.
//
// Adding a method: its row in methods.cpp and its compressor's own files
// (see README.md, "How to add").
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "tools/compressors.h"

namespace kv::tools {

struct BuilderMethod {
  uint8_t number;  // the archive's method number, an index into MethodIDs
  // The streaming compressor at a level (kMinLevel to kMaxLevel; a method
  // with one way of coding ignores it); null for "NON", which stores the
  // data as it is.
  std::unique_ptr<StreamCompressor> (*make)(int level, ByteSink sink);
  // The whole-input form of the same compressor; null for "NON".
  Compressor whole;
  // The LHA method ("-lh5-") whose compressed streams are this method's
  // stored bytes, imported unchanged; null when there is none.
  const char* lha;
};

// The methods the builder writes, in method-number order.
std::span<const BuilderMethod> BuilderMethods();

// The row of a method number, or null when the builder cannot write it.
const BuilderMethod* BuilderMethodFor(uint8_t number);

// Parses a method's id in any case; -1 for a method the builder cannot write.
int MethodFromName(const std::string& name);

// The writable methods' ids for messages: "NON, RLE, LZH or LH5".
std::string WritableMethodNames();

// The archive method of an LHA method, or -1 when it has none; and the LHA
// methods that have one, for messages: "-lh0-, -lh1- and -lh5-".
int MethodForLha(const std::string& lha_method);
std::string ImportableLhaMethods();

}  // namespace kv::tools
