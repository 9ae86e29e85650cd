// The launcher's search for its payload, written once for any stream type:
// the launcher instantiates it over its own file (TFileStream), the builder
// over a file it has just written, so that both find the payload alike.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>

#include "core/bytes.h"
#include "launcher/launcher.h"

namespace kv {

// LocatePayload's scan over `file`, which stands at its start.
template <typename Stream>
int32_t ScanForPayload(Stream& file) {
  const uint8_t* search_text = PayloadMarker;
  std::unique_ptr<uint8_t[]> chunk(new uint8_t[kScanChunkSize]);

  int32_t result = 0;
  int64_t chunk_base = 0;
  int32_t n = file.Read(chunk.get(), kScanChunkSize);
  while (result == 0 && n > kMarkerTextLength) {
    const uint8_t* begin = chunk.get();
    const uint8_t* end = begin + n;
    const uint8_t* hit = std::search(begin, end, search_text, search_text + kMarkerTextLength);
    int64_t next_base = chunk_base + n - kMarkerTextLength;
    if (hit != end) {
      const int64_t marker_offset = chunk_base + (hit - begin);
      uint8_t probe[4];
      file.SetPosition(marker_offset + kMarkerTextLength);
      // A stored value cut off by the end of the file cannot be an offset.
      if (file.Read(probe, 4) != 4) break;
      if (probe[0] == kPlaceholderByte) break;
      result = static_cast<int32_t>(LoadLE32(probe));
      if (result >= 0 && result >= file.Size()) {
        result = 0;
        break;
      }
      // A stored 0 counts as not found. The scan resumes 4 bytes past this
      // occurrence, so that later occurrences in this chunk are examined too.
      next_base = marker_offset + 4;
    }
    if (result != 0) break;
    chunk_base = next_base;
    file.SetPosition(chunk_base);
    n = file.Read(chunk.get(), kScanChunkSize);
  }
  return result;
}

}  // namespace kv
