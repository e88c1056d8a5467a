// The code paths behind FirConvolve, one per instruction set. FirConvolve picks
// the widest one the processor runs once, on its first call; tests and
// benchmarks call each path directly to compare them with the plain loop.
#pragma once

#include <cstdint>

namespace quenda::fir {

// One path: `count` output frames from `input`, as FirConvolve describes.
using PathFn = void (*)(const float* input, const double* kernel, float* output, std::uint64_t taps,
                        std::uint64_t count);

enum class Path { Portable, Sse2, Avx2, Avx512 };

const char* PathName(Path path);
bool PathSupported(Path path);  // the processor and the build can run it
Path ChosenPath();              // what FirConvolve uses on this processor
PathFn PathFunction(Path path); // nullptr where the build has no such path

// The paths themselves (the x86 ones exist only in x86-64 builds).
void ConvolvePortable(const float* input, const double* kernel, float* output, std::uint64_t taps,
                      std::uint64_t count);
void ConvolveSse2(const float* input, const double* kernel, float* output, std::uint64_t taps,
                  std::uint64_t count);
void ConvolveAvx2(const float* input, const double* kernel, float* output, std::uint64_t taps,
                  std::uint64_t count);
void ConvolveAvx512(const float* input, const double* kernel, float* output, std::uint64_t taps,
                    std::uint64_t count);

}  // namespace quenda::fir
