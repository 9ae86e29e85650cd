// Archives for the tests and benchmarks: codec sessions in memory,
// extraction of archive bytes through the component, crafted records, and
// the stored bytes of existing archives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/dozirivovaze.h"

namespace kv::test {

// Runs one codec session over `stored` in memory and returns its output.
struct SessionResult {
  std::vector<uint8_t> output;
  uint32_t checksum = 0;
};
SessionResult RunSession(uint8_t method, const std::vector<uint8_t>& stored, int32_t destsize,
                         TKVDoziRivovaze* component = nullptr);

// Writes `archive` to a scratch file and extracts `name` from it with
// ExtractFromArchive, the way the launcher does.
std::vector<uint8_t> ExtractFromBytes(const std::vector<uint8_t>& archive, const std::string& name);

// A crafted ArchiveHeader: the magic, `id`, TotalSize and ArchiveType, zero
// reserved fields.
std::vector<uint8_t> ArchiveHeaderBytes(int32_t total_size, const char* id = "NON",
                                        uint8_t type = caMulti);
// A crafted entry: `header` as it is, then `name` and `stored`, so that a
// record may claim what the bytes do not hold.
std::vector<uint8_t> EntryBytes(const EntryHeader& header, const std::string& name,
                                const std::vector<uint8_t>& stored = {});
// An entry whose NameLength and Sourcesize fit its name and stored bytes.
std::vector<uint8_t> EntryBytes(const std::string& name, const std::vector<uint8_t>& stored,
                                int32_t destsize, uint8_t method, uint32_t checksum);

// Every entry of an archive file with its stored bytes.
struct StoredEntry {
  std::string name;
  EntryHeader header;
  std::vector<uint8_t> stored;
};
std::vector<StoredEntry> ReadEntries(const std::string& archive_path);

}  // namespace kv::test
