// Replays a fuzz target's corpus through its entry point, without libFuzzer:
// the ordinary build links this driver with each target and registers it as
// a ctest, so the corpus (and every regression input in it) runs on every
// test run. Arguments are files or folders; folders are replayed in name
// order. An input that escapes the target's named failures ends the process
// the way it would end the fuzzer: with an uncaught exception or an abort.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/kit/files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg(argv[i]);
    if (std::filesystem::is_directory(arg)) {
      for (const auto& e : std::filesystem::directory_iterator(arg))
        if (e.is_regular_file()) inputs.push_back(e.path());
    } else if (std::filesystem::is_regular_file(arg)) {
      inputs.push_back(arg);
    } else {
      std::fprintf(stderr, "replay: %s is neither a file nor a folder\n", argv[i]);
      return 2;
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "replay: no inputs\n");
    return 2;
  }
  std::sort(inputs.begin(), inputs.end());
  for (const auto& path : inputs) {
    std::fprintf(stderr, "replay: %s\n", path.string().c_str());
    const std::vector<uint8_t> data = kv::test::ReadFile(path.string());
    // A zero-length vector's data() may be null; libFuzzer never passes null.
    static const uint8_t kNoData[1] = {0};
    LLVMFuzzerTestOneInput(data.empty() ? kNoData : data.data(), data.size());
  }
  std::printf("replay: %zu inputs passed\n", inputs.size());
  return 0;
}
