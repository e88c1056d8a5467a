// The FIR path for processors with SSE2, the x86-64 baseline: one frame per register.
#include <emmintrin.h>

#include <cstdint>
#include <cstring>
#include <utility>

#include "fir_paths.h"

namespace quenda::fir {
namespace {

#include "fir_tiled.inl"

struct Sse2Ops {
    using Vec = __m128d;
    static constexpr int kFrames = 1;
    static constexpr int kAccs = 8;
    static constexpr int kTapGroup = 6;
    static QUENDA_ALWAYS_INLINE Vec Zero() { return _mm_setzero_pd(); }
    static QUENDA_ALWAYS_INLINE Vec Load(const double* p) { return _mm_loadu_pd(p); }
    static QUENDA_ALWAYS_INLINE void Store(double* p, Vec v) { _mm_storeu_pd(p, v); }
    static QUENDA_ALWAYS_INLINE Vec Broadcast(const double* p) { return _mm_set1_pd(*p); }
    static QUENDA_ALWAYS_INLINE void Widen(const float* from, double* to)
    {
        _mm_storeu_pd(to, _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(from)))));
    }
    static QUENDA_ALWAYS_INLINE Vec Add(Vec a, Vec b) { return _mm_add_pd(a, b); }
    static QUENDA_ALWAYS_INLINE Vec Mul(Vec a, Vec b) { return _mm_mul_pd(a, b); }
    static QUENDA_ALWAYS_INLINE void StreamFrame(float* at, float l, float r) { StreamFramePair(at, l, r); }
    static QUENDA_ALWAYS_INLINE void Fence() { _mm_sfence(); }
};

}  // namespace

void ConvolveSse2(const float* input, const double* kernel, float* output, std::uint64_t taps,
                    std::uint64_t count)
{
    TiledFir<Sse2Ops>::Convolve(input, kernel, output, taps, count);
}

}  // namespace quenda::fir
