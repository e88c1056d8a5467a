// Speed of the filter core: the FIR loop beside the processor's own peak rate
// of independent double multiplies and adds, one whole block on four threads
// as the pump runs it, the kernel design and the biquad.
//
// Rates are "lane" multiply-adds per second: one double multiply and one double
// add. A FIR output frame of T taps is 2·T of them (left and right).
#include <algorithm>
#include <ctime>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "pipeline/biquad.h"
#include "pipeline/fir.h"
#include "pipeline/fir_paths.h"
#include "pipeline/gain.h"
#include "pipeline/sinc_kernel.h"

namespace {

using quenda::fir::Path;

// Seconds of processor time of the calling thread: on a shared, busy machine
// this, not the wall clock, shows what the core itself achieves.
double ThreadSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// The peak probe: per pass, multiplies and adds that depend on nothing but two
// constant registers (each writes its own register), so the core issues them
// as fast as its units allow; the two-operand SSE2 form keeps seven chains of
// each instead. Written in assembly so that the compiler can neither fuse nor
// drop them. Returns lane multiply-adds done.
#if defined(__x86_64__)
__attribute__((target("avx512f"))) std::uint64_t ProbeAvx512(std::uint64_t passes)
{
    const double one = 1.0;
    std::uint64_t n = passes;
    asm volatile(
        "vbroadcastsd %1, %%zmm30\n\t"
        "vxorpd %%zmm31, %%zmm31, %%zmm31\n\t"
        ".irp r,0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19\n\t"
        "vmovapd %%zmm30, %%zmm\\r\n\t"
        ".endr\n\t"
        "1:\n\t"
        ".irp r,0,1,2,3,4,5,6,7,8,9\n\t"
        "vmulpd %%zmm30, %%zmm31, %%zmm\\r\n\t"
        "vaddpd %%zmm30, %%zmm31, %%zmm1\\r\n\t"
        ".endr\n\t"
        "dec %0\n\t"
        "jnz 1b\n\t"
        : "+r"(n)
        : "m"(one)
        : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11",
          "xmm12", "xmm13", "xmm14", "xmm15", "xmm16", "xmm17", "xmm18", "xmm19", "xmm30", "xmm31", "cc");
    return passes * 10 * 8;
}

__attribute__((target("avx2"))) std::uint64_t ProbeAvx2(std::uint64_t passes)
{
    const double one = 1.0;
    std::uint64_t n = passes;
    asm volatile(
        "vbroadcastsd %1, %%ymm14\n\t"
        "vxorpd %%ymm15, %%ymm15, %%ymm15\n\t"
        ".irp r,0,1,2,3,4,5,6,7,8,9,10,11,12,13\n\t"
        "vmovapd %%ymm14, %%ymm\\r\n\t"
        ".endr\n\t"
        "1:\n\t"
        "vmulpd %%ymm14, %%ymm15, %%ymm0\n\t"
        "vaddpd %%ymm14, %%ymm15, %%ymm7\n\t"
        "vmulpd %%ymm14, %%ymm15, %%ymm1\n\t"
        "vaddpd %%ymm14, %%ymm15, %%ymm8\n\t"
        "vmulpd %%ymm14, %%ymm15, %%ymm2\n\t"
        "vaddpd %%ymm14, %%ymm15, %%ymm9\n\t"
        "vmulpd %%ymm14, %%ymm15, %%ymm3\n\t"
        "vaddpd %%ymm14, %%ymm15, %%ymm10\n\t"
        "vmulpd %%ymm14, %%ymm15, %%ymm4\n\t"
        "vaddpd %%ymm14, %%ymm15, %%ymm11\n\t"
        "vmulpd %%ymm14, %%ymm15, %%ymm5\n\t"
        "vaddpd %%ymm14, %%ymm15, %%ymm12\n\t"
        "vmulpd %%ymm14, %%ymm15, %%ymm6\n\t"
        "vaddpd %%ymm14, %%ymm15, %%ymm13\n\t"
        "dec %0\n\t"
        "jnz 1b\n\t"
        : "+r"(n)
        : "m"(one)
        : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11",
          "xmm12", "xmm13", "xmm14", "xmm15", "cc");
    return passes * 7 * 4;
}

std::uint64_t ProbeSse2(std::uint64_t passes)
{
    const double one[2] = {1.0, 1.0};
    std::uint64_t n = passes;
    asm volatile(
        "movupd %1, %%xmm14\n\t"
        "xorpd %%xmm15, %%xmm15\n\t"
        ".irp r,0,1,2,3,4,5,6,7,8,9,10,11,12,13\n\t"
        "movapd %%xmm14, %%xmm\\r\n\t"
        ".endr\n\t"
        "1:\n\t"
        "mulpd %%xmm14, %%xmm0\n\t"
        "addpd %%xmm15, %%xmm7\n\t"
        "mulpd %%xmm14, %%xmm1\n\t"
        "addpd %%xmm15, %%xmm8\n\t"
        "mulpd %%xmm14, %%xmm2\n\t"
        "addpd %%xmm15, %%xmm9\n\t"
        "mulpd %%xmm14, %%xmm3\n\t"
        "addpd %%xmm15, %%xmm10\n\t"
        "mulpd %%xmm14, %%xmm4\n\t"
        "addpd %%xmm15, %%xmm11\n\t"
        "mulpd %%xmm14, %%xmm5\n\t"
        "addpd %%xmm15, %%xmm12\n\t"
        "mulpd %%xmm14, %%xmm6\n\t"
        "addpd %%xmm15, %%xmm13\n\t"
        "dec %0\n\t"
        "jnz 1b\n\t"
        : "+r"(n)
        : "m"(one)
        : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11",
          "xmm12", "xmm13", "xmm14", "xmm15", "cc");
    return passes * 7 * 2;
}
#endif

std::uint64_t Probe(Path path, std::uint64_t passes)
{
#if defined(__x86_64__)
    switch (path) {
    case Path::Avx512: return ProbeAvx512(passes);
    case Path::Avx2: return ProbeAvx2(passes);
    case Path::Sse2: return ProbeSse2(passes);
    default: break;
    }
#endif
    return 0;
}

std::vector<float> RandomFrames(std::size_t frames, std::uint32_t seed)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::vector<float> v(2 * frames);
    for (float& x : v) x = d(gen);
    return v;
}

std::vector<double> SincKernel(std::int64_t n)
{
    std::vector<double> kernel(65536, 0.0);
    quenda::BuildSincKernel(n, kernel.data());
    return kernel;
}

void BM_PeakProbe(benchmark::State& state)
{
    const Path path = static_cast<Path>(state.range(0));
    if (!quenda::fir::PathSupported(path)) return state.SkipWithError("not on this processor");
    state.SetLabel(quenda::fir::PathName(path));
    std::uint64_t done = 0;
    for (auto _ : state) done += Probe(path, 10'000'000);
    state.counters["lane_madds_per_s"] = benchmark::Counter(static_cast<double>(done), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PeakProbe)->Arg(int(Path::Sse2))->Arg(int(Path::Avx2))->Arg(int(Path::Avx512));

// One thread, one path, arguments (path, taps). "of_peak" is the rate over the
// probe's rate for the same register width, the two taken in turns on the same
// thread and both in thread processor time.
void BM_FirConvolve(benchmark::State& state)
{
    const Path path = static_cast<Path>(state.range(0));
    const std::uint64_t taps = static_cast<std::uint64_t>(state.range(1));
    if (!quenda::fir::PathSupported(path)) return state.SkipWithError("not on this processor");
    state.SetLabel(quenda::fir::PathName(path));
    const std::uint64_t count = std::max<std::uint64_t>(4096, 400'000'000 / taps);
    const std::vector<float> input = RandomFrames(count + taps, 1);
    const std::vector<double> kernel = SincKernel(static_cast<std::int64_t>(taps / 2));
    std::vector<float> output(2 * count);
    const quenda::fir::PathFn convolve = quenda::fir::PathFunction(path);
    double seconds = 0.0, probeSeconds = 0.0;
    std::uint64_t done = 0, probeDone = 0;
    for (auto _ : state) {
        // The probe runs right before each pass, so that both see the same
        // machine; its time is not counted in the benchmark's own.
        state.PauseTiming();
        double start = ThreadSeconds();
        probeDone += Probe(path, 1'000'000);
        probeSeconds += ThreadSeconds() - start;
        state.ResumeTiming();
        start = ThreadSeconds();
        convolve(input.data(), kernel.data(), output.data(), taps, count);
        seconds += ThreadSeconds() - start;
        done += 2 * count * taps;
        benchmark::DoNotOptimize(output.data());
    }
    const double rate = static_cast<double>(done) / seconds;
    state.counters["lane_madds_per_s"] = rate;
    if (probeDone > 0) state.counters["of_peak"] = rate / (static_cast<double>(probeDone) / probeSeconds);
}
BENCHMARK(BM_FirConvolve)
    ->ArgsProduct({{int(Path::Avx512)}, {513, 4097, 32769}})
    ->ArgsProduct({{int(Path::Avx2), int(Path::Sse2), int(Path::Portable)}, {4097}})
    ->Unit(benchmark::kMillisecond);

// One block as the pump runs it: four threads, each one quarter of 992,250
// frames with 32,769 taps, over the block's convolution input.
void BM_FirBlockFourThreads(benchmark::State& state)
{
    constexpr std::uint64_t kQuarterFrames = 992'250;
    constexpr std::uint64_t kInputFrames = (31'752'000 + 524'288) / 8;
    const std::uint64_t taps = static_cast<std::uint64_t>(state.range(0));
    const std::vector<float> input = RandomFrames(kInputFrames, 2);
    const std::vector<double> kernel = SincKernel(static_cast<std::int64_t>(taps / 2));
    std::vector<float> output(2 * (4 * kQuarterFrames + 65'536));
    state.SetLabel(quenda::fir::PathName(quenda::fir::ChosenPath()));
    double workerSeconds = 0.0;  // processor time of the four workers together
    for (auto _ : state) {
        double seconds[4] = {};
        std::vector<std::thread> workers;
        for (std::uint64_t k = 0; k < 4; ++k)
            workers.emplace_back([&, k] {
                const double start = ThreadSeconds();
                quenda::FirConvolve(input.data() + 2 * k * kQuarterFrames, kernel.data(),
                                    output.data() + 2 * k * kQuarterFrames, taps, 8 * kQuarterFrames);
                seconds[k] = ThreadSeconds() - start;
            });
        for (std::thread& t : workers) t.join();
        benchmark::DoNotOptimize(output.data());
        workerSeconds += seconds[0] + seconds[1] + seconds[2] + seconds[3];
    }
    // On a busy shared machine the wall time shows the sharing; the workers'
    // processor time over the core count is the block time on idle cores.
    const double cores = std::thread::hardware_concurrency();
    state.counters["worker_cpu_s"] = workerSeconds / static_cast<double>(state.iterations());
    state.counters["idle_cores_s"] = workerSeconds / static_cast<double>(state.iterations()) / std::min(4.0, cores);
    state.counters["lane_madds_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * 2.0 * 4 * kQuarterFrames * static_cast<double>(taps),
        benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FirBlockFourThreads)->Arg(32769)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1)->Repetitions(3);

void BM_BuildSincKernel(benchmark::State& state)
{
    std::vector<double> kernel(65536, 0.0);
    for (auto _ : state) {
        quenda::BuildSincKernel(state.range(0), kernel.data());
        benchmark::DoNotOptimize(kernel.data());
    }
}
BENCHMARK(BM_BuildSincKernel)->Arg(16384)->Unit(benchmark::kMillisecond);

void BM_BiquadLowPass(benchmark::State& state)
{
    constexpr std::int64_t kFrames = 8'003'536;  // one block at twice the rate, with its tail
    std::vector<float> samples = RandomFrames(kFrames, 3);
    quenda::BiquadParams params{samples.data(), 8 * kFrames, 88200.0};
    for (auto _ : state) {
        quenda::BiquadLowPass(&params);
        benchmark::DoNotOptimize(samples.data());
    }
}
BENCHMARK(BM_BiquadLowPass)->Unit(benchmark::kSecond);

void BM_ApplyGain(benchmark::State& state)
{
    constexpr std::int64_t kBytes = 31'752'000 + 524'288;
    std::vector<float> samples = RandomFrames(kBytes / 8, 4);
    for (auto _ : state) {
        quenda::ApplyGain(samples.data(), kBytes);
        benchmark::DoNotOptimize(samples.data());
    }
}
BENCHMARK(BM_ApplyGain)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
