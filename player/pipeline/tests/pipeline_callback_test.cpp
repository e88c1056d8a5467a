// The output callback over the real pump: the silent first front buffer, the
// swaps at the end of each block, and what it plays once the stream is over.
#include <gtest/gtest.h>

#include <ostream>

#include "pipeline/block_buffers.h"
#include "pipeline_support.h"

namespace quenda::test {
namespace {

struct RequestCase {
    const char* name;
    std::int64_t requestLength;  // bytes
};
void PrintTo(const RequestCase& c, std::ostream* out) { *out << c.name; }

class CallbackTest : public ::testing::TestWithParam<RequestCase> {};

// 1.5 blocks of signal make two output blocks; requests either divide the
// output block (a request ends exactly at its end) or do not (requests cross it).
TEST_P(CallbackTest, PlaysSilenceThenEveryBlockWithoutGapOrRepeat)
{
    const std::int64_t len = GetParam().requestLength;
    const auto signal = MakeSignal(kBlockFrames + kBlockFrames / 2);
    const ExpectedOutput expected(signal, 2, OneTap());
    BlockMemory memory;
    memory.clearAll();
    ScriptedSource source(signal);
    BlockPipeline pipeline(memory.buffers(), {}, OneTapOptions());
    pipeline.startPump(source, kRate);
    Player player(pipeline);

    // The first block is ready long before the silent front buffer ends, and
    // still the whole front buffer is silence, with no swap until its end.
    ASSERT_TRUE(player.waitReady());
    const std::int64_t frontRequests = kPlayBytes / len;  // requests that stay within the front buffer
    ASSERT_TRUE(player.playChecked(expected, (frontRequests - (kPlayBytes % len == 0 ? 1 : 0)) * len, len));
    EXPECT_EQ(pipeline.swaps(), 0);

    // The request that reaches the end swaps during that request, once.
    ASSERT_TRUE(player.playChecked(expected, len, len));
    EXPECT_EQ(pipeline.swaps(), 1);
    if (kPlayBytes % len == 0) {
        // The next request begins with the new front buffer's first byte.
        EXPECT_EQ(player.played(), kPlayBytes);
    }

    // Both blocks, then silence: no older block comes back.
    ASSERT_TRUE(player.playChecked(expected, 3 * kPlayBytes - player.played() + kPlayBytes / 3, len));
    EXPECT_EQ(pipeline.swaps(), 2);
    EXPECT_TRUE(pipeline.streamFinished());
    EXPECT_EQ(pipeline.lateHandoffs(), 0);

    // A request of nothing returns nothing and changes nothing.
    player.request(0);
    ASSERT_TRUE(player.playChecked(expected, 8 * 4096, 8 * 4096));
}

INSTANTIATE_TEST_SUITE_P(Requests, CallbackTest,
                         ::testing::Values(RequestCase{"EndsExactlyAtBlockEnd", 8 * 7938},
                                           RequestCase{"CrossesBlockEnd", 8 * 1411 * 7}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quenda::test
