#include "tools/archive_writer.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "archive/records.h"
#include "core/bytes.h"
#include "tools/compressors.h"

namespace kv::tools {

int MethodFromName(const std::string& name) {
  std::string upper = name;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  for (int i = 0; i < kMethodCount; ++i) {
    if (i != kMethodCustom && upper == MethodIDs[static_cast<size_t>(i)]) return i;
  }
  return -1;
}

std::vector<uint8_t> BuildArchive(const std::vector<ArchiveEntrySpec>& entries) {
  std::vector<PrecompressedEntry> made;
  made.reserve(entries.size());
  for (const ArchiveEntrySpec& item : entries) {
    if (item.data.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
      throw BuilderError("entry '" + item.name + "' is too large (2 GiB or more)");
    PrecompressedEntry e;
    e.name = item.name;
    e.method = item.method;
    e.destsize = static_cast<int32_t>(item.data.size());
    e.checksum = ByteSum(item.data.data(), item.data.size());
    if (item.method == kMethodStored) {
      e.stored = item.data;
    } else {
      const Compressor compress = CompressorFor(item.method);
      if (compress == nullptr)
        throw BuilderError("method " + std::to_string(item.method) +
                           " cannot be written by this builder");
      e.stored = compress(item.data);
    }
    made.push_back(std::move(e));
  }
  return BuildArchive(made);
}

std::vector<uint8_t> BuildArchive(const std::vector<PrecompressedEntry>& entries) {
  int64_t total = 0;
  size_t bytes = ArchiveHeader::kSize;
  for (const PrecompressedEntry& e : entries) {
    if (e.name.size() > static_cast<size_t>(EntryHeader::kMaxNameLength))
      throw BuilderError("entry name longer than 32767 bytes");
    if (e.stored.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
      throw BuilderError("entry '" + e.name + "' is too large when stored");
    total += e.destsize;
    bytes += EntryHeader::kSize + e.name.size() + e.stored.size();
  }
  if (total > std::numeric_limits<int32_t>::max())
    throw BuilderError("archive too large: its entries expand to 2 GiB or more");

  std::vector<uint8_t> out(ArchiveHeader::kSize);
  out.reserve(bytes);
  ArchiveHeader header;
  std::copy(std::begin(kArchiveMagic), std::end(kArchiveMagic), header.Magic);
  const size_t first_method = entries.empty() ? size_t{kMethodStored} : entries[0].method;
  const std::string_view id = MethodIDs[first_method % kMethodCount];
  std::copy(id.begin(), id.end(), header.CompressID);
  header.TotalSize = static_cast<int32_t>(total);
  header.ArchiveType = caMulti;
  header.Encode(out.data());

  for (const PrecompressedEntry& e : entries) {
    EntryHeader h;
    h.NameLength = static_cast<int16_t>(e.name.size());
    h.Destsize = e.destsize;
    h.Sourcesize = static_cast<int32_t>(e.stored.size());
    h.Method = e.method;
    h.Checksum = e.checksum;
    uint8_t record[EntryHeader::kSize];
    h.Encode(record);
    out.insert(out.end(), record, record + sizeof record);
    out.insert(out.end(), e.name.begin(), e.name.end());
    out.insert(out.end(), e.stored.begin(), e.stored.end());
  }
  return out;
}

}  // namespace kv::tools
