#include "tools/verify.h"

#include <algorithm>
#include <cstring>

#include "core/bytes.h"
#include "launcher/launcher.h"
#include "launcher/payload_scan.h"
#include "tools/archive_writer.h"
#include "tools/streams.h"

namespace kv::tools {

std::string TruncationOf(const ArchiveListing& listing) {
  int64_t reached = 0;
  for (const ListedEntry& e : listing.entries)
    if (e.visited) reached += e.header.Destsize;
  if (reached >= listing.header.TotalSize) return std::string();
  return "truncated: its entries end after " + std::to_string(reached) + " of the " +
         std::to_string(listing.header.TotalSize) + " bytes its header announces";
}

ArchiveCheck CheckArchive(
    TKVDoziRivovaze& component, TStream& archive,
    const std::function<void(const ListedEntry&, const std::string& failure)>& each) {
  ArchiveCheck check;
  archive.SetPosition(0);
  check.listing = ListArchive(component, archive);
  const ArchiveListing& listing = check.listing;
  for (const ListedEntry& e : listing.entries) {
    if (!e.visited) continue;  // never extracted by any reader
    SummingSink sink;
    archive.SetPosition(e.data_offset);
    std::string failure;
    try {
      component.ExpandEntry(sink, archive, e.header.Sourcesize, e.header.Destsize,
                            e.header.Checksum, e.header.Method, listing.compress_id);
      if (e.header.Method == kMethodStored && sink.Sum() != e.header.Checksum)
        failure = "checksum does not match (a stored entry, which the launcher does not verify)";
      else if (sink.Size() != e.header.Destsize)
        failure = "expands to " + std::to_string(sink.Size()) + " bytes, not " +
                  std::to_string(e.header.Destsize);
    } catch (const Exception& x) {
      failure = x.Message();
    }
    if (!failure.empty()) ++check.failures;
    if (each) each(e, failure);
  }
  return check;
}

void VerifyArchive(TStream& archive) {
  TKVDoziRivovaze component(nullptr);
  std::string first;
  ArchiveCheck check;
  try {
    check = CheckArchive(component, archive, [&](const ListedEntry& e, const std::string& failure) {
      if (first.empty() && !failure.empty()) first = "entry '" + e.name + "': " + failure;
    });
  } catch (const Exception& x) {
    throw BuilderError("not an archive: " + x.Message());
  }
  if (!first.empty()) throw BuilderError(first);
  if (const std::string cut = TruncationOf(check.listing); !cut.empty()) throw BuilderError(cut);
}

void CheckInstallerEntry(const ArchiveListing& listing) {
  int count = 0;
  bool empty = false;
  for (const ListedEntry& e : listing.entries) {
    if (!e.visited || !SameEntryName(e.name, kInstallerEntryName)) continue;
    ++count;
    empty = empty || e.header.Destsize <= 0;
  }
  const std::string installer = kInstallerEntryName;
  if (count == 0)
    throw BuilderError("the archive has no entry " + installer + ", which a launcher starts");
  if (count > 1)
    throw BuilderError("the archive has " + std::to_string(count) + " entries named " + installer +
                       " (a launcher would join them)");
  if (empty) throw BuilderError("the archive's " + installer + " is empty");
}

void VerifySetupArchive(TStream& archive) {
  TKVDoziRivovaze component(nullptr);
  try {
    archive.SetPosition(0);
    CheckInstallerEntry(ListArchive(component, archive));
  } catch (const Exception& x) {
    throw BuilderError("not an archive: " + x.Message());
  }
  VerifyArchive(archive);
}

PayloadPlace FindPayload(TStream& file) {
  const std::optional<PayloadPlace> place = LocatePayloadPlace(file);
  if (!place) throw BuilderError("the launcher would find no payload (no stamped marker)");
  return *place;
}

std::optional<PayloadPlace> LocatePayloadPlace(TStream& file) {
  PayloadPlace place;
  file.SetPosition(0);
  place.offset = ScanForPayload(file);
  if (place.offset < 1) return std::nullopt;
  const int64_t size = file.Size();
  uint8_t length[4];
  file.SetPosition(place.offset);
  if (file.Read(length, 4) != 4) throw BuilderError("launcher payload cut short before its length");
  place.length = LoadLE32(length);
  const int64_t available = size - place.offset - 4;
  if (place.length > kMaxFieldValue || static_cast<int64_t>(place.length) > available)
    throw BuilderError("launcher payload cut short (" + std::to_string(available) + " of " +
                       std::to_string(place.length) + " bytes)");
  uint8_t magic[sizeof kArchiveMagic];
  if (place.length < ArchiveHeader::kSize || file.Read(magic, sizeof magic) != sizeof magic ||
      std::memcmp(magic, kArchiveMagic, sizeof magic) != 0)
    throw BuilderError("the launcher's payload is not an archive");
  return place;
}

void VerifySetup(TStream& file, std::span<const uint8_t> image) {
  uint8_t piece[4096];
  file.SetPosition(0);
  for (size_t at = 0; at < image.size();) {
    const size_t want = std::min(sizeof piece, image.size() - at);
    if (file.Read(piece, static_cast<int32_t>(want)) != static_cast<int32_t>(want) ||
        std::memcmp(piece, image.data() + at, want) != 0)
      throw BuilderError("the launcher's image differs from what was written, near byte " +
                         std::to_string(at));
    at += want;
  }
  const PayloadPlace place = FindPayload(file);
  TWindowStream archive(file, place.offset + 4, place.length);
  VerifySetupArchive(archive);
}

}  // namespace kv::tools
