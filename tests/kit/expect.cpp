#include "tests/kit/expect.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/kit/archives.h"
#include "tests/kit/bytes.h"
#include "tools/compressors.h"

namespace kv::test {

std::vector<uint8_t> ExpectRoundTrip(uint8_t method, const std::vector<uint8_t>& data, int level) {
  std::vector<uint8_t> stored =
      tools::CompressorFor(method)(data, level != 0 ? level : tools::kDefaultLevel);
  const SessionResult r = RunSession(method, stored, static_cast<int32_t>(data.size()));
  EXPECT_EQ(r.output.size(), data.size());
  const size_t common = std::min(r.output.size(), data.size());
  EXPECT_TRUE(
      std::equal(r.output.begin(), r.output.begin() + static_cast<ptrdiff_t>(common), data.begin()))
      << "first difference at "
      << std::mismatch(r.output.begin(), r.output.begin() + static_cast<ptrdiff_t>(common),
                       data.begin())
                 .first -
             r.output.begin();
  EXPECT_EQ(r.checksum, Sum(data));
  return stored;
}

}  // namespace kv::test
