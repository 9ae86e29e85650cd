// Fuzz target: the builder's marker search and stamping.
//
// Input: byte 0 (times 16) says how many of the following bytes are the
// launcher image; the rest is the archive. Checked besides the absence of
// crashes: FindMarker agrees with a plain search; and a launcher that
// StampLauncher accepts is found again by LocatePayload, which returns the
// block's offset, behind which stand the archive's length and the archive.
#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "fuzz/fuzz_util.h"
#include "launcher/launcher.h"
#include "tools/archive_writer.h"
#include "tools/stamp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kv;
  if (size == 0) return 0;
  const size_t image_size = std::min<size_t>(size - 1, size_t{data[0]} * 16);
  const std::span<const uint8_t> image(data + 1, image_size);
  const std::span<const uint8_t> archive(data + 1 + image_size, size - 1 - image_size);

  static const uint8_t kText[] = {'K', 'V', 'I', '_', 'S', 'I', 'Z', 'E'};
  const tools::MarkerSearch marker = tools::FindMarker(image);
  const auto hit = std::search(image.begin(), image.end(), std::begin(kText), std::end(kText));
  if (marker.offset != (hit == image.end() ? -1 : hit - image.begin())) fuzz::Fail();

  std::vector<uint8_t> stamped;
  try {
    stamped = tools::StampLauncher(image, archive);
  } catch (const tools::BuilderError&) {
    return 0;
  }
  static const test::TempDir dir;
  const std::string path = dir.File("Setup.exe");
  test::WriteFile(path, stamped);
  const int32_t offset = LocatePayload(path);
  if (offset < static_cast<int32_t>(image.size())) fuzz::Fail();
  const auto at = static_cast<size_t>(offset);
  if (at + 4 + archive.size() != stamped.size()) fuzz::Fail();
  if (LoadLE32(&stamped[at]) != archive.size()) fuzz::Fail();
  if (!std::equal(archive.begin(), archive.end(), stamped.begin() + static_cast<ptrdiff_t>(at) + 4))
    fuzz::Fail();
  return 0;
}
