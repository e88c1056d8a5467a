// The biquad low-pass and the gain stage against their published figures.
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "filters_expect.h"
#include "pipeline/biquad.h"
#include "pipeline/gain.h"

namespace quenda {
namespace {

using testing::MatchesFigure;

std::int64_t Filter(std::vector<float>& frames, double rate, std::int64_t byteLength)
{
    BiquadParams params{frames.data(), byteLength, rate};
    return BiquadLowPass(&params);
}

TEST(BiquadLowPass, CoefficientsAtThreeRates)
{
    const struct {
        double rate;
        const char *b0, *b1, *a1, *a2;
    } rows[] = {
        {64000.0, "0.147255469425", "0.294510938849", "-0.786257307565", "0.375279185263"},
        {88200.0, "0.0862892463192", "0.172578492638", "-1.12986435860", "0.475021343872"},
        {96000.0, "0.0746586823928", "0.149317364786", "-1.20366275188", "0.502297481455"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.rate);
        const BiquadCoefficients k = DesignBiquadLowPass(row.rate);
        EXPECT_TRUE(MatchesFigure(k.b0, row.b0));
        EXPECT_TRUE(MatchesFigure(k.b1, row.b1));
        EXPECT_TRUE(MatchesFigure(k.a1, row.a1));
        EXPECT_TRUE(MatchesFigure(k.a2, row.a2));
    }
    const BiquadCoefficients k = DesignBiquadLowPass(88200.0);
    EXPECT_EQ(k.b1, 2.0 * k.b0);
    // Unity gain at 0 Hz, up to the roundings of the coefficients.
    EXPECT_NEAR(k.b0 + k.b1 + k.b0, 1.0 + k.a1 + k.a2, 1e-15);
}

TEST(BiquadLowPass, ImpulseResponseFromRest)
{
    std::vector<float> frames(2 * 64, 0.0f);
    frames[0] = 1.0f;
    frames[1] = 0.5f;
    EXPECT_EQ(Filter(frames, 88200.0, 8 * 64), 0);
    const char* left[] = {"0.0862892494", "0.270073652", "0.350446612", "0.267666399",
                          "0.135957107",  "0.0264658369", "-0.034679722", "-0.0517552197"};
    for (int i = 0; i < 8; ++i) EXPECT_TRUE(MatchesFigure(frames[2 * i], left[i])) << "frame " << i;
    for (int i = 0; i < 64; ++i) EXPECT_EQ(frames[2 * i + 1], frames[2 * i] * 0.5f) << "frame " << i;
}

TEST(BiquadLowPass, StepResponseOvershootsAndSettles)
{
    std::vector<float> frames(2 * 4000, 1.0f);
    Filter(frames, 88200.0, 8 * 4000);
    const char* step[] = {"0.08628925", "0.3563629", "0.7068095", "0.9744758", "1.110433", "1.136899", "1.102219"};
    for (int i = 0; i < 7; ++i) {
        EXPECT_TRUE(MatchesFigure(frames[2 * i], step[i])) << "frame " << i;
        EXPECT_EQ(frames[2 * i + 1], frames[2 * i]) << "frame " << i;
    }
    EXPECT_NEAR(frames[2 * 3999], 1.0f, 1e-6f);
}

TEST(BiquadLowPass, LeftOnlySignalLeavesRightSilent)
{
    std::vector<float> frames(2 * 500, 0.0f);
    for (int i = 0; i < 500; ++i) frames[2 * i] = std::sin(0.3f * static_cast<float>(i));
    Filter(frames, 96000.0, 8 * 500);
    for (int i = 0; i < 500; ++i) ASSERT_EQ(std::bit_cast<std::uint32_t>(frames[2 * i + 1]), 0u) << "frame " << i;
}

TEST(BiquadLowPass, ShortAndEmptyRuns)
{
    const float x = 0.7f;
    const double b0 = DesignBiquadLowPass(88200.0).b0;
    const struct {
        std::int64_t byteLength;
        int framesChanged;
    } rows[] = {{0, 0}, {-8, 0}, {8, 1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.byteLength);
        std::vector<float> frames(6, x);
        Filter(frames, 88200.0, row.byteLength);
        for (int i = 0; i < 3; ++i) {
            const float expected = i < row.framesChanged ? static_cast<float>(b0 * static_cast<double>(x)) : x;
            EXPECT_EQ(frames[2 * i], expected) << "frame " << i;
            EXPECT_EQ(frames[2 * i + 1], expected) << "frame " << i;
        }
    }
}

TEST(ApplyGain, ScalesEveryOtherFrameInsideTheRangeOnly)
{
    const float g = static_cast<float>(std::log10(8.0));
    const struct {
        std::int64_t length;
        std::vector<bool> scaled;  // per frame of five
    } rows[] = {
        {32, {true, false, true, false, false}},
        {24, {true, false, true, false, false}},
        {16, {true, false, false, false, false}},
        {0, {false, false, false, false, false}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.length);
        std::vector<float> frames(10, 1.0f);
        EXPECT_EQ(ApplyGain(frames.data(), row.length), 0);
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(frames[2 * i], row.scaled[i] ? g : 1.0f) << "frame " << i;
            EXPECT_EQ(frames[2 * i + 1], row.scaled[i] ? g : 1.0f) << "frame " << i;
        }
    }
    EXPECT_TRUE(MatchesFigure(g, "0.90309"));
}

}  // namespace
}  // namespace quenda
