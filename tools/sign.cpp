#include "tools/sign.h"

#include <algorithm>
#include <vector>

#include "tools/archive_writer.h"
#include "tools/host.h"
#include "tools/pe_image.h"

namespace kv::tools {

namespace {

constexpr uint64_t kFnvOffset = 0xCBF29CE484222325ull;
constexpr uint64_t kFnvPrime = 0x100000001B3ull;

// The bytes of `file` from `offset`, `count` of them, through `each` in
// chunks. Raises BuilderError when the file ends first.
template <typename F>
void ReadRange(TStream& file, int64_t offset, int64_t count, F&& each) {
  constexpr int64_t kChunk = 64 * 1024;
  std::vector<uint8_t> chunk(kChunk);
  file.SetPosition(offset);
  while (count > 0) {
    const int32_t want = static_cast<int32_t>(std::min(count, kChunk));
    if (file.Read(chunk.data(), want) != want) throw BuilderError("the file ends early");
    each(std::span<const uint8_t>(chunk.data(), static_cast<size_t>(want)));
    count -= want;
  }
}

}  // namespace

std::string SignCommandFor(const std::string& command, const std::string& path) {
  const std::string quoted = host::ShellQuoted(path);
  std::string result;
  size_t from = 0;
  for (size_t at; (at = command.find("{}", from)) != std::string::npos; from = at + 2)
    result += command.substr(from, at - from) + quoted;
  if (from == 0) throw BuilderError("the --sign command must name the file to sign as {}");
  return result + command.substr(from);
}

PayloadPrint PrintPayload(TStream& file) {
  PayloadPrint print;
  print.place = FindPayload(file);
  uint64_t hash = kFnvOffset;
  ReadRange(file, print.place.offset, print.place.End() - print.place.offset,
            [&](std::span<const uint8_t> bytes) {
              for (uint8_t b : bytes) hash = (hash ^ b) * kFnvPrime;
            });
  print.fingerprint = hash;
  return print;
}

void CheckSignedSetup(TStream& file, std::span<const uint8_t> image, const PayloadPrint& before) {
  const PeHeaders pe = ParsePeHeaders(file);
  if (pe.fault != PeFault::kNone)
    throw BuilderError("its headers no longer read (" + pe.reason + ")");
  const PeInfo& info = pe.info;
  if (!info.HasCertificateTable())
    throw BuilderError("it carries no certificate table: the command did not sign it");

  // A signer rewrites the header checksum and the security directory, and
  // nothing else of the image.
  std::vector<uint8_t> head(image.size());
  file.SetPosition(0);
  if (file.Read(head.data(), static_cast<int32_t>(head.size())) !=
      static_cast<int32_t>(head.size()))
    throw BuilderError("it is shorter than the launcher image");
  const auto blank = [&](std::vector<uint8_t>& bytes) {
    const auto clear = [&](uint64_t at, uint64_t count) {
      if (at + count <= bytes.size()) std::fill_n(bytes.data() + at, count, uint8_t{0});
    };
    clear(info.checksum_offset, 4);
    clear(info.directories_offset + kSecurityDirectory * 8, 8);
  };
  std::vector<uint8_t> expected(image.begin(), image.end());
  blank(expected);
  blank(head);
  const auto differs = std::mismatch(head.begin(), head.end(), expected.begin());
  if (differs.first != head.end())
    throw BuilderError("the command changed the launcher image (at offset " +
                       std::to_string(differs.first - head.begin()) +
                       "), not only its checksum and certificate directory");

  const std::optional<PayloadPlace> place = LocatePayloadPlace(file);
  if (!place || place->offset != before.place.offset || place->length != before.place.length ||
      PrintPayload(file).fingerprint != before.fingerprint)
    throw BuilderError("the command changed the payload");

  const TrailingBytes trailing = AnalyzeTrailingBytes(info, static_cast<uint64_t>(file.Size()),
                                                      static_cast<uint64_t>(before.place.End()));
  switch (trailing.kind) {
    case TrailingKind::kCertificateTable:
      return;
    case TrailingKind::kCertificateTableAndMore:
      throw BuilderError(std::to_string(trailing.after_certificate) +
                         " bytes follow its certificate table, outside the signature");
    case TrailingKind::kCertificateTableCut:
      throw BuilderError("its certificate table runs past the end of the file");
    case TrailingKind::kNone:
    case TrailingKind::kUnknown:
      break;
  }
  throw BuilderError("its certificate table (at offset " + std::to_string(info.certificate_offset) +
                     ") does not follow the payload, which ends at offset " +
                     std::to_string(before.place.End()) + ": the signature does not cover it");
}

}  // namespace kv::tools
