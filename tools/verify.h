// Reading archives and Setup.exe files back the way their readers meet
// them, before anything the builder wrote is called good, and for `test`.
//
// Stricter than the reader on one point: the reader does not verify a
// stored ("NON") entry, but the builder wrote that entry's byte sum, so a
// sum that does not match is damage and fails here.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "archive/dozirivovaze.h"
#include "tools/archive_reader.h"

namespace kv::tools {

struct ArchiveCheck {
  ArchiveListing listing;
  int failures = 0;
};

// "truncated: its entries end after N of the M bytes its header announces"
// when the entries the walk reaches expand to less than the header's
// TotalSize (a reader extracts less than the archive announces); else empty.
std::string TruncationOf(const ArchiveListing& listing);

// Expands every entry the walk reaches through `component` (whose progress
// handler the caller sets) into a sink that sums, and hands each entry with
// its failure (empty when it expands to its size and its byte sum) to
// `each`. Raises only for a damaged archive header.
ArchiveCheck CheckArchive(
    TKVDoziRivovaze& component, TStream& archive,
    const std::function<void(const ListedEntry&, const std::string& failure)>& each = {});

// Raises BuilderError "entry 'NAME': reason" for the first entry that
// fails, or the truncation.
void VerifyArchive(TStream& archive);

// Raises BuilderError unless the entries the walk reaches hold exactly one
// non-empty "Installer\ZIVizivaz.exe" (ASCII case ignored): a launcher
// would otherwise start nothing, or the entries joined.
void CheckInstallerEntry(const ArchiveListing& listing);

// An archive as a launcher's payload: one installer entry
// (CheckInstallerEntry) and every entry verified (VerifyArchive). Raises
// BuilderError, "not an archive: ..." for a damaged header.
void VerifySetupArchive(TStream& archive);

// Where a Setup.exe's PayloadBlock stands, found as the launcher finds it.
struct PayloadPlace {
  int32_t offset = 0;   // of the PayloadBlock: its 4-byte length, then the archive
  uint32_t length = 0;  // of the archive
  int64_t End() const { return int64_t{offset} + 4 + length; }
};
// Nothing when the launcher would find no payload (no stamped marker);
// raises BuilderError for one that runs past the file's end or holds no
// archive.
std::optional<PayloadPlace> LocatePayloadPlace(TStream& file);
// The same, raising BuilderError when there is no payload.
PayloadPlace FindPayload(TStream& file);

// The launcher's view of a whole Setup.exe: its payload (FindPayload) and
// its archive (VerifySetupArchive); and, when given, that the file starts with `image`, the
// stamped launcher as it was written. Raises BuilderError.
void VerifySetup(TStream& file, std::span<const uint8_t> image = {});

}  // namespace kv::tools
