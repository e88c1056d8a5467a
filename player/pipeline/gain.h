// The gain stage of the block pump.
#pragma once

#include <cstdint>

namespace quenda {

// Scales every other frame, counted from `address`, by log10 8: the frames at
// byte offsets 0, 16, 32, … below `length`, each sample multiplied in double
// precision and rounded to float; the frames between them pass unchanged.
// Returns 0.
std::int64_t ApplyGain(void* address, std::int64_t length);

}  // namespace quenda
