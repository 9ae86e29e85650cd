// The archive reader's failure classes, beside the stream library's in
// core/exceptions.h. The codecs raise through these helpers too, so this
// header knows nothing of the component.
#pragma once

#include <string>

#include "core/exceptions.h"

namespace kv {

KV_DECLARE_EXCEPTION(ELZHBadDecodeTable, Exception);
KV_DECLARE_EXCEPTION(EUnableToCompress, Exception);
KV_DECLARE_EXCEPTION(EUnrecognizedCompressionMethod, Exception);
KV_DECLARE_EXCEPTION(EInvalidHeaderArchiveType, Exception);
KV_DECLARE_EXCEPTION(EInvalidHeader, Exception);
KV_DECLARE_EXCEPTION(EBadChecksum, Exception);

[[noreturn]] void RaiseBadDecodeTable();            // "Bad decode table in archive!"
[[noreturn]] void RaiseUnableToCompress();          // "Could not compress data"
[[noreturn]] void RaiseInvalidHeader();             // "Can't recognize compressed file header"
[[noreturn]] void RaiseInvalidHeaderArchiveType();  // "Archive type must be caMulti"
[[noreturn]] void RaiseBadChecksum();               // "Bad checksum during expansion -- ..."
[[noreturn]] void RaiseUnrecognizedCompressionMethod(const std::string& message);

}  // namespace kv
