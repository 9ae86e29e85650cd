// TKVDoziRivovaze: the archive component.
//
// It extracts named entries from an archive file into a stream that the
// caller owns. For each wanted entry it expands the stored bytes with the
// entry's method (a copy, the application's OnExpand handler, or a codec
// session) and verifies every method but "NON" against the entry's byte sum.
// It keeps no archive state between calls: ExtractEntry opens, walks and
// closes the archive within one call. It expands only.
//
// Failures are exceptions of the classes in pump/failures.h (or of the
// stream library); the component catches none of them, and closes the
// archive file on every way out. Output already written to the destination stays there.
#pragma once

#include <cstdint>
#include <string>

#include "archive/events.h"
#include "archive/records.h"
#include "core/component.h"
#include "core/stream.h"
#include "pump/failures.h"

namespace kv {

// One entry as the walk meets it.
struct WalkedEntry {
  const EntryHeader& Header;
  const std::string& Name;
  int64_t DataStart;  // archive position of the entry's stored bytes
  // Before the TotalSize cut: ExtractEntry expands the entry when its name is
  // the wanted one. Entries past the cut are met only by a listing walk.
  bool Reached;
};
using TEntryVisitor = TEvent<const WalkedEntry&>;

class TKVDoziRivovaze final : public TComponent {
 public:
  explicit TKVDoziRivovaze(TComponent* owner) : TComponent(owner) {}

  // Milliseconds the last ExpandEntry took, from the tick count, wrapping.
  int32_t ExpandTime = 0;
  // Enters only the compress direction's output budget; nothing changes it.
  int32_t CompressionReserve = 0;

  // Published properties.
  const TCompressEvent& OnCompress() const { return on_compress_; }
  void SetOnCompress(const TCompressEvent& e) { on_compress_ = e; }
  const TExpandEvent& OnExpand() const { return on_expand_; }
  void SetOnExpand(const TExpandEvent& e) { on_expand_ = e; }
  const TFilenameCheckEvent& OnCheckFile() const { return on_check_file_; }
  void SetOnCheckFile(const TFilenameCheckEvent& e) { on_check_file_ = e; }
  const TRecognizeEvent& OnRecognize() const { return on_recognize_; }
  void SetOnRecognize(const TRecognizeEvent& e) { on_recognize_ = e; }
  const TShowProgressEvent& OnShowProgress() const { return on_show_progress_; }
  void SetOnShowProgress(const TShowProgressEvent& e) { on_show_progress_ = e; }
  const std::string& TargetPath() const { return target_path_; }
  void SetTargetPath(const std::string& Value);  // adds a trailing backslash
  bool MakeDirectories() const { return make_directories_; }
  void SetMakeDirectories(bool v) { make_directories_ = v; }
  bool ExceptionOnFileError() const { return exception_on_file_error_; }
  void SetExceptionOnFileError(bool v) { exception_on_file_error_ = v; }
  bool CheckSpaceBeforeExpand() const { return check_space_before_expand_; }
  void SetCheckSpaceBeforeExpand(bool v) { check_space_before_expand_ = v; }

  // Returns the method number of `CompressID`: its index in MethodIDs, or 3
  // when OnRecognize accepts it. Raises EUnrecognizedCompressionMethod.
  uint8_t RecognizeCompressID(const std::string& CompressID);

  // Fills `Header` as a default header with the given fields.
  void InitArchiveHeader(ArchiveHeader& Header, const std::string& CompressID, uint8_t ArchiveType,
                         int32_t TotalSize);

  // Reads and checks the ArchiveHeader at Source's position; fewer than 21
  // bytes left give the default header (an empty archive). CompressID
  // receives the header's three characters.
  void ReadArchiveHeader(TStream& Source, ArchiveHeader& Header, std::string& CompressID);

  // Reads an EntryHeader and its name. False when either comes up short, or
  // when the name length is negative.
  bool ReadEntryHeader(TStream& Source, EntryHeader& Header, std::string& EntryName);

  // Expands every entry named EntryName (ASCII case ignored) from the archive
  // file into Dest, at Dest's position, in archive order. The file is opened
  // for reading with others allowed to read and write it.
  void ExtractEntry(const std::string& ArchiveFileName, TStream& Dest,
                    const std::string& EntryName);

  // The walk of ExtractEntry over an archive that is already open: reads the
  // ArchiveHeader at Archive's position and expands every entry named
  // EntryName into Dest. Archive is only read and seeked, never closed.
  // ExtractEntry is this walk over the archive file; the fuzz targets and the
  // fault-injection tests drive it over streams of their own.
  void WalkArchive(TStream& Archive, TStream& Dest, const std::string& EntryName);

  // The walk's rules, for ExtractEntry and for anyone who lists an archive:
  // reads and checks the ArchiveHeader at Archive's position (into Header
  // and CompressID), then reads entry after entry and hands each to Visit.
  // After each visit the walk goes on at DataStart + Sourcesize (a negative
  // Sourcesize as 0), whatever the visitor did with Archive's position. It
  // ends at the end of the file or the first short or negative-length
  // header, and before the first entry met once the running total of
  // Destsize values (wrapping at 32 bits) has reached TotalSize; with
  // PastTotal it goes on to the end and hands those entries over with
  // Reached false.
  void VisitEntries(TStream& Archive, ArchiveHeader& Header, std::string& CompressID,
                    const TEntryVisitor& Visit, bool PastTotal = false);

  // Expands one entry whose stored bytes start at Source's position, and
  // verifies it unless Method is 0. Leaves Source wherever the expansion left
  // it; ExtractEntry re-establishes the walk's position afterwards.
  void ExpandEntry(TStream& Dest, TStream& Source, int32_t Sourcesize, int32_t Destsize,
                   uint32_t Checksum, uint8_t Method, const std::string& CompressID);

 private:
  TCompressEvent on_compress_;
  TExpandEvent on_expand_;
  TFilenameCheckEvent on_check_file_;
  TRecognizeEvent on_recognize_;
  TShowProgressEvent on_show_progress_;
  std::string target_path_;
  bool make_directories_ = false;
  bool exception_on_file_error_ = false;
  bool check_space_before_expand_ = false;
};

// Entry names match when they have equal length and equal bytes after
// mapping 'a'..'z' onto 'A'..'Z'; no other byte is folded.
bool SameEntryName(const std::string& a, const std::string& b);

}  // namespace kv
