// The FIR path for processors with AVX2: two frames per register.
// Built with -mavx2 (never -mfma) and reached only after the processor reported AVX2.
#include <immintrin.h>

#include <cstdint>
#include <cstring>
#include <utility>

#include "fir_paths.h"

namespace quenda::fir {
namespace {

#include "fir_tiled.inl"

struct Avx2Ops {
    using Vec = __m256d;
    static constexpr int kFrames = 2;
    static constexpr int kAccs = 8;
    static constexpr int kTapGroup = 6;
    static QUENDA_ALWAYS_INLINE Vec Zero() { return _mm256_setzero_pd(); }
    static QUENDA_ALWAYS_INLINE Vec Load(const double* p) { return _mm256_loadu_pd(p); }
    static QUENDA_ALWAYS_INLINE void Store(double* p, Vec v) { _mm256_storeu_pd(p, v); }
    static QUENDA_ALWAYS_INLINE Vec Broadcast(const double* p) { return _mm256_set1_pd(*p); }
    static QUENDA_ALWAYS_INLINE void Widen(const float* from, double* to)
    {
        _mm256_storeu_pd(to, _mm256_cvtps_pd(_mm_loadu_ps(from)));
    }
    static QUENDA_ALWAYS_INLINE Vec Add(Vec a, Vec b) { return _mm256_add_pd(a, b); }
    static QUENDA_ALWAYS_INLINE Vec Mul(Vec a, Vec b) { return _mm256_mul_pd(a, b); }
    static QUENDA_ALWAYS_INLINE void StreamFrame(float* at, float l, float r) { StreamFramePair(at, l, r); }
    static QUENDA_ALWAYS_INLINE void Fence() { _mm_sfence(); }
};

}  // namespace

void ConvolveAvx2(const float* input, const double* kernel, float* output, std::uint64_t taps,
                    std::uint64_t count)
{
    TiledFir<Avx2Ops>::Convolve(input, kernel, output, taps, count);
}

}  // namespace quenda::fir
