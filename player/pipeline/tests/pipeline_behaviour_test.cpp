// What the pipeline does where timing is against it: a block that comes late,
// a stream that ends, and a first block that arrives before the kernel is done.
#include <gtest/gtest.h>

#include <ostream>

#include <chrono>
#include <thread>

#include "pipeline/block_buffers.h"
#include "pipeline/sinc_kernel.h"
#include "pipeline_support.h"

namespace quenda::test {
namespace {

// Plays `requests` requests of `length` bytes while the next block is late:
// each must be silence, and nothing of the stream may be consumed.
void PlaySilenceWhileLate(Player& player, BlockPipeline& pipeline, int requests, std::int64_t length)
{
    for (int i = 0; i < requests; ++i) {
        player.request(length);
        for (std::int64_t b = 0; b < length; ++b) ASSERT_EQ(player.buffer()[b], std::byte{0}) << "byte " << b;
        ASSERT_FALSE(pipeline.nextBlockReady());
    }
}

// Plays the rest of the block that is playing, without waiting for the next.
void PlayToBlockEnd(Player& player, const ExpectedOutput& expected, std::int64_t length)
{
    const std::int64_t rest = kPlayBytes - player.played() % kPlayBytes;
    ASSERT_TRUE(player.playChecked(expected, rest - length, length));
    player.request(length);
    ASSERT_TRUE(expected.matches(player.buffer(), player.played(), length));
    player.skipExpected(length);
}

// The pump stalls in the first block until the output has run out of the
// silent front buffer, and again in the second block until the first block
// has been played: the output plays silence meanwhile, then each block from its
// first frame, and nothing is lost or cut.
TEST(BehaviourTest, SlowPumpLosesNothing)
{
    const std::int64_t len = 8 * 7938;  // divides the output block
    const auto signal = MakeSignal(kBlockFrames + kBlockFrames / 2);
    const ExpectedOutput expected(signal, 2, OneTap());
    BlockMemory memory;
    memory.clearAll();
    ScriptedSource source(signal);
    source.holdAt(kBlockBytes / 2);
    BlockPipeline pipeline(memory.buffers(), {}, OneTapOptions());
    pipeline.startPump(source, kRate);
    Player player(pipeline);

    PlayToBlockEnd(player, expected, len);  // the next block is not there
    PlaySilenceWhileLate(player, pipeline, 20, len);
    EXPECT_EQ(pipeline.lateHandoffs(), 1);
    EXPECT_EQ(pipeline.swaps(), 0);

    source.release();
    ASSERT_TRUE(player.waitReady());
    source.holdAt(kBlockBytes + kBlockBytes / 4);  // the pump reads on only after the swap
    PlayToBlockEnd(player, expected, len);         // all of block 0
    EXPECT_EQ(pipeline.swaps(), 1);
    PlaySilenceWhileLate(player, pipeline, 20, len);
    EXPECT_EQ(pipeline.lateHandoffs(), 2);

    source.release();
    ASSERT_TRUE(player.playChecked(expected, kPlayBytes + 8 * 4096, len));  // all of block 1, then silence
    EXPECT_EQ(pipeline.lateHandoffs(), 2);
    EXPECT_TRUE(pipeline.streamFinished());
}

struct EndCase {
    const char* name;
    std::int64_t frames;  // decoded before the end
    std::int64_t blocks;  // blocks it takes to play them all
    bool failure;         // the stream fails rather than ends
};
void PrintTo(const EndCase& c, std::ostream* out) { *out << c.name; }

class EndTest : public ::testing::TestWithParam<EndCase> {};

// Every decoded frame is played, the look-ahead tail included, then silence;
// whoever started the pipeline hears of the end once.
TEST_P(EndTest, EndedStreamPlaysEveryFrameThenSilence)
{
    const EndCase c = GetParam();
    auto signal = MakeSignal(c.frames + (c.failure ? 5000 : 0));
    const ExpectedOutput expected(std::vector<float>(signal.begin(), signal.begin() + 2 * c.frames), c.blocks,
                                  OneTap());
    BlockMemory memory;
    memory.clearAll();
    std::atomic<int> ended{0};
    BlockPipeline::Hooks hooks;
    hooks.streamEnded = [&] { ++ended; };
    ScriptedSource source(signal, {1 << 20});
    if (c.failure) source.failAt(c.frames * 8);
    BlockPipeline pipeline(memory.buffers(), hooks, OneTapOptions());
    pipeline.startPump(source, kRate);
    Player player(pipeline);

    ASSERT_TRUE(player.playChecked(expected, (c.blocks + 2) * kPlayBytes, 8 << 20));
    EXPECT_EQ(pipeline.swaps(), c.blocks);
    EXPECT_EQ(pipeline.totalFrames(), c.frames);
    EXPECT_EQ(pipeline.lateHandoffs(), 0);
    pipeline.stopPump();
    EXPECT_EQ(ended.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, EndTest,
    ::testing::Values(EndCase{"WithinPlayedPart", kBlockFrames / 3, 1, false},
                      EndCase{"InLookAheadTail", kBlockFrames - 1000, 2, false},
                      EndCase{"AtBlockEnd", kBlockFrames, 2, false},
                      EndCase{"InSecondBlockAfterFailure", kBlockFrames + kBlockFrames / 2, 2, true}),
    [](const auto& info) { return std::string(info.param.name); });

// The whole first block arrives at once while the kernel thread is held back:
// the block is convolved with the finished kernel and its tap count all the same.
TEST(BehaviourTest, InstantFirstBlockUsesFinishedKernel)
{
    constexpr std::int64_t n = 8;
    std::vector<double> kernel(2 * n + 1);
    BuildSincKernel(n, kernel.data());
    const auto signal = MakeSignal(kBlockFrames / 2);
    const ExpectedOutput expected(signal, 1, kernel);
    BlockMemory memory;
    memory.clearAll();
    std::atomic<bool> blockRead{false};
    BlockPipeline::Hooks hooks;
    hooks.progress = [&](std::int64_t, std::int64_t) { blockRead = true; };
    BlockPipeline::Options options;
    options.kernelThreadStarted = [&] {
        while (!blockRead) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    };
    ScriptedSource source(signal);
    BlockPipeline pipeline(memory.buffers(), hooks, options);
    pipeline.startPump(source, kRate);
    pipeline.startKernel(n);
    Player player(pipeline);
    ASSERT_TRUE(player.playChecked(expected, 2 * kPlayBytes + 8 * 4096, 8 << 20));
    EXPECT_FALSE(pipeline.kernelRunning());
}

}  // namespace
}  // namespace quenda::test
