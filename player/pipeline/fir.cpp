#include "fir.h"

#include <cstring>
#include <initializer_list>

#include "fir_paths.h"

namespace quenda {

namespace fir {

void ConvolvePortable(const float* input, const double* kernel, float* output, std::uint64_t taps,
                      std::uint64_t count)
{
    for (std::uint64_t k = 0; k < count; ++k) {
        double accL = 0.0;
        double accR = 0.0;
        const float* frame = input + 2 * k;
        for (std::uint64_t j = 0; j < taps; ++j) {
            accL = accL + static_cast<double>(frame[2 * j]) * kernel[j];
            accR = accR + static_cast<double>(frame[2 * j + 1]) * kernel[j];
        }
        const float pair[2] = {static_cast<float>(accL), static_cast<float>(accR)};
        std::memcpy(output + 2 * k, pair, sizeof pair);
    }
}

const char* PathName(Path path)
{
    switch (path) {
    case Path::Portable: return "portable";
    case Path::Sse2: return "sse2";
    case Path::Avx2: return "avx2";
    case Path::Avx512: return "avx512f";
    }
    return "?";
}

bool PathSupported(Path path)
{
#if defined(__x86_64__)
    switch (path) {
    case Path::Portable:
    case Path::Sse2: return true;
    // Both also check that the operating system saves the wider registers.
    case Path::Avx2: return __builtin_cpu_supports("avx2");
    case Path::Avx512: return __builtin_cpu_supports("avx512f");
    }
    return false;
#else
    return path == Path::Portable;
#endif
}

Path ChosenPath()
{
    for (Path path : {Path::Avx512, Path::Avx2, Path::Sse2})
        if (PathSupported(path)) return path;
    return Path::Portable;
}

PathFn PathFunction(Path path)
{
    switch (path) {
    case Path::Portable: return &ConvolvePortable;
#if defined(__x86_64__)
    case Path::Sse2: return &ConvolveSse2;
    case Path::Avx2: return &ConvolveAvx2;
    case Path::Avx512: return &ConvolveAvx512;
#else
    default: break;
#endif
    }
    return nullptr;
}

}  // namespace fir

std::int64_t FirConvolve(const void* input, const double* kernel, void* output, std::uint64_t taps,
                         std::uint64_t byteCount)
{
    // Picked on the first call; thread-safe, and never again.
    static const fir::PathFn convolve = fir::PathFunction(fir::ChosenPath());
    convolve(static_cast<const float*>(input), kernel, static_cast<float*>(output), taps, byteCount / 8);
    return 0;
}

}  // namespace quenda
