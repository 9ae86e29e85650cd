// The LZH5 expander.
#pragma once

#include <cstdint>

namespace kv {

// Expands the session's input until Destsize bytes have been produced.
void ExpandLh5(int32_t Destsize);

}  // namespace kv
