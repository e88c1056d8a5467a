#include "gain.h"

#include <cmath>

namespace quenda {

std::int64_t ApplyGain(void* address, std::int64_t length)
{
    float* samples = static_cast<float*>(address);
    const double g = std::log10(8.0);
    for (std::int64_t o = 0; o < length; o += 16) {
        float* frame = samples + o / 4;
        frame[0] = static_cast<float>(static_cast<double>(frame[0]) * g);
        frame[1] = static_cast<float>(static_cast<double>(frame[1]) * g);
    }
    return 0;
}

}  // namespace quenda
