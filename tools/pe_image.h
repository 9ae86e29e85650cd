// Windows PE images, read by their headers only: what the builder needs to
// know about the programs it is handed (the installer it packs, the
// launcher it stamps) and about a stamped launcher's bytes after its
// payload.
//
// The reader takes the first bytes of a file (as many as the caller chose:
// kPeHeadLimit for a file that may be huge, or the whole image) and walks
// DOS header -> e_lfanew -> "PE\0\0" -> COFF header -> optional header (its
// fixed part, then the data directories) -> section table. Each structure's
// whole extent is checked against the bytes available before any field of
// it is read, with 64-bit arithmetic, so no field of the file can make the
// reader step outside the span; the only allocations are the directory and
// section lists, whose extents have been checked to lie inside the span.
// A malformed image gives a PeFault and one clause of text saying which
// structure was wrong and where, never a crash.
//
// The reader checks what it needs to read the headers, not what a loader
// would demand of a runnable image: section data is not read (it may lie
// beyond the bytes given), and SizeOfHeaders, alignments and addresses are
// reported as they are.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/stream.h"

namespace kv::tools {

// COFF machine numbers that the builder names.
inline constexpr uint16_t kMachineI386 = 0x014C;
inline constexpr uint16_t kMachineAmd64 = 0x8664;
inline constexpr uint16_t kMachineArm64 = 0xAA64;
// Optional header magic numbers.
inline constexpr uint16_t kPe32Magic = 0x010B;
inline constexpr uint16_t kPe32PlusMagic = 0x020B;
// Subsystems.
inline constexpr uint16_t kSubsystemNative = 1;
inline constexpr uint16_t kSubsystemWindowsGui = 2;
inline constexpr uint16_t kSubsystemWindowsConsole = 3;
// The data directory of the certificate table (IMAGE_DIRECTORY_ENTRY_SECURITY).
// Unlike every other directory, its first field is a file offset, not an
// address in the loaded image: the table is not loaded.
inline constexpr size_t kSecurityDirectory = 4;
// Certificate tables start on an 8-byte boundary of the file.
inline constexpr uint64_t kCertificateAlignment = 8;

// How much of a file the readers that take a file or a stream read: more
// than the headers of any ordinary program need (a linker puts them in the
// first few KiB), far less than an installer may weigh.
inline constexpr size_t kPeHeadLimit = 64 * 1024;

struct PeDataDirectory {
  uint32_t rva = 0;  // for kSecurityDirectory, a file offset
  uint32_t size = 0;
};

struct PeSection {
  std::string name;  // the 8-byte field up to its first zero byte
  uint32_t virtual_size = 0;
  uint32_t virtual_address = 0;
  uint32_t raw_size = 0;    // SizeOfRawData
  uint32_t raw_offset = 0;  // PointerToRawData
  uint32_t characteristics = 0;
};

// What the headers say. Offsets are file offsets.
struct PeInfo {
  uint32_t header_offset = 0;  // e_lfanew: where "PE\0\0" stands
  uint16_t machine = 0;
  uint16_t characteristics = 0;  // the COFF header's
  bool is_64bit = false;         // PE32+ optional header
  uint16_t subsystem = 0;
  uint32_t size_of_image = 0;
  uint32_t size_of_headers = 0;
  uint64_t checksum_offset = 0;  // of the optional header's CheckSum field
  uint64_t optional_offset = 0;  // of the optional header
  uint32_t section_alignment = 0;
  uint32_t file_alignment = 0;
  // The COFF symbol table (PointerToSymbolTable, NumberOfSymbols); both 0
  // in a stripped image.
  uint32_t symbol_table_offset = 0;
  uint32_t symbol_count = 0;
  uint64_t directories_offset = 0;    // of the first data directory
  uint64_t section_table_offset = 0;  // of the first section header
  // NumberOfRvaAndSizes entries, each inside the optional header.
  std::vector<PeDataDirectory> directories;
  std::vector<PeSection> sections;
  // Where the image's own bytes end: SizeOfHeaders, or the end of the
  // section data that ends last if that is later. Bytes after it (an
  // overlay: a payload, a certificate table) are not part of the image.
  uint64_t image_end = 0;
  // The certificate table (kSecurityDirectory); both 0 when there is none.
  uint32_t certificate_offset = 0;
  uint32_t certificate_size = 0;

  // A directory by index; an empty one when the image has fewer.
  PeDataDirectory Directory(size_t index) const {
    return index < directories.size() ? directories[index] : PeDataDirectory{};
  }
  // Whether the image carries a certificate table (a code signature): any
  // non-zero security directory counts, for a signer overwrites it whole.
  bool HasCertificateTable() const { return certificate_offset != 0 || certificate_size != 0; }
};

enum class PeFault {
  kNone,
  // Not a PE image at all: no "MZ", a DOS header cut short, e_lfanew past
  // the end, or no "PE\0\0" where it points (a text file, a DOS program).
  kNoPeHeader,
  // "PE\0\0" is there, but a structure after it is cut short or
  // inconsistent.
  kDamaged,
};

struct PeHeaders {
  PeInfo info;  // complete only when fault is kNone
  PeFault fault = PeFault::kNone;
  // When fault is not kNone: what is wrong and where, as a clause to put
  // after a subject ("no PE signature at 0x80", "the section table (3
  // sections at 0x178) runs past the 512 bytes available").
  std::string reason;
};

// Reads the headers of the image whose first bytes are `head`. A reason
// speaks of "the N bytes available": a caller that passed a prefix of a
// file knows whether that is the file's end.
PeHeaders ParsePeHeaders(std::span<const uint8_t> head);
// The same over the first kPeHeadLimit bytes of `stream` (from its start;
// the position is left where the read ended).
PeHeaders ParsePeHeaders(TStream& stream);

// The same, raising BuilderError "not a Windows program (REASON)" for an
// image with any fault.
PeInfo ReadPeHeaders(std::span<const uint8_t> head);

// "i386", "x86-64", "ARM64", else the number as "0x01c4".
std::string MachineName(uint16_t machine);
// "GUI", "console", "native", else "subsystem N".
std::string SubsystemName(uint16_t subsystem);

// The installer that `kvarc setup` packs must be a Windows program, for the
// launcher starts it as one. Reads the first kPeHeadLimit bytes of `path`
// only. Raises BuilderError "PATH: reason" for a file that cannot be read
// and for one that is not a PE image or has damaged headers; returns a
// warning, "PATH: ...", for a program that starts only on some Windows (a
// 64-bit one, or one for another machine), else an empty text.
std::string CheckInstallerImage(const std::string& path);
// The same for the installer's first bytes; the texts carry no subject.
std::string CheckInstallerImage(std::span<const uint8_t> head);

// What follows the PayloadBlock of a stamped launcher. Signing the
// Setup.exe appends a certificate table after it, aligned to 8 bytes, and
// points the security directory at it; any other bytes there were put
// there by something else.
enum class TrailingKind {
  kNone,                     // the payload ends the file
  kCertificateTable,         // exactly the certificate table, after its padding
  kCertificateTableAndMore,  // the table, then more bytes after it
  kCertificateTableCut,      // the table starts there but runs past the file's end
  kUnknown,                  // bytes that the security directory does not account for
};

struct TrailingBytes {
  TrailingKind kind = TrailingKind::kNone;
  uint64_t count = 0;              // bytes after the payload's end, all of them
  uint64_t padding = 0;            // before the certificate table (0 to 7)
  uint64_t certificate_size = 0;   // the security directory's size
  uint64_t after_certificate = 0;  // bytes after the table's end
};

// `payload_end` is where the PayloadBlock ends (its offset + 4 + its
// length), `file_size` the whole file's size, `info` the launcher's headers
// (a default PeInfo for a file whose headers could not be read: then any
// bytes are kUnknown). Raises BuilderError when the payload ends past the
// file's end.
TrailingBytes AnalyzeTrailingBytes(const PeInfo& info, uint64_t file_size, uint64_t payload_end);
// The same for the stamped launcher `file`, whose headers it reads.
TrailingBytes AnalyzeTrailingBytes(TStream& file, uint64_t payload_end);

// One line for a report, without subject or newline, e.g. "1234 bytes
// after the payload: a code signature's certificate table".
std::string DescribeTrailingBytes(const TrailingBytes& trailing);

}  // namespace kv::tools
