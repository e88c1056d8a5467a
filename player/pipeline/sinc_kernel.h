// The FIR kernel: a sinc at unit spacing, shifted by 25/441 of a sample.
#pragma once

#include <cstdint>

namespace quenda {

// Writes the 2N + 1 coefficients h[i + N] = sin(π̃(i + δ)) / (π̃(i + δ)),
// i = -N … N, at kernel[0] … kernel[2N], with π̃ the sum of the first four
// π parts and δ = 25/441, in the fixed order of operations that makes every
// coefficient reproducible to the bit. Nothing else of `kernel` is written.
// Returns 0.
std::int64_t BuildSincKernel(std::int64_t halfLength, double* kernel);

}  // namespace quenda
