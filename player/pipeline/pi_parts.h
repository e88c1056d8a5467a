// π to 31 decimals carried as five doubles: the decimal digits cut into groups
// of 9, 6, 6, 6 and 4 after the point. Each use multiplies the parts one by one
// and sums the products in its own fixed order; the FIR kernel takes the first
// four, the biquad all five.
#pragma once

namespace quenda {

inline constexpr double PiParts[5] = {3.141592653, 5.89793e-10, 2.38462e-16, 6.43383e-22, 2.795e-28};

}  // namespace quenda
