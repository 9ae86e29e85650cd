// Fuzz target: the archive walk (TKVDoziRivovaze::WalkArchive, the body of
// ExtractEntry) over arbitrary archive bytes.
//
// Input: byte 0 chooses the run's configuration, the rest is the archive.
//   bit 0     OnExpand assigned: copies up to 64 KiB of the stored bytes and
//             reports their sum, as an application's own method would
//   bit 1     OnRecognize assigned; bit 2 makes it accept the identifier
//   bit 3     OnShowProgress assigned; bits 4-5 make it refuse at the 1st,
//             2nd or 3rd report (0: never)
//   bits 6-7  the wanted name: "Installer\ZIVizivaz.exe", "A", "a", or the
//             name of the archive's first entry (as far as the bytes go)
// The destination accepts at most kOutputCap bytes; beyond that its writer
// raises EWriteError, which ends the run like any other named failure.
//
// Checked besides the absence of crashes: every progress report lies in
// 0..100, and the walk never leaves the archive stream before its start.
#include <string>
#include <vector>

#include "archive/dozirivovaze.h"
#include "core/bytes.h"
#include "fuzz/fuzz_util.h"

namespace kv::fuzz {
namespace {

class Handlers {
 public:
  explicit Handlers(uint8_t options) : options_(options) {}

  void Expand(TStream& dest, TStream& source, int32_t Sourcesize, int32_t /*Destsize*/,
              const std::string& /*CompressID*/, int32_t& checksum) {
    std::vector<uint8_t> bytes(static_cast<size_t>(std::clamp(Sourcesize, 0, 65536)));
    const int32_t n = source.Read(bytes.data(), static_cast<int32_t>(bytes.size()));
    dest.WriteBuffer(bytes.data(), n);
    checksum = static_cast<int32_t>(ByteSum(bytes.data(), static_cast<size_t>(n)));
  }

  void Recognize(const std::string& /*CompressID*/, bool& recognized) {
    recognized = (options_ & 0x04) != 0;
  }

 private:
  uint8_t options_;
};

std::string WantedName(uint8_t options, const uint8_t* archive, size_t size) {
  static const char* const kNames[3] = {"Installer\\ZIVizivaz.exe", "A", "a"};
  if ((options >> 6) < 3) return kNames[options >> 6];
  // The first EntryHeader follows the 21-byte ArchiveHeader; its name follows it.
  constexpr size_t kNameAt = ArchiveHeader::kSize + EntryHeader::kSize;
  if (size < kNameAt) return std::string();
  const size_t length = LoadLE16(archive + ArchiveHeader::kSize + EntryHeader::kNameLength);
  const size_t n = std::min(length, size - kNameAt);
  return std::string(reinterpret_cast<const char*>(archive + kNameAt), n);
}

}  // namespace
}  // namespace kv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kv;
  using namespace kv::fuzz;
  if (size == 0) return 0;
  const uint8_t options = data[0];
  Handlers handlers(options);
  TKVDoziRivovaze component(nullptr);
  if (options & 0x01) component.SetOnExpand(TExpandEvent::Bind<&Handlers::Expand>(&handlers));
  if (options & 0x02)
    component.SetOnRecognize(TRecognizeEvent::Bind<&Handlers::Recognize>(&handlers));
  test::ProgressLog progress;
  progress.refuse_at = ((options >> 4) & 3) - 1;
  if (options & 0x08) component.SetOnShowProgress(progress.Event());

  TMemoryStream archive(std::vector<uint8_t>(data + 1, data + size));
  test::CountingSink dest(kOutputCap);
  try {
    component.WalkArchive(archive, dest, WantedName(options, data + 1, size - 1));
  } catch (const Exception&) {
    // A named failure is the expected end of a damaged archive.
  }
  if (archive.Position() < 0) Fail();
  for (const int32_t p : progress.reports)
    if (p < 0 || p > 100) Fail();
  return 0;
}
