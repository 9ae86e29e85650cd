#include "tools/archive_writer.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "archive/records.h"
#include "core/bytes.h"
#include "tools/compressors.h"
#include "tools/entry_plan.h"
#include "tools/file_util.h"

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

namespace {

// The entry's bytes compressed with `method`; `method` becomes "NON" (and
// the result empty, the data being what is stored) when that is not
// smaller.
std::vector<uint8_t> StoredForm(const std::string& name, uint8_t& method,
                                const std::vector<uint8_t>& data) {
  if (method == kMethodStored) return {};
  const Compressor compress = CompressorFor(method);
  if (compress == nullptr)
    throw BuilderError(name + ": method " + std::to_string(method) +
                       " cannot be written by this builder");
  std::vector<uint8_t> stored = compress(data);
  if (stored.size() < data.size()) return stored;
  method = kMethodStored;
  return {};
}

}  // namespace

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
    e.stored = StoredForm(item.name, e.method, item.data);
    if (e.method == kMethodStored) e.stored = item.data;
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
  const std::string_view id = MethodIDs[static_cast<size_t>(first_method) % MethodIDs.size()];
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

namespace {

ArchiveHeader HeaderFor(uint8_t first_method, int32_t total) {
  ArchiveHeader header;
  std::copy(std::begin(kArchiveMagic), std::end(kArchiveMagic), header.Magic);
  const std::string_view id = MethodIDs[static_cast<size_t>(first_method) % MethodIDs.size()];
  std::copy(id.begin(), id.end(), header.CompressID);
  header.TotalSize = total;
  header.ArchiveType = caMulti;
  return header;
}

}  // namespace

void WriteArchive(TStream& out, const std::vector<PlannedEntry>& plan,
                  const std::function<void(const WrittenEntry&, uint64_t bytes_done)>& done) {
  uint64_t total = 0;
  for (const PlannedEntry& e : plan) total += e.size;
  if (total > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
    throw BuilderError("archive too large: its entries expand to 2 GiB or more");

  // The header's method is known once the first entry is written; until
  // then its place is held by a header naming the planned method.
  const int64_t start = out.Position();
  uint8_t record[EntryHeader::kSize];
  static_assert(EntryHeader::kSize >= ArchiveHeader::kSize);
  const uint8_t planned_first = plan.empty() ? uint8_t{kMethodStored} : plan[0].method;
  HeaderFor(planned_first, static_cast<int32_t>(total)).Encode(record);
  out.WriteBuffer(record, ArchiveHeader::kSize);

  uint8_t first_method = kMethodStored;
  uint64_t read = 0;
  for (size_t i = 0; i < plan.size(); ++i) {
    const PlannedEntry& e = plan[i];
    std::vector<uint8_t> data = ReadWholeFile(e.path);
    if (data.size() != e.size)
      throw BuilderError(e.path + ": changed while being packed (" + std::to_string(e.size) +
                         " bytes when listed, " + std::to_string(data.size()) + " when read)");
    uint8_t method = e.method;
    const std::vector<uint8_t> stored = StoredForm(e.name, method, data);
    const std::vector<uint8_t>& bytes = method == kMethodStored ? data : stored;
    if (i == 0) first_method = method;
    EntryHeader h;
    h.NameLength = static_cast<int16_t>(e.name.size());
    h.Destsize = static_cast<int32_t>(data.size());
    h.Sourcesize = static_cast<int32_t>(bytes.size());
    h.Method = method;
    h.Checksum = ByteSum(data.data(), data.size());
    h.Encode(record);
    out.WriteBuffer(record, EntryHeader::kSize);
    out.WriteBuffer(e.name.data(), static_cast<int32_t>(e.name.size()));
    out.WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
    read += data.size();
    if (done) done(WrittenEntry{e, method, h.Sourcesize}, read);
  }
  if (first_method != planned_first) {
    const int64_t end = out.Position();
    out.SetPosition(start);
    HeaderFor(first_method, static_cast<int32_t>(total)).Encode(record);
    out.WriteBuffer(record, ArchiveHeader::kSize);
    out.SetPosition(end);
  }
}

}  // namespace kv::tools
