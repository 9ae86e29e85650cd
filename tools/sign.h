// Signing a Setup.exe in the step that makes it. The packager's command
// runs over the finished, checked file; then what it did is checked: a
// signature made any other way round (a launcher signed before stamping, a
// payload appended after signing) leaves a Setup.exe whose signature does
// not hold, which Windows reports only on the user's machine.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/stream.h"
#include "tools/verify.h"

namespace kv::tools {

// `command` with every "{}" replaced by `path` quoted for the shell.
// Raises BuilderError when `command` holds no "{}": it would not know which
// file to sign.
std::string SignCommandFor(const std::string& command, const std::string& path);

// What signing must leave of a Setup.exe: where its payload stands and a
// fingerprint of its bytes (64-bit FNV-1a over the PayloadBlock).
struct PayloadPrint {
  PayloadPlace place;
  uint64_t fingerprint = 0;
};
// Raises BuilderError when `file` carries no payload.
PayloadPrint PrintPayload(TStream& file);

// Raises BuilderError with the reason unless `file` is what signing the
// Setup.exe whose stamped image is `image` and whose payload is `before`
// should give: the same image apart from the header checksum and the
// security directory, the same payload at the same offset, then a
// certificate table (after at most its alignment padding) that ends the
// file. The signature's region is then everything before the table: the
// payload too.
void CheckSignedSetup(TStream& file, std::span<const uint8_t> image, const PayloadPrint& before);

}  // namespace kv::tools
