// What `kvarc list` says of a file beyond its entries when the file is a
// Setup.exe (the launcher image, where its payload stands, the installer it
// starts, its code signature and what follows the payload), and the whole
// listing as one JSON document for scripts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/dozirivovaze.h"
#include "tools/archive_input.h"
#include "tools/archive_reader.h"
#include "tools/version_record.h"

namespace kv::tools {

// The installer entry's PE headers, read from its first kPeHeadLimit bytes.
struct InstallerFacts {
  std::string machine;    // MachineName; empty when the headers could not be read
  std::string subsystem;  // SubsystemName; empty likewise
  std::string
      fault;  // why they could not: "not a Windows program (...)", or the expansion's failure
};

// The certificate table the launcher's security directory points at.
struct SignatureFacts {
  uint32_t offset = 0;
  uint32_t size = 0;
  // The table starts at or after the payload's end, so a signature over
  // the file covers the payload's bytes.
  bool covers_payload = false;
};

struct LauncherFacts {
  // The launcher's own bytes: where its PE image ends by its headers, or
  // the PayloadBlock's offset when the headers cannot be read.
  uint64_t image_size = 0;
  int64_t marker_offset = -1;  // of the first "KVI_SIZE" in the image; -1 when not found
  int64_t payload_offset = 0;  // of the PayloadBlock (its length field)
  int64_t archive_size = 0;
  std::optional<InstallerFacts> installer;  // absent: no installer entry is reached
  std::optional<SignatureFacts> signature;
  uint64_t bytes_after_payload = 0;
  std::optional<uint64_t> bytes_after_signature;  // with a signature: after the table's end
  std::string trailing;                           // DescribeTrailingBytes' line
  // The launcher image's version record; absent when it has none or it
  // could not be read, and then `version_fault` says why when it is damaged.
  std::optional<VersionStrings> version;
  std::string version_fault;
};

// How much of a Setup.exe's start is searched for the marker: far more
// than any launcher image, and a bound on what is read whatever the file
// says.
inline constexpr int64_t kMarkerSearchLimit = 4 << 20;

// The facts of the stamped launcher `input` (input.Stamped()), whose
// archive `listing` lists. Expands at most the first kPeHeadLimit bytes of
// the first installer entry the walk reaches through `component`. A
// damaged installer or launcher header is a fact reported, not an error.
LauncherFacts ReadLauncherFacts(ArchiveInput& input, TKVDoziRivovaze& component,
                                const ArchiveListing& listing);

// The facts as report lines, each without subject or newline.
std::vector<std::string> LauncherFactLines(const LauncherFacts& facts);

// The listing as one pretty-printed JSON document (ASCII only), ending in
// a newline: {"launcher": null or the facts, "archive": {...}}.
std::string ListingJson(const std::optional<LauncherFacts>& launcher,
                        const ArchiveListing& listing);

// `bytes` as UTF-8 that a JSON writer accepts: every valid UTF-8 sequence
// as it is, every byte that is not part of one as the code point of its
// value (U+0000 .. U+00FF), so that an entry name in a legacy code page
// still reaches a script, byte for byte recoverable where it is ASCII or
// invalid.
std::string Utf8WithBytesAsCodePoints(std::string_view bytes);

}  // namespace kv::tools
