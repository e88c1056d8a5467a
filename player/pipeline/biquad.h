// The last filter of the block chain: a second-order low-pass at 9801 Hz with
// quality factor log10 8, designed afresh on every call.
#pragma once

#include <cstdint>

namespace quenda {

struct BiquadParams {
    void* samples;           // frames filtered in place
    std::int64_t byteLength; // bytes to filter, a multiple of 8; 0 or less filters nothing
    double sampleRate;       // Hz, used only to design the coefficients
};

// Filters the frames from rest (all state 0.0), left then right within each
// frame, feeding back each output as stored (rounded to float). Returns 0.
std::int64_t BiquadLowPass(const BiquadParams* params);

// The normalised coefficients the filter uses at a sample rate (b2 equals b0).
struct BiquadCoefficients {
    double b0, b1, a1, a2;
};
BiquadCoefficients DesignBiquadLowPass(double sampleRate);

}  // namespace quenda
