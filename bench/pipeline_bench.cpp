// Where the time of one block goes, stage by stage, for the shortest and the
// longest kernel, and how long the kernel thread runs. The decoder hands out a
// whole block at once and the output takes each block as soon as it is ready,
// so every iteration is one block of pure processing.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "pipeline/block_buffers.h"
#include "pipeline/block_pipeline.h"
#include "pipeline/settings.h"

namespace {

using quenda::BlockPipeline;
using quenda::BlockTimings;

// Noise-like float stereo, as fast as memcpy can hand it out.
class NoiseSource : public quenda::platform::SampleSource {
public:
    NoiseSource() : noise_(1 << 18)
    {
        std::uint32_t x = 0x2545f491u;
        for (float& v : noise_) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            v = static_cast<float>(static_cast<std::int32_t>(x >> 8) - (1 << 23)) / static_cast<float>(1 << 24);
        }
    }
    std::int32_t pull(void* dst, std::uint32_t length) override
    {
        const auto* src = reinterpret_cast<const std::byte*>(noise_.data());
        const std::size_t size = noise_.size() * sizeof(float);
        auto* out = static_cast<std::byte*>(dst);
        for (std::size_t done = 0; done < length;) {
            const std::size_t n = std::min<std::size_t>(length - done, size);
            std::memcpy(out + done, src, n);
            done += n;
        }
        return static_cast<std::int32_t>(length);
    }

private:
    std::vector<float> noise_;
};

quenda::BlockMemory& Memory()
{
    static quenda::BlockMemory memory;
    return memory;
}

void BM_Block(benchmark::State& state)
{
    const std::int64_t n = state.range(0);
    quenda::BlockMemory& memory = Memory();
    memory.clearAll();
    NoiseSource source;
    BlockTimings last;
    BlockPipeline::Options options;
    BlockPipeline* self = nullptr;
    options.stageReached = [&](BlockPipeline::Stage stage) {
        if (stage == BlockPipeline::Stage::HandedOff) last = self->lastTimings();
    };
    BlockPipeline pipeline(memory.buffers(), {}, options);
    self = &pipeline;
    pipeline.startPump(source, 44100.0f);
    const auto kernelStart = std::chrono::steady_clock::now();
    pipeline.startKernel(n);
    while (pipeline.kernelRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double kernelWall = std::chrono::duration<double>(std::chrono::steady_clock::now() - kernelStart).count();

    std::vector<std::byte> out(static_cast<std::size_t>(2 * quenda::PlayerSettings.BlockBytes));
    BlockTimings sum;
    for (auto _ : state) {
        while (!pipeline.nextBlockReady()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const BlockTimings t = last;  // ordered by the ready flag
        state.SetIterationTime(t.processing());
        sum.read += t.read;
        sum.gain += t.gain;
        sum.transfer += t.transfer;
        sum.workers += t.workers;
        sum.convolution += t.convolution;
        sum.interleave += t.interleave;
        sum.biquad += t.biquad;
        sum.clearsAndCopies += t.clearsAndCopies;
        // Plays the front buffer and swaps onto the block: the pump goes on.
        BlockPipeline::OutputCallback(out.data(), static_cast<std::uint32_t>(out.size()), pipeline.callbackUser());
    }
    pipeline.stopPump();
    using benchmark::Counter;
    state.counters["gain_s"] = Counter(sum.gain, Counter::kAvgIterations);
    state.counters["transfer_s"] = Counter(sum.transfer, Counter::kAvgIterations);
    state.counters["workers_s"] = Counter(sum.workers, Counter::kAvgIterations);
    state.counters["conv_s"] = Counter(sum.convolution, Counter::kAvgIterations);
    state.counters["interleave_s"] = Counter(sum.interleave, Counter::kAvgIterations);
    state.counters["biquad_s"] = Counter(sum.biquad, Counter::kAvgIterations);
    state.counters["clears_copies_s"] = Counter(sum.clearsAndCopies, Counter::kAvgIterations);
    state.counters["kernel_thread_s"] = pipeline.kernelSeconds();
    state.counters["kernel_wall_s"] = kernelWall;
}

// A block with the longest kernel takes seconds to minutes: few iterations.
BENCHMARK(BM_Block)->Arg(256)->Iterations(3)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_Block)->Arg(16384)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
