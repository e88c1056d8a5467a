#include "fir.h"

#include <cstddef>

namespace quenda {

std::int64_t FirConvolve(const void* input, const double* kernel, void* output, std::uint64_t taps,
                         std::uint64_t byteCount)
{
    const float* in = static_cast<const float*>(input);
    float* out = static_cast<float*>(output);
    const std::uint64_t count = byteCount / 8;
    for (std::uint64_t k = 0; k < count; ++k) {
        double accL = 0.0;
        double accR = 0.0;
        const float* frame = in + 2 * k;
        for (std::uint64_t j = 0; j < taps; ++j) {
            accL = accL + static_cast<double>(frame[2 * j]) * kernel[j];
            accR = accR + static_cast<double>(frame[2 * j + 1]) * kernel[j];
        }
        out[2 * k] = static_cast<float>(accL);
        out[2 * k + 1] = static_cast<float>(accR);
    }
    return 0;
}

}  // namespace quenda
