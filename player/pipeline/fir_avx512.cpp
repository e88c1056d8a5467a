// The FIR path for processors with AVX-512F: four frames per register.
// Built with -mavx512f and reached only after the processor reported AVX-512F.
#include <immintrin.h>

#include <cstdint>
#include <cstring>
#include <utility>

#include "fir_paths.h"

namespace quenda::fir {
namespace {

#include "fir_tiled.inl"

struct Avx512Ops {
    using Vec = __m512d;
    static constexpr int kFrames = 4;
    static constexpr int kAccs = 12;
    static constexpr int kTapGroup = 16;
    static QUENDA_ALWAYS_INLINE Vec Zero() { return _mm512_setzero_pd(); }
    static QUENDA_ALWAYS_INLINE Vec Load(const double* p) { return _mm512_loadu_pd(p); }
    static QUENDA_ALWAYS_INLINE void Store(double* p, Vec v) { _mm512_storeu_pd(p, v); }
    static QUENDA_ALWAYS_INLINE Vec Broadcast(const double* p) { return _mm512_set1_pd(*p); }
    static QUENDA_ALWAYS_INLINE void Widen(const float* from, double* to)
    {
        _mm512_storeu_pd(to, _mm512_maskz_cvtps_pd(0xFF, _mm256_loadu_ps(from)));
    }
    static QUENDA_ALWAYS_INLINE Vec Add(Vec a, Vec b) { return _mm512_add_pd(a, b); }
    static QUENDA_ALWAYS_INLINE Vec Mul(Vec a, Vec b) { return _mm512_mul_pd(a, b); }
    static QUENDA_ALWAYS_INLINE void StreamFrame(float* at, float l, float r) { StreamFramePair(at, l, r); }
    static QUENDA_ALWAYS_INLINE void Fence() { _mm_sfence(); }
};

}  // namespace

void ConvolveAvx512(const float* input, const double* kernel, float* output, std::uint64_t taps,
                    std::uint64_t count)
{
    TiledFir<Avx512Ops>::Convolve(input, kernel, output, taps, count);
}

}  // namespace quenda::fir
