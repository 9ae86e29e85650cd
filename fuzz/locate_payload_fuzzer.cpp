// Fuzz target: LocatePayload over an arbitrary launcher file.
//
// The input is the whole file. Checked besides the absence of crashes: the
// result is 0, a negative stored value, or an offset inside the file that
// the file really stores after a copy of the marker text.
#include <algorithm>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "fuzz/fuzz_util.h"
#include "launcher/launcher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const kv::test::TempDir dir;
  const std::string path = dir.File("Setup.exe");
  kv::test::WriteFile(path, std::vector<uint8_t>(data, data + size));
  const int32_t result = kv::LocatePayload(path);
  if (result <= 0) return 0;
  if (static_cast<size_t>(result) >= size) kv::fuzz::Fail();
  uint8_t marker[kv::kPayloadMarkerSize];
  std::copy(kv::PayloadMarker, kv::PayloadMarker + kv::kMarkerTextLength, marker);
  kv::StoreLE32(marker + kv::kMarkerTextLength, static_cast<uint32_t>(result));
  if (std::search(data, data + size, marker, marker + sizeof marker) == data + size)
    kv::fuzz::Fail();
  return 0;
}
