#include "tests/kit/archives.h"

#include <algorithm>
#include <iterator>

#include "archive/codec_session.h"
#include "archive/rorodovazezudovo.h"
#include "core/bytes.h"
#include "tests/kit/files.h"
#include "tools/archive_reader.h"

namespace kv::test {

SessionResult RunSession(uint8_t method, const std::vector<uint8_t>& stored, int32_t destsize,
                         TKVDoziRivovaze* component) {
  TKVDoziRivovaze local(nullptr);
  TMemoryStream source(stored);
  TMemoryStream dest;
  SessionResult r;
  RunCodecSession(component ? *component : local, dest, source, static_cast<int32_t>(stored.size()),
                  destsize, method, r.checksum, true);
  r.output = dest.Data();
  return r;
}

std::vector<uint8_t> ExtractFromBytes(const std::vector<uint8_t>& archive,
                                      const std::string& name) {
  TempDir dir;
  const std::string path = dir.File("a.zerk");
  WriteFile(path, archive);
  TMemoryStream out;
  ExtractFromArchive(path, out, name, {});
  return out.Data();
}

std::vector<uint8_t> ArchiveHeaderBytes(int32_t total_size, const char* id, uint8_t type) {
  std::vector<uint8_t> out(ArchiveHeader::kSize, 0);
  std::copy(std::begin(kArchiveMagic), std::end(kArchiveMagic), out.begin());
  std::copy(id, id + 3, out.begin() + ArchiveHeader::kCompressID);
  StoreLE32(out.data() + ArchiveHeader::kTotalSize, static_cast<uint32_t>(total_size));
  out[ArchiveHeader::kArchiveType] = type;
  return out;
}

std::vector<uint8_t> EntryBytes(const EntryHeader& header, const std::string& name,
                                const std::vector<uint8_t>& stored) {
  std::vector<uint8_t> out(EntryHeader::kSize);
  header.Encode(out.data());
  out.insert(out.end(), name.begin(), name.end());
  out.insert(out.end(), stored.begin(), stored.end());
  return out;
}

std::vector<uint8_t> EntryBytes(const std::string& name, const std::vector<uint8_t>& stored,
                                int32_t destsize, uint8_t method, uint32_t checksum) {
  EntryHeader h;
  h.NameLength = static_cast<int16_t>(name.size());
  h.Destsize = destsize;
  h.Sourcesize = static_cast<int32_t>(stored.size());
  h.Method = method;
  h.Checksum = checksum;
  return EntryBytes(h, name, stored);
}

std::vector<StoredEntry> ReadEntries(const std::string& archive_path) {
  TKVDoziRivovaze component(nullptr);
  TFileStream archive(archive_path, FileMode::kOpenReadShared);
  std::vector<StoredEntry> entries;
  for (const tools::ListedEntry& e : tools::ListArchive(component, archive).entries) {
    StoredEntry s{e.name, e.header,
                  std::vector<uint8_t>(static_cast<size_t>(std::max(e.header.Sourcesize, 0)))};
    archive.SetPosition(e.data_offset);
    if (!s.stored.empty()) archive.ReadBuffer(s.stored.data(), e.header.Sourcesize);
    entries.push_back(std::move(s));
  }
  return entries;
}

}  // namespace kv::test
