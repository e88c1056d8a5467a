// The FIR stage's one inner loop.
#pragma once

#include <cstdint>

namespace quenda {

// Output frame k (k < byteCount / 8), per channel, is
//   kernel[0]·input[k] + kernel[1]·input[k+1] + … + kernel[taps-1]·input[k+taps-1]
// summed in that order in double precision from 0.0 and rounded to float once.
// Reads taps - 1 frames past the end of the run it writes; writes exactly
// byteCount bytes at `output` with streaming stores. Input and output must not
// overlap. Re-entrant: keeps no state, allocates nothing. Returns 0.
// Contract: taps >= 1, byteCount a positive multiple of 8.
std::int64_t FirConvolve(const void* input, const double* kernel, void* output, std::uint64_t taps,
                         std::uint64_t byteCount);

}  // namespace quenda
