// The sinc kernel against its published coefficients and sums.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "filters_expect.h"
#include "pipeline/sinc_kernel.h"

namespace quenda {
namespace {

using testing::MatchesFigure;

constexpr double kUntouched = 12345.0;

std::vector<double> Build(std::int64_t n)
{
    std::vector<double> kernel(65536, kUntouched);
    EXPECT_EQ(BuildSincKernel(n, kernel.data()), 0);
    return kernel;
}

TEST(BuildSincKernel, CoefficientsForHalfLength256)
{
    const std::vector<double> kernel = Build(256);
    const struct {
        int index;
        const char* figure;
    } rows[] = {
        {0, "-2.20322776199e-4"}, {1, "2.21186979208e-4"},   {254, "-2.90175636784e-2"},
        {255, "5.97789713278e-2"}, {256, "9.94722082895e-1"}, {257, "-5.33649186103e-2"},
        {258, "2.74179184921e-2"}, {511, "-2.21088656405e-4"}, {512, "2.20225220042e-4"},
    };
    for (const auto& row : rows) EXPECT_TRUE(MatchesFigure(kernel[row.index], row.figure)) << "index " << row.index;
    for (std::size_t i = 513; i < kernel.size(); ++i) ASSERT_EQ(kernel[i], kUntouched) << "index " << i;
}

TEST(BuildSincKernel, SumsAndEndsForEveryHalfLength)
{
    const struct {
        std::int64_t n;
        const char* sum;
        const char* alternating;
        const char* first;
        const char* last;
    } rows[] = {
        {256, "0.999999951412", "0.984208", "-2.20322776199e-4", "2.20225220042e-4"},
        {512, "0.999999987829", "0.984195", "-1.10149189529e-4", "1.10124800491e-4"},
        {1024, "0.999999996954", "0.984189", "-5.50715456283e-5", "5.50654483690e-5"},
        {2048, "0.999999999238", "0.984186", "-2.75350105933e-5", "2.75334862786e-5"},
        {4096, "0.999999999810", "0.984185", "-1.37673147493e-5", "1.37669336707e-5"},
        {16384, "0.999999999988", "0.984183", "-3.44179296053e-6", "3.44176914331e-6"},
    };
    double centre = 0.0;
    for (const auto& row : rows) {
        SCOPED_TRACE("N = " + std::to_string(row.n));
        const std::vector<double> kernel = Build(row.n);
        double sum = 0.0, alternating = 0.0;
        for (std::int64_t i = 0; i <= 2 * row.n; ++i) {
            sum += kernel[i];
            alternating += (i - row.n) % 2 == 0 ? kernel[i] : -kernel[i];
        }
        EXPECT_TRUE(MatchesFigure(sum, row.sum));
        EXPECT_TRUE(MatchesFigure(alternating, row.alternating));
        EXPECT_TRUE(MatchesFigure(kernel[0], row.first));
        EXPECT_TRUE(MatchesFigure(kernel[2 * row.n], row.last));
        EXPECT_EQ(kernel[2 * row.n + 1], kUntouched);
        // The centre does not depend on N, to the bit.
        if (centre == 0.0) centre = kernel[row.n];
        EXPECT_EQ(kernel[row.n], centre);
    }
}

}  // namespace
}  // namespace quenda
