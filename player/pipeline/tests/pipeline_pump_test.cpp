// The block pump: the layout of each block in the convolution and work
// buffers, the carried-over tail, reads in pieces, the workers, and stopping.
#include <gtest/gtest.h>

#include <ostream>

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "pipeline/block_buffers.h"
#include "pipeline_support.h"

namespace quenda::test {
namespace {

const float* Frames(const std::byte* p) { return reinterpret_cast<const float*>(p); }

float Scaled(float v) { return static_cast<float>(static_cast<double>(v) * std::log10(8.0)); }

// With the one-tap kernel {1.0}, over three blocks of a stream that ends in
// the third: the first block starts with 65,536 zero frames and then the first
// decoded frame, scaled; OverlapBuffer always holds the block's unscaled tail;
// before the biquad, WorkBufferA holds every frame of ConvInputBuffer twice in
// a row and zeros after the doubled block.
TEST(PumpTest, BlockLayoutOverlapAndInterleave)
{
    const std::int64_t frames = 2 * kBlockFrames + 1000;
    const auto signal = MakeSignal(frames);
    BlockMemory memory;
    memory.clearAll();
    const BlockBuffers& buf = memory.buffers();
    int blocks = 0;
    int transferred = 0;
    std::vector<std::string> faults;
    auto fault = [&](std::string what) { faults.push_back(std::to_string(blocks) + ": " + what); };

    BlockPipeline::Options options;
    options.kernel = OneTap();
    options.stageReached = [&](BlockPipeline::Stage stage) {
        const float* in = Frames(buf.ConvInputBuffer);
        if (stage == BlockPipeline::Stage::Transferred) {
            ++transferred;
            if (blocks == 0) {
                for (std::int64_t j = 0; j < 2 * kOverlapFrames; ++j) {
                    if (in[j] != 0.0f) return fault("head not zero");
                }
                const float* f = in + 2 * kOverlapFrames;
                if (f[0] != Scaled(signal[0]) || f[1] != Scaled(signal[1])) fault("first frame not scaled");
                if (f[2] != signal[2] || f[3] != signal[3]) fault("second frame scaled");
            }
            // The last 65,536 frames of this block's input, as decoded (zeros past the stream's end).
            std::vector<float> tail(2 * kOverlapFrames, 0.0f);
            for (std::int64_t i = 0; i < kOverlapFrames; ++i) {
                const std::int64_t s = (blocks + 1) * kBlockFrames - kOverlapFrames + i;
                if (s < frames) {
                    tail[2 * i] = signal[2 * s];
                    tail[2 * i + 1] = signal[2 * s + 1];
                }
            }
            if (std::memcmp(buf.OverlapBuffer, tail.data(), PlayerSettings.OverlapBytes) != 0) {
                fault("OverlapBuffer is not the unscaled tail");
            }
        } else if (stage == BlockPipeline::Stage::Interleaved) {
            const float* work = Frames(buf.WorkBufferA);
            for (std::int64_t j = 0; j < kBlockFrames; ++j) {
                if (std::memcmp(work + 4 * j, in + 2 * j, 8) != 0 || std::memcmp(work + 4 * j + 2, in + 2 * j, 8) != 0) {
                    return fault("frame " + std::to_string(j) + " not doubled");
                }
            }
            for (std::int64_t i = 4 * kBlockFrames; i < BlockBufferBytes / 4; ++i) {
                if (work[i] != 0.0f) return fault("WorkBufferA not zero after the doubled block");
            }
        } else {
            ++blocks;
        }
    };
    ScriptedSource source(signal);
    BlockPipeline pipeline(memory.buffers(), {}, options);
    pipeline.startPump(source, kRate);
    Player(pipeline).drain();
    pipeline.stopPump();
    EXPECT_EQ(blocks, 3);
    EXPECT_EQ(transferred, 3);
    EXPECT_TRUE(faults.empty()) << faults.front();
}

struct PiecesCase {
    const char* name;
    std::vector<std::uint32_t> pieces;
};
void PrintTo(const PiecesCase& c, std::ostream* out) { *out << c.name; }

class PiecesTest : public ::testing::TestWithParam<PiecesCase> {};

// However the decoder cuts the stream, the blocks are the same, and the
// progress of each block rises to BlockBytes.
TEST_P(PiecesTest, SameBlocksHoweverTheDecoderCutsTheStream)
{
    const auto signal = MakeSignal(kBlockFrames + 300000);
    const ExpectedOutput expected(signal, 2, OneTap());
    BlockMemory memory;
    memory.clearAll();
    std::vector<std::int64_t> progress;
    BlockPipeline::Hooks hooks;
    hooks.progress = [&](std::int64_t got, std::int64_t total) {
        EXPECT_EQ(total, kBlockBytes);
        progress.push_back(got);
    };
    ScriptedSource source(signal, GetParam().pieces);
    BlockPipeline pipeline(memory.buffers(), hooks, OneTapOptions());
    pipeline.startPump(source, kRate);
    Player player(pipeline);
    ASSERT_TRUE(player.playChecked(expected, 3 * kPlayBytes + 8 * 1000, 8 << 20));
    pipeline.stopPump();

    // Block 0 rises to BlockBytes, block 1 to what was left of the stream.
    ASSERT_FALSE(progress.empty());
    std::size_t i = 0;
    for (; i + 1 < progress.size() && progress[i + 1] >= progress[i]; ++i) {
    }
    EXPECT_EQ(progress[i], kBlockBytes);
    for (++i; i + 1 < progress.size(); ++i) EXPECT_LE(progress[i], progress[i + 1]);
    EXPECT_EQ(progress.back(), 300000 * 8);
}

INSTANTIATE_TEST_SUITE_P(
    Decoders, PiecesTest,
    ::testing::Values(PiecesCase{"AtOnce", {}},
                      PiecesCase{"ManyPieces", {0, 1000003, 0, 0, 4, 4, 2999997, 0, 65536 * 8 + 3, 1, 7}}),
    [](const auto& info) { return std::string(info.param.name); });

// A worker given any code but 2, 4, 8 or 16 returns without touching anything
// (no block has been set up, so any access would fault).
TEST(PumpTest, WorkerIgnoresOtherCodes)
{
    BlockMemory memory;
    memory.clearAll();
    BlockPipeline pipeline(memory.buffers(), {}, OneTapOptions());
    for (std::uint64_t code : {0ull, 1ull, 3ull, 6ull, 32ull, ~0ull}) {
        EXPECT_EQ(pipeline.ConvolutionWorker(code), 0);
    }
    const std::byte* work = memory.buffers().WorkBufferA;
    for (std::int64_t i = 0; i < BlockBufferBytes; i += 4096) ASSERT_EQ(work[i], std::byte{0});
}

enum class StopWhere { Reading, WaitingForKernel, Convolving, DesigningKernel, WaitingForSwap };

struct StopCase {
    const char* name;
    StopWhere where;
};
void PrintTo(const StopCase& c, std::ostream* out) { *out << c.name; }

class StopTest : public ::testing::TestWithParam<StopCase> {};

// Teardown stops the pump and the kernel thread wherever they are, well
// within the second the player's close allows (the bound here is loose on
// purpose: the work interrupted would take far longer).
TEST_P(StopTest, StopsPromptly)
{
    const StopWhere where = GetParam().where;
    const auto signal = MakeSignal(kBlockFrames + 1000);
    BlockMemory memory;
    memory.clearAll();
    std::atomic<bool> blockRead{false};
    BlockPipeline::Hooks hooks;
    hooks.progress = [&](std::int64_t got, std::int64_t total) {
        if (got == total) blockRead = true;
    };
    BlockPipeline::Options options;
    if (where == StopWhere::Convolving) options.kernel.assign(32769, 1e-5);
    if (where == StopWhere::Reading || where == StopWhere::WaitingForSwap) options.kernel = OneTap();
    ScriptedSource source(signal);
    if (where == StopWhere::Reading) source.holdAt(1000 * 8);
    BlockPipeline pipeline(memory.buffers(), hooks, options);
    if (where == StopWhere::DesigningKernel) pipeline.startKernel(16384);
    if (where != StopWhere::DesigningKernel) pipeline.startPump(source, kRate);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    auto until = [&](auto condition) {
        while (!condition() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    switch (where) {
    case StopWhere::Reading: until([&] { return source.delivered() > 0; }); break;
    case StopWhere::WaitingForKernel:
    case StopWhere::Convolving: until([&] { return blockRead.load(); }); break;
    case StopWhere::DesigningKernel: break;
    case StopWhere::WaitingForSwap: until([&] { return pipeline.nextBlockReady(); }); break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto start = std::chrono::steady_clock::now();
    pipeline.stopPump();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 5.0);
    EXPECT_FALSE(pipeline.kernelRunning());
    EXPECT_FALSE(pipeline.streamFinished());
}

INSTANTIATE_TEST_SUITE_P(Where, StopTest,
                         ::testing::Values(StopCase{"Reading", StopWhere::Reading},
                                           StopCase{"WaitingForKernel", StopWhere::WaitingForKernel},
                                           StopCase{"Convolving", StopWhere::Convolving},
                                           StopCase{"DesigningKernel", StopWhere::DesigningKernel},
                                           StopCase{"WaitingForSwap", StopWhere::WaitingForSwap}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quenda::test
