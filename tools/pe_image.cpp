#include "tools/pe_image.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstring>

#include "core/bytes.h"
#include "tools/archive_writer.h"
#include "tools/file_util.h"

namespace kv::tools {

namespace {

// The DOS header: its size and where it keeps e_lfanew.
constexpr uint64_t kDosHeaderSize = 64;
constexpr uint64_t kNewHeaderPointer = 0x3C;
// From the PE signature: the COFF header's fields, and the optional
// header's start.
constexpr uint64_t kSignatureSize = 4;
constexpr uint64_t kCoffMachine = 4;
constexpr uint64_t kCoffSectionCount = 6;
constexpr uint64_t kCoffSymbolTable = 12;
constexpr uint64_t kCoffSymbolCount = 16;
constexpr uint64_t kCoffOptionalSize = 20;
constexpr uint64_t kCoffCharacteristics = 22;
constexpr uint64_t kOptionalStart = 24;
// From the optional header's start: fields at the same place in PE32 and
// PE32+ ...
constexpr uint64_t kOptMagic = 0;
constexpr uint64_t kOptSectionAlignment = 32;
constexpr uint64_t kOptFileAlignment = 36;
constexpr uint64_t kOptSizeOfImage = 56;
constexpr uint64_t kOptSizeOfHeaders = 60;
constexpr uint64_t kOptCheckSum = 64;
constexpr uint64_t kOptSubsystem = 68;
// ... and NumberOfRvaAndSizes, which ends the fixed part; the 64-bit
// fields before it (ImageBase, the stack and heap sizes) move it.
constexpr uint64_t kPe32DirectoryCount = 92;
constexpr uint64_t kPe32PlusDirectoryCount = 108;
constexpr uint64_t kDirectorySize = 8;
static_assert(kOptSubsystem + 2 <= kPe32DirectoryCount);
// A section header and its fields.
constexpr uint64_t kSectionHeaderSize = 40;
constexpr uint64_t kSectionNameSize = 8;
constexpr uint64_t kSectionVirtualSize = 8;
constexpr uint64_t kSectionVirtualAddress = 12;
constexpr uint64_t kSectionRawSize = 16;
constexpr uint64_t kSectionRawOffset = 20;
constexpr uint64_t kSectionCharacteristics = 36;
// COFF characteristics: a DLL, which no one starts as a program.
constexpr uint16_t kImageFileDll = 0x2000;

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string Count(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The bytes given, read only inside an extent that Holds() has admitted.
class Head {
 public:
  explicit Head(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint64_t Size() const { return bytes_.size(); }
  bool Holds(uint64_t offset, uint64_t length) const {
    return offset <= bytes_.size() && length <= bytes_.size() - offset;
  }
  uint16_t Le16(uint64_t at) const {
    assert(Holds(at, 2));
    return LoadLE16(bytes_.data() + at);
  }
  uint32_t Le32(uint64_t at) const {
    assert(Holds(at, 4));
    return LoadLE32(bytes_.data() + at);
  }
  const uint8_t* At(uint64_t at, uint64_t length) const {
    assert(Holds(at, length));
    (void)length;
    return bytes_.data() + at;
  }
  std::string Available() const { return "the " + Count(Size(), "byte", "bytes") + " available"; }

 private:
  std::span<const uint8_t> bytes_;
};

PeHeaders Fault(PeFault fault, std::string reason) {
  PeHeaders result;
  result.fault = fault;
  result.reason = std::move(reason);
  return result;
}

// What `kvarc setup` says of an installer's headers, without subject: a
// refusal, or a note for a warning; both empty for a 32-bit program.
struct InstallerVerdict {
  std::string refusal;
  std::string note;
};

InstallerVerdict JudgeInstaller(std::span<const uint8_t> head) {
  const PeHeaders pe = ParsePeHeaders(head);
  constexpr char kCannotStart[] = ": the launcher could not start it";
  if (pe.fault == PeFault::kNoPeHeader)
    return {std::string("not a Windows program (no PE header)") + kCannotStart, ""};
  if (pe.fault == PeFault::kDamaged)
    return {"a Windows program with damaged headers (" + pe.reason + ")" + kCannotStart, ""};
  if (pe.info.characteristics & kImageFileDll)
    return {std::string("a DLL, not a program") + kCannotStart, ""};
  switch (pe.info.machine) {
    case kMachineI386:
      return {};
    case kMachineAmd64:
      return {"", "a 64-bit (x86-64) program: it starts only on 64-bit Windows"};
    case kMachineArm64:
      return {"", "a 64-bit (ARM64) program: it starts only on 64-bit Windows for ARM"};
    default:
      return {"", "a program for the machine " + MachineName(pe.info.machine) +
                      ", not i386: it starts only on Windows for that machine"};
  }
}

}  // namespace

PeHeaders ParsePeHeaders(std::span<const uint8_t> bytes) {
  const Head head(bytes);
  if (!head.Holds(0, 2) || std::memcmp(head.At(0, 2), "MZ", 2) != 0)
    return Fault(PeFault::kNoPeHeader, "no MZ signature");
  if (!head.Holds(0, kDosHeaderSize))
    return Fault(PeFault::kNoPeHeader, "the DOS header is cut short (" +
                                           std::to_string(head.Size()) + " of " +
                                           std::to_string(kDosHeaderSize) + " bytes)");
  PeHeaders result;
  PeInfo& info = result.info;
  const uint64_t pe = head.Le32(kNewHeaderPointer);
  info.header_offset = static_cast<uint32_t>(pe);
  if (!head.Holds(pe, kSignatureSize))
    return Fault(PeFault::kNoPeHeader,
                 "the PE header's offset " + Hex(pe) + " is past " + head.Available());
  if (std::memcmp(head.At(pe, kSignatureSize), "PE\0\0", kSignatureSize) != 0)
    return Fault(PeFault::kNoPeHeader, "no PE signature at " + Hex(pe));

  if (!head.Holds(pe, kOptionalStart))
    return Fault(PeFault::kDamaged, "the COFF header at " + Hex(pe + kSignatureSize) +
                                        " runs past " + head.Available());
  info.machine = head.Le16(pe + kCoffMachine);
  info.characteristics = head.Le16(pe + kCoffCharacteristics);
  info.symbol_table_offset = head.Le32(pe + kCoffSymbolTable);
  info.symbol_count = head.Le32(pe + kCoffSymbolCount);
  const uint64_t section_count = head.Le16(pe + kCoffSectionCount);
  const uint64_t optional = pe + kOptionalStart;
  const uint64_t optional_size = head.Le16(pe + kCoffOptionalSize);
  if (!head.Holds(optional, optional_size))
    return Fault(PeFault::kDamaged, "the optional header (" + std::to_string(optional_size) +
                                        " bytes at " + Hex(optional) + ") runs past " +
                                        head.Available());
  if (optional_size < kOptMagic + 2)
    return Fault(PeFault::kDamaged, "the optional header is " + std::to_string(optional_size) +
                                        " bytes, too short to hold its magic");
  const uint16_t magic = head.Le16(optional + kOptMagic);
  if (magic != kPe32Magic && magic != kPe32PlusMagic)
    return Fault(PeFault::kDamaged, "unknown optional header magic " + Hex(magic));
  info.is_64bit = magic == kPe32PlusMagic;
  const uint64_t count_at = info.is_64bit ? kPe32PlusDirectoryCount : kPe32DirectoryCount;
  const uint64_t fixed_size = count_at + 4;
  if (optional_size < fixed_size)
    return Fault(PeFault::kDamaged, std::string("the ") + (info.is_64bit ? "PE32+" : "PE32") +
                                        " optional header is " + std::to_string(optional_size) +
                                        " bytes, shorter than its fixed part of " +
                                        std::to_string(fixed_size));
  // The whole fixed part lies inside the optional header, which Holds.
  info.size_of_image = head.Le32(optional + kOptSizeOfImage);
  info.size_of_headers = head.Le32(optional + kOptSizeOfHeaders);
  info.checksum_offset = optional + kOptCheckSum;
  info.optional_offset = optional;
  info.section_alignment = head.Le32(optional + kOptSectionAlignment);
  info.file_alignment = head.Le32(optional + kOptFileAlignment);
  info.directories_offset = optional + fixed_size;
  info.subsystem = head.Le16(optional + kOptSubsystem);
  const uint64_t directory_count = head.Le32(optional + count_at);
  const uint64_t directory_room = (optional_size - fixed_size) / kDirectorySize;
  if (directory_count > directory_room)
    return Fault(PeFault::kDamaged, Count(directory_count, "data directory", "data directories") +
                                        " do not fit in the optional header (room for " +
                                        std::to_string(directory_room) + ")");
  // Bounded by the optional header's size now, as the sections below are
  // by the bytes available.
  info.directories.resize(static_cast<size_t>(directory_count));
  for (size_t i = 0; i < info.directories.size(); ++i) {
    const uint64_t at = optional + fixed_size + i * kDirectorySize;
    info.directories[i] = {head.Le32(at), head.Le32(at + 4)};
  }
  info.certificate_offset = info.Directory(kSecurityDirectory).rva;
  info.certificate_size = info.Directory(kSecurityDirectory).size;

  // The section table follows the optional header as its size says, not
  // the last directory: the two differ when the linker leaves room.
  const uint64_t table = optional + optional_size;
  info.section_table_offset = table;
  if (!head.Holds(table, section_count * kSectionHeaderSize))
    return Fault(PeFault::kDamaged, "the section table (" +
                                        Count(section_count, "section", "sections") + " at " +
                                        Hex(table) + ") runs past " + head.Available());
  info.sections.resize(static_cast<size_t>(section_count));
  info.image_end = info.size_of_headers;
  for (size_t i = 0; i < info.sections.size(); ++i) {
    const uint64_t at = table + i * kSectionHeaderSize;
    PeSection& s = info.sections[i];
    const auto* name = reinterpret_cast<const char*>(head.At(at, kSectionNameSize));
    s.name.assign(name, std::find(name, name + kSectionNameSize, '\0'));
    s.virtual_size = head.Le32(at + kSectionVirtualSize);
    s.virtual_address = head.Le32(at + kSectionVirtualAddress);
    s.raw_size = head.Le32(at + kSectionRawSize);
    s.raw_offset = head.Le32(at + kSectionRawOffset);
    s.characteristics = head.Le32(at + kSectionCharacteristics);
    if (s.raw_size > 0)
      info.image_end = std::max<uint64_t>(info.image_end, uint64_t{s.raw_offset} + s.raw_size);
  }
  return result;
}

PeHeaders ParsePeHeaders(TStream& stream) {
  std::vector<uint8_t> head(kPeHeadLimit);
  size_t got = 0;
  stream.SetPosition(0);
  while (got < head.size()) {
    const int32_t n = stream.Read(head.data() + got, static_cast<int32_t>(head.size() - got));
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  head.resize(got);
  return ParsePeHeaders(head);
}

PeInfo ReadPeHeaders(std::span<const uint8_t> head) {
  PeHeaders pe = ParsePeHeaders(head);
  if (pe.fault != PeFault::kNone) throw BuilderError("not a Windows program (" + pe.reason + ")");
  return std::move(pe.info);
}

std::string MachineName(uint16_t machine) {
  switch (machine) {
    case kMachineI386:
      return "i386";
    case kMachineAmd64:
      return "x86-64";
    case kMachineArm64:
      return "ARM64";
    default: {
      char text[8];
      std::snprintf(text, sizeof text, "0x%04x", machine);
      return text;
    }
  }
}

std::string SubsystemName(uint16_t subsystem) {
  switch (subsystem) {
    case kSubsystemNative:
      return "native";
    case kSubsystemWindowsGui:
      return "GUI";
    case kSubsystemWindowsConsole:
      return "console";
    default:
      return "subsystem " + std::to_string(subsystem);
  }
}

std::string CheckInstallerImage(std::span<const uint8_t> head) {
  InstallerVerdict verdict = JudgeInstaller(head);
  if (!verdict.refusal.empty()) throw BuilderError(verdict.refusal);
  return std::move(verdict.note);
}

std::string CheckInstallerImage(const std::string& path) {
  const InstallerVerdict verdict = JudgeInstaller(ReadFileHead(path, kPeHeadLimit));
  if (!verdict.refusal.empty()) throw BuilderError(path + ": " + verdict.refusal);
  return verdict.note.empty() ? std::string() : path + ": " + verdict.note;
}

TrailingBytes AnalyzeTrailingBytes(const PeInfo& info, uint64_t file_size, uint64_t payload_end) {
  if (payload_end > file_size)
    throw BuilderError("the payload ends at byte " + std::to_string(payload_end) +
                       ", past the end of the file (" + std::to_string(file_size) + " bytes)");
  TrailingBytes t;
  t.count = file_size - payload_end;
  if (t.count == 0) return t;
  t.kind = TrailingKind::kUnknown;
  // A signer appends the table at the file's end as it found it, after
  // zeros up to the next 8-byte boundary: any other start is not the
  // signer's work on this file.
  const uint64_t at = info.certificate_offset;
  const bool after_padding = at >= payload_end && at - payload_end < kCertificateAlignment &&
                             (at == payload_end || at % kCertificateAlignment == 0);
  if (!info.HasCertificateTable() || !after_padding || at >= file_size) return t;
  t.padding = at - payload_end;
  t.certificate_size = info.certificate_size;
  const uint64_t end = at + info.certificate_size;
  if (end == file_size) {
    t.kind = TrailingKind::kCertificateTable;
  } else if (end < file_size) {
    t.kind = TrailingKind::kCertificateTableAndMore;
    t.after_certificate = file_size - end;
  } else {
    t.kind = TrailingKind::kCertificateTableCut;
  }
  return t;
}

TrailingBytes AnalyzeTrailingBytes(TStream& file, uint64_t payload_end) {
  const PeHeaders pe = ParsePeHeaders(file);
  return AnalyzeTrailingBytes(pe.fault == PeFault::kNone ? pe.info : PeInfo{},
                              static_cast<uint64_t>(file.Size()), payload_end);
}

std::string DescribeTrailingBytes(const TrailingBytes& t) {
  const std::string after = Count(t.count, "byte", "bytes") + " after the payload";
  constexpr char kTable[] = ": a code signature's certificate table";
  switch (t.kind) {
    case TrailingKind::kNone:
      return "nothing after the payload";
    case TrailingKind::kCertificateTable:
      return after + kTable;
    case TrailingKind::kCertificateTableAndMore:
      return after + kTable + ", then " + Count(t.after_certificate, "byte", "bytes") +
             " after the certificate table";
    case TrailingKind::kCertificateTableCut:
      return after + kTable + " cut short (" + std::to_string(t.count - t.padding) + " of its " +
             std::to_string(t.certificate_size) + " bytes)";
    case TrailingKind::kUnknown:
      break;
  }
  return after + " (not a certificate table)";
}

}  // namespace kv::tools
