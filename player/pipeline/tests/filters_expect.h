// Comparing a computed value with a decimal figure given to a number of digits.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace quenda::testing {

// One unit in the last digit written in `figure` ("−2.20322776199e-4",
// "0.984208"): the figure holds the value to within half of it; allowing one
// unit accepts another faithfully rounded sine in the last digit.
inline double LastDigitUnit(const std::string& figure)
{
    const std::size_t e = figure.find_first_of("eE");
    const std::string mantissa = figure.substr(0, e);
    const int exponent = e == std::string::npos ? 0 : std::stoi(figure.substr(e + 1));
    const std::size_t point = mantissa.find('.');
    const int decimals = point == std::string::npos ? 0 : static_cast<int>(mantissa.size() - point - 1);
    return std::pow(10.0, exponent - decimals);
}

inline ::testing::AssertionResult MatchesFigure(double value, const std::string& figure)
{
    const double expected = std::strtod(figure.c_str(), nullptr);
    const double unit = LastDigitUnit(figure);
    if (std::fabs(value - expected) <= unit) return ::testing::AssertionSuccess();
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return ::testing::AssertionFailure() << "value " << text << " is not " << figure << " to within " << unit;
}

}  // namespace quenda::testing
