// The LZH1 expander.
#pragma once

#include <cstdint>

namespace kv {

// Expands the session's input until Destsize bytes have been produced.
void ExpandLzh1(int32_t Destsize);

}  // namespace kv
