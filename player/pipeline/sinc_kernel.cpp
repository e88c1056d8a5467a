#include "sinc_kernel.h"

#include <cmath>

#include "pi_parts.h"
#include "settings.h"

namespace quenda {

std::int64_t BuildSincKernel(std::int64_t halfLength, double* kernel)
{
    const double s = PlayerSettings.UnitScale;
    const double a = (s * 25.0) * 4.0;
    const double b = s * 1764.0;
    const double p1 = PiParts[0], p2 = PiParts[1], p3 = PiParts[2], p4 = PiParts[3];
    const double d1 = (a * p1) / b;
    const double d2 = (a * p2) / b;
    const double d3 = (a * p3) / b;
    const double d4 = (a * p4) / b;
    for (std::int64_t n = -halfLength; n <= halfLength; ++n) {
        const double i = static_cast<double>(n);
        const double g1 = ((p1 * i + d2) + p2 * i) + d1;
        const double g2 = ((p3 * i + d4) + p4 * i) + d3;
        const double x = g1 + g2;
        const double e1 = ((d2 + i * p1) + d1) + i * p2;
        const double e2 = ((d4 + i * p3) + d3) + i * p4;
        const double divisor = e1 + e2;
        kernel[n + halfLength] = std::sin(x) / divisor;
    }
    return 0;
}

}  // namespace quenda
