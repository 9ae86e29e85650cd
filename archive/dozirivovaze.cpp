#include "archive/dozirivovaze.h"

#include <algorithm>

#include "archive/codec_session.h"
#include "core/platform.h"
#include "pump/failures.h"

namespace kv {

namespace {

char AsciiUpper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

bool SameEntryName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return AsciiUpper(x) == AsciiUpper(y);
         });
}

void TKVDoziRivovaze::SetTargetPath(const std::string& Value) {
  target_path_ = Value;
  if (!Value.empty() && Value.back() != '\\') target_path_ += '\\';
}

uint8_t TKVDoziRivovaze::RecognizeCompressID(const std::string& CompressID) {
  for (int i = 0; i < kMethodCount; ++i) {
    if (CompressID == MethodIDs[static_cast<size_t>(i)]) return static_cast<uint8_t>(i);
  }
  if (on_recognize_) {
    bool recognized = false;
    on_recognize_(CompressID, recognized);
    if (recognized) return kMethodCustom;
  }
  RaiseUnrecognizedCompressionMethod("Unrecognized compression method: \"" + CompressID +
                                     "\" in header");
}

void TKVDoziRivovaze::InitArchiveHeader(ArchiveHeader& Header, const std::string& CompressID,
                                        uint8_t ArchiveType, int32_t TotalSize) {
  Header = ArchiveHeader{};
  std::copy(std::begin(kArchiveMagic), std::end(kArchiveMagic), Header.Magic);
  for (size_t i = 0; i < sizeof Header.CompressID; ++i)
    Header.CompressID[i] = i < CompressID.size() ? CompressID[i] : ' ';
  Header.TotalSize = TotalSize;
  Header.ArchiveType = ArchiveType;
}

void TKVDoziRivovaze::ReadArchiveHeader(TStream& Source, ArchiveHeader& Header,
                                        std::string& CompressID) {
  // A fresh identifier carries no meaning; an empty archive reports "NON".
  if (CompressID.empty()) CompressID = MethodIDs[kMethodStored];
  CompressID.resize(3, ' ');
  if (Source.Size() - Source.Position() < static_cast<int64_t>(ArchiveHeader::kSize)) {
    InitArchiveHeader(Header, CompressID, caMulti, 0);
    return;
  }
  uint8_t bytes[ArchiveHeader::kSize];
  Source.ReadBuffer(bytes, sizeof bytes);
  Header = ArchiveHeader::Decode(bytes);
  if (!Header.HasMagic()) RaiseInvalidHeader();
  if (Header.ArchiveType != caMulti) RaiseInvalidHeaderArchiveType();
  CompressID.assign(Header.CompressID, sizeof Header.CompressID);
  RecognizeCompressID(CompressID);
}

bool TKVDoziRivovaze::ReadEntryHeader(TStream& Source, EntryHeader& Header,
                                      std::string& EntryName) {
  uint8_t bytes[EntryHeader::kSize];
  if (Source.Read(bytes, sizeof bytes) != static_cast<int32_t>(sizeof bytes)) return false;
  Header = EntryHeader::Decode(bytes);
  // A negative length is no length at all: the walk ends as for a short read.
  if (Header.NameLength < 0) return false;
  EntryName.assign(static_cast<size_t>(Header.NameLength), '\0');
  return Source.Read(EntryName.data(), Header.NameLength) == Header.NameLength;
}

void TKVDoziRivovaze::ExtractEntry(const std::string& ArchiveFileName, TStream& Dest,
                                   const std::string& EntryName) {
  // Others may go on reading and writing the file: a caller that holds it
  // open (a launcher that keeps its temporary archive from being changed,
  // a tool that has read its headers) must not lock itself out.
  TFileStream archive(ArchiveFileName, FileMode::kOpenReadShared);
  WalkArchive(archive, Dest, EntryName);
}

void TKVDoziRivovaze::VisitEntries(TStream& Archive, ArchiveHeader& Header, std::string& CompressID,
                                   const TEntryVisitor& Visit, bool PastTotal) {
  ReadArchiveHeader(Archive, Header, CompressID);

  // The running total wraps like the 32-bit counter it is; negative sizes
  // cannot hold the walk, because every entry moves it forward by at least
  // its 25-byte header.
  uint32_t total = 0;
  EntryHeader entry;
  std::string name;
  while (ReadEntryHeader(Archive, entry, name)) {
    const bool reached = static_cast<int32_t>(total) < Header.TotalSize;
    if (!reached && !PastTotal) break;
    const int64_t data_start = Archive.Position();
    const int64_t data_end = data_start + std::max<int32_t>(entry.Sourcesize, 0);
    Visit(WalkedEntry{entry, name, data_start, reached});
    // Whatever the visitor consumed, the next header follows the stored
    // bytes: an unexpanded entry or a codec that stopped early must not make
    // the walk read stored data as a header.
    Archive.SetPosition(data_end);
    total += static_cast<uint32_t>(entry.Destsize);
  }
}

namespace {

// ExtractEntry's visitor: expands every reached entry of the wanted name.
struct EntryExpander {
  TKVDoziRivovaze& component;
  TStream& archive;
  TStream& dest;
  const std::string& wanted;
  const std::string& compress_id;

  void Visit(const WalkedEntry& e) {
    if (e.Reached && SameEntryName(e.Name, wanted)) {
      component.ExpandEntry(dest, archive, e.Header.Sourcesize, e.Header.Destsize,
                            e.Header.Checksum, e.Header.Method, compress_id);
    }
  }
};

}  // namespace

void TKVDoziRivovaze::WalkArchive(TStream& archive, TStream& Dest, const std::string& EntryName) {
  ArchiveHeader header;
  std::string compress_id;
  EntryExpander expander{*this, archive, Dest, EntryName, compress_id};
  VisitEntries(archive, header, compress_id, TEntryVisitor::Bind<&EntryExpander::Visit>(&expander));
}

void TKVDoziRivovaze::ExpandEntry(TStream& Dest, TStream& Source, int32_t Sourcesize,
                                  int32_t Destsize, uint32_t Checksum, uint8_t Method,
                                  const std::string& CompressID) {
  const uint32_t start = TickCount();
  uint32_t sum = 0;
  switch (Method) {
    case kMethodStored:
      if (Sourcesize > 0) Dest.CopyFrom(Source, Sourcesize);
      break;
    case kMethodCustom:
      if (on_expand_) {
        int32_t checksum = 0;
        on_expand_(Dest, Source, Sourcesize, Destsize, CompressID, checksum);
        sum = static_cast<uint32_t>(checksum);
      }
      break;
    default:  // the session's methods; any other expands to nothing
      if (IsCodecMethod(Method))
        RunCodecSession(*this, Dest, Source, Sourcesize, Destsize, Method, sum, true);
      break;
  }
  ExpandTime = static_cast<int32_t>(TickCount() - start);
  if (Method == kMethodStored) return;
  if (sum != Checksum) RaiseBadChecksum();
}

}  // namespace kv
