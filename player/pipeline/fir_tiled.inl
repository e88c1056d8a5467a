// The FIR loop across output frames, shared by the vector paths. Each
// instruction-set file includes this inside its own unnamed namespace with an
// `Ops` type that supplies one register type and its operations:
//   Vec                 a register of kFrames frames, left and right interleaved
//   kFrames, kAccs, kTapGroup
//   Zero(), Load(const double*), Store(double*, Vec), Broadcast(const double*),
//   Widen(const float*, double*) (one register's worth of floats to doubles),
//   Add(Vec, Vec), Mul(Vec, Vec), StreamFrame(float* at, float left, float right),
//   Fence()
//
// Every output frame keeps its own two sums, starting from +0.0 and taking
// kernel[0], kernel[1], … in that order, each product and each sum rounded to
// double: exactly the plain loop's operations, only many frames side by side.
//
// Layout of the work: output frames go in chunks of kChunkFrames. For each chunk
// the taps go in tiles of kTileTaps; per tile the input frames the tile needs
// are widened once into a double buffer on the stack (padded with zeros past
// the last frame the call may read, so the vector loop needs no tail), and the
// chunk's partial sums wait between tiles in a second stack buffer. The sums of
// a frame are the same whether they stay in a register or pass through memory.

// The including file brings <cstdint>, <cstring> and <utility> in first.

#define QUENDA_ALWAYS_INLINE inline __attribute__((always_inline))
#define QUENDA_INLINE_LAMBDA __attribute__((always_inline))

template <class Ops>
struct TiledFir {
    using Vec = typename Ops::Vec;
    static constexpr int kFrames = Ops::kFrames;      // frames per register
    static constexpr int kAccs = Ops::kAccs;          // accumulator registers per block
    static constexpr int kTapGroup = Ops::kTapGroup;  // coefficients held in registers at once
    static constexpr int kBlockFrames = kFrames * kAccs;
    // About 20 KB of widened input per tile and 3 KB of sums: both stay in the
    // first-level cache while a tile is worked through.
    static constexpr int kChunkFrames = kBlockFrames * ((192 + kBlockFrames - 1) / kBlockFrames);
    static constexpr int kTileTaps = 1024;
    static_assert(kChunkFrames % kBlockFrames == 0);

    template <int N, class F>
    static QUENDA_ALWAYS_INLINE void Repeat(F&& f)
    {
        [&]<int... I>(std::integer_sequence<int, I...>) QUENDA_INLINE_LAMBDA {
            (f(std::integral_constant<int, I>{}), ...);
        }(std::make_integer_sequence<int, N>{});
    }

    // Taps 0 … G-1 of a group (relative to `w` and `k`) into every accumulator.
    // The register of frames q … q+kFrames-1 serves accumulator a at tap
    // q - kFrames·a; visiting q in increasing order gives every accumulator its
    // taps in increasing order while each input register is loaded only once
    // for all the accumulators it serves.
    template <int G>
    static QUENDA_ALWAYS_INLINE void Group(Vec (&acc)[kAccs], const double* w, const double* k)
    {
        Vec c[G];
        Repeat<G>([&](auto j) QUENDA_INLINE_LAMBDA { c[j] = Ops::Broadcast(k + j); });
        Repeat<kFrames * (kAccs - 1) + G>([&](auto q) QUENDA_INLINE_LAMBDA {
            constexpr int Q = decltype(q)::value;
            const Vec x = Ops::Load(w + 2 * Q);
            Repeat<kAccs>([&](auto a) QUENDA_INLINE_LAMBDA {
                constexpr int j = Q - kFrames * decltype(a)::value;
                if constexpr (j >= 0 && j < G) acc[a] = Ops::Add(acc[a], Ops::Mul(x, c[j]));
            });
            // Left to itself the compiler regroups the work by accumulator and
            // hoists the loads, and then runs out of registers. These empty
            // statements (no instruction) pin the order above: each step's load
            // after the previous step, every accumulator in a register.
            Repeat<kAccs>([&](auto a) QUENDA_INLINE_LAMBDA { asm volatile("" : "+v"(acc[a])); });
            asm volatile("" : "+r"(w));
        });
    }

    // One block of kBlockFrames output frames over `tileTaps` taps.
    static void Block(double* sums, const double* w, const double* k, std::uint64_t tileTaps, bool fromZero)
    {
        Vec acc[kAccs];
        Repeat<kAccs>([&](auto a) QUENDA_INLINE_LAMBDA {
            acc[a] = fromZero ? Ops::Zero() : Ops::Load(sums + 2 * kFrames * a);
        });
        std::uint64_t j = 0;
        for (; j + kTapGroup <= tileTaps; j += kTapGroup) Group<kTapGroup>(acc, w + 2 * j, k + j);
        for (; j < tileTaps; ++j) Group<1>(acc, w + 2 * j, k + j);
        Repeat<kAccs>([&](auto a) QUENDA_INLINE_LAMBDA { Ops::Store(sums + 2 * kFrames * a, acc[a]); });
    }

    static void Convolve(const float* input, const double* kernel, float* output, std::uint64_t taps,
                         std::uint64_t count)
    {
        alignas(64) double widened[2 * (kChunkFrames + kTileTaps)];
        alignas(64) double sums[2 * kChunkFrames];
        const std::uint64_t inputFrames = count + taps - 1;  // frames 0 … count + taps - 2 may be read
        for (std::uint64_t c0 = 0; c0 < count; c0 += kChunkFrames) {
            const std::uint64_t frames = count - c0 < kChunkFrames ? count - c0 : kChunkFrames;
            const std::uint64_t blocks = (frames + kBlockFrames - 1) / kBlockFrames;
            if (taps == 0) std::memset(sums, 0, sizeof sums);  // the empty sum
            for (std::uint64_t t0 = 0; t0 < taps; t0 += kTileTaps) {
                const std::uint64_t tileTaps = taps - t0 < kTileTaps ? taps - t0 : kTileTaps;
                const std::uint64_t first = c0 + t0;
                const std::uint64_t needed = blocks * kBlockFrames + tileTaps - 1;
                const std::uint64_t present = inputFrames - first < needed ? inputFrames - first : needed;
                const float* from = input + 2 * first;
                std::uint64_t i = 0;
                for (; i + 2 * kFrames <= 2 * present; i += 2 * kFrames) Ops::Widen(from + i, widened + i);
                for (; i < 2 * present; ++i) widened[i] = static_cast<double>(from[i]);
                for (; i < 2 * needed; ++i) widened[i] = 0.0;
                for (std::uint64_t b = 0; b < blocks; ++b)
                    Block(sums + 2 * kBlockFrames * b, widened + 2 * kBlockFrames * b, kernel + t0, tileTaps,
                          t0 == 0);
            }
            float* to = output + 2 * c0;
            for (std::uint64_t i = 0; i < frames; ++i)
                Ops::StreamFrame(to + 2 * i, static_cast<float>(sums[2 * i]), static_cast<float>(sums[2 * i + 1]));
        }
        Ops::Fence();
    }
};

// One output frame as a single 8-byte non-temporal store.
QUENDA_ALWAYS_INLINE void StreamFramePair(float* at, float left, float right)
{
    float pair[2] = {left, right};
    long long bits;
    std::memcpy(&bits, pair, sizeof bits);
    _mm_stream_si64(reinterpret_cast<long long*>(at), bits);
}
