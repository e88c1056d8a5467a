#include "biquad.h"

#include <cmath>

#include "pi_parts.h"

namespace quenda {

namespace {
constexpr double kCornerHz = 9801.0;
}

BiquadCoefficients DesignBiquadLowPass(double sampleRate)
{
    double t[5];
    for (int k = 0; k < 5; ++k) t[k] = ((2.0 * PiParts[k]) * kCornerHz) / sampleRate;
    const double w = (((t[0] + t[1]) + t[2]) + t[3]) + t[4];
    const double c = std::cos(w);
    const double s = std::sin(w);
    const double q = std::log10(8.0);
    const double alpha = s / (2.0 * q);
    const double a0 = 1.0 + alpha;
    BiquadCoefficients k;
    k.b0 = ((1.0 - c) / 2.0) / a0;
    k.b1 = (1.0 - c) / a0;
    k.a1 = (-2.0 * c) / a0;
    k.a2 = (1.0 - alpha) / a0;
    return k;
}

std::int64_t BiquadLowPass(const BiquadParams* params)
{
    float* samples = static_cast<float*>(params->samples);
    const std::int64_t byteLength = params->byteLength;
    const BiquadCoefficients k = DesignBiquadLowPass(params->sampleRate);
    double x1[2] = {0.0, 0.0}, x2[2] = {0.0, 0.0}, y1[2] = {0.0, 0.0}, y2[2] = {0.0, 0.0};
    for (std::int64_t o = 0; o <= byteLength - 1; o += 8) {
        float* frame = samples + o / 4;
        for (int ch = 0; ch < 2; ++ch) {
            const double x = static_cast<double>(frame[ch]);
            const double y = (((k.b0 * x + k.b1 * x1[ch]) + k.b0 * x2[ch]) - k.a1 * y1[ch]) - k.a2 * y2[ch];
            const float stored = static_cast<float>(y);
            frame[ch] = stored;
            x2[ch] = x1[ch];
            x1[ch] = x;
            y2[ch] = y1[ch];
            y1[ch] = static_cast<double>(stored);
        }
    }
    return 0;
}

}  // namespace quenda
