// The FIR loop: its edge cases, and every vector path against the plain loop
// bit for bit, including from several threads at once.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pipeline/fir.h"
#include "pipeline/fir_paths.h"

namespace quenda {
namespace {

// The reference: the loop in its plain order, one frame at a time.
void ReferenceConvolve(const float* input, const double* kernel, float* output, std::uint64_t taps, std::uint64_t count)
{
    for (std::uint64_t k = 0; k < count; ++k) {
        double accL = 0.0;
        double accR = 0.0;
        for (std::uint64_t j = 0; j < taps; ++j) {
            accL = accL + static_cast<double>(input[2 * (k + j)]) * kernel[j];
            accR = accR + static_cast<double>(input[2 * (k + j) + 1]) * kernel[j];
        }
        output[2 * k] = static_cast<float>(accL);
        output[2 * k + 1] = static_cast<float>(accR);
    }
}

std::vector<fir::Path> PathsHere()
{
    std::vector<fir::Path> paths;
    for (fir::Path p : {fir::Path::Portable, fir::Path::Sse2, fir::Path::Avx2, fir::Path::Avx512})
        if (fir::PathSupported(p) && fir::PathFunction(p) != nullptr) paths.push_back(p);
    return paths;
}

// Samples as a decoder gives them, with the awkward values mixed in: negative
// zeros (whose sums depend on starting from +0.0), subnormals, large values.
std::vector<float> RandomSamples(std::size_t n, std::uint32_t seed)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::uniform_int_distribution<int> pick(0, 63);
    std::vector<float> v(n);
    for (float& x : v) {
        switch (pick(gen)) {
            case 0:
                x = -0.0f;
                break;
            case 1:
                x = 0.0f;
                break;
            case 2:
                x = std::numeric_limits<float>::denorm_min() * static_cast<float>(pick(gen) + 1);
                break;
            case 3:
                x = 16777216.0f;
                break;
            default:
                x = uniform(gen);
        }
    }
    return v;
}

std::vector<double> RandomKernel(std::size_t taps, std::uint32_t seed)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    std::vector<double> k(taps);
    for (double& c : k) c = uniform(gen);
    if (taps > 2) k[1] = -0.0;
    return k;
}

// Output area with guard frames on both sides, to see that nothing outside the
// run is written.
constexpr std::uint32_t kGuard = 0x7FC0DEADu;  // a NaN no computation produces

struct Guarded {
    std::vector<float> storage;
    std::size_t offset;  // floats before the run
    explicit Guarded(std::size_t floats, std::size_t misalign = 0)
        : storage(floats + 64 + misalign), offset(32 + misalign)
    {
        const float guard = std::bit_cast<float>(kGuard);
        for (float& f : storage) f = guard;
    }
    float* run() { return storage.data() + offset; }
    bool GuardsIntact(std::size_t floats) const
    {
        for (std::size_t i = 0; i < storage.size(); ++i) {
            if (i >= offset && i < offset + floats) continue;
            if (std::bit_cast<std::uint32_t>(storage[i]) != kGuard) return false;
        }
        return true;
    }
};

TEST(FirConvolve, EdgeCasesOnEveryPath)
{
    struct Case {
        const char* what;
        std::vector<double> kernel;
        std::vector<float> input;
        std::uint64_t byteCount;
        std::vector<float> expected;
    };
    const std::vector<Case> cases = {
        {"one tap of 1.0 copies every frame, but -0.0 comes out as +0.0",
         {1.0},
         {1.5f, -2.25f, -0.0f, 3e-41f, 7.0f, 8.0f},
         24,
         {1.5f, -2.25f, 0.0f, 3e-41f, 7.0f, 8.0f}},
        {"two taps, two frames, the third frame read", {0.5, 0.25}, {1, 2, 3, 4, 5, 6}, 16, {1.25f, 2.0f, 2.75f, 3.5f}},
        {"one frame reads taps frames", {1.0, 2.0, 3.0, 4.0}, {1, 10, 2, 20, 3, 30, 4, 40}, 8, {30.0f, 300.0f}},
        {"the sum stays in double until the end",
         {1.0, 1.0, -1.0},
         {16777216.0f, 0, 1.0f, 0, 16777216.0f, 0},
         8,
         {1.0f, 0.0f}},
        {"the sum starts from +0.0", {-1.0}, {0.0f, 0.0f}, 8, {0.0f, 0.0f}},
    };
    for (fir::Path path : PathsHere()) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(fir::PathName(path)) + ": " + c.what);
            const std::size_t floats = c.byteCount / 4;
            Guarded out(floats);
            fir::PathFunction(path)(c.input.data(), c.kernel.data(), out.run(), c.kernel.size(), c.byteCount / 8);
            for (std::size_t i = 0; i < floats; ++i)
                EXPECT_EQ(std::bit_cast<std::uint32_t>(out.run()[i]), std::bit_cast<std::uint32_t>(c.expected[i]))
                    << "float " << i << ": " << out.run()[i] << " against " << c.expected[i];
            EXPECT_TRUE(out.GuardsIntact(floats)) << "written outside the run";
        }
    }
}

// Every path against the plain loop over whole runs of random data: frame
// counts around every register, block and chunk width, tap counts around the
// tile width, input and output at addresses that are not vector aligned.
TEST(FirConvolve, EveryPathMatchesThePlainLoopBitForBit)
{
    const std::uint64_t tapCounts[] = {1, 2, 3, 17, 513, 1023, 1024, 1025, 4097, 32769};
    const std::uint64_t counts[] = {1, 2, 3, 5, 11, 47, 48, 49, 383, 384, 385, 1001};
    const std::size_t misaligns[] = {0, 1, 2, 7};  // in floats: 4-byte, 8-byte and odd offsets
    const std::vector<double> kernelAll = RandomKernel(32769, 7);
    for (std::uint64_t taps : tapCounts) {
        const std::vector<double> kernel(kernelAll.begin(), kernelAll.begin() + static_cast<std::ptrdiff_t>(taps));
        for (std::uint64_t count : counts) {
            if (taps * count > 40'000'000) continue;  // the plain loop is slow under sanitizers
            const std::size_t misalign = misaligns[(taps + count) % 4];
            const std::vector<float> raw =
                RandomSamples(2 * (count + taps - 1) + misalign, static_cast<std::uint32_t>(taps * 131 + count));
            const float* input = raw.data() + misalign;
            std::vector<float> expected(2 * count);
            ReferenceConvolve(input, kernel.data(), expected.data(), taps, count);
            for (fir::Path path : PathsHere()) {
                Guarded out(2 * count, 3 - misalign % 4);
                fir::PathFunction(path)(input, kernel.data(), out.run(), taps, count);
                const bool same = std::memcmp(out.run(), expected.data(), 8 * count) == 0;
                EXPECT_TRUE(same) << fir::PathName(path) << ": taps " << taps << ", frames " << count;
                EXPECT_TRUE(out.GuardsIntact(2 * count))
                    << fir::PathName(path) << ": taps " << taps << ", frames " << count;
            }
        }
    }
}

// The entry point the pump calls: the widest path, through the byte count.
TEST(FirConvolve, EntryPointUsesAPathThatMatchesThePlainLoop)
{
    EXPECT_TRUE(fir::PathSupported(fir::ChosenPath()));
    const std::uint64_t taps = 513, count = 2000;
    const std::vector<double> kernel = RandomKernel(taps, 3);
    const std::vector<float> input = RandomSamples(2 * (count + taps - 1), 4);
    std::vector<float> expected(2 * count);
    ReferenceConvolve(input.data(), kernel.data(), expected.data(), taps, count);
    Guarded out(2 * count);
    EXPECT_EQ(FirConvolve(input.data(), kernel.data(), out.run(), taps, 8 * count), 0);
    EXPECT_EQ(std::memcmp(out.run(), expected.data(), 8 * count), 0) << fir::PathName(fir::ChosenPath());
    EXPECT_TRUE(out.GuardsIntact(2 * count));
}

// Four workers at once over overlapping quarters of one input, as the pump
// runs them; run under ThreadSanitizer as well.
TEST(FirConvolve, FourThreadsOnOverlappingQuartersMatchThePlainLoop)
{
    const std::uint64_t taps = 1025, quarter = 3001;
    const std::vector<double> kernel = RandomKernel(taps, 11);
    const std::vector<float> input = RandomSamples(2 * (4 * quarter + taps - 1), 12);
    std::vector<float> expected(2 * 4 * quarter);
    ReferenceConvolve(input.data(), kernel.data(), expected.data(), taps, 4 * quarter);
    std::vector<float> output(2 * 4 * quarter, -1.0f);
    std::vector<std::thread> workers;
    for (std::uint64_t k = 0; k < 4; ++k)
        workers.emplace_back([&, k] {
            FirConvolve(input.data() + 2 * k * quarter, kernel.data(), output.data() + 2 * k * quarter, taps,
                        8 * quarter);
        });
    for (std::thread& t : workers) t.join();
    EXPECT_EQ(std::memcmp(output.data(), expected.data(), 8 * 4 * quarter), 0);
}

}  // namespace
}  // namespace quenda
