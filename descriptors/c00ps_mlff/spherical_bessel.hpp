#pragma once

#include <cstdint>
#include <vector>

namespace tandril {

// Spherical Bessel function of the first kind j_l(x), l >= 0.
//  - |x| < 1e-4: the two leading terms of the power series;
//  - otherwise j_0 = sin x / x, j_1 = sin x / x^2 - cos x / x and the upward
//    recurrence j_(k+1) = (2k+1) j_k / x - j_(k-1);
//  - except where that recurrence is unreliable: it amplifies rounding like
//    y_l / j_l ~ (2l+1)!! (2l-1)!! / x^(2l+1), so below the x where this would
//    cost more than about six of the sixteen digits the full power series is
//    summed instead (small x at high l: the quadrature nodes near r = 0 and
//    the first scan points of the zero search).
[[nodiscard]] double spherical_bessel_j(std::int32_t l, double x);

// j_l at `count` arguments into `out`, each value identical to
// spherical_bessel_j(l, x[i]); the recurrences of different arguments are
// interleaved, which hides the latency of their divisions.
void spherical_bessel_j(std::int32_t l, const double* x, double* out, std::int32_t count);

// Below this argument j_l is summed as a power series rather than by the
// upward recurrence (0 for l = 0, whose closed form needs no recurrence).
[[nodiscard]] double spherical_bessel_series_limit(std::int32_t l);

// Positive zeros of j_l in ascending order, at most `count` of them, found by
// scanning d = 1e-4 + k pi/8 while d < `scan_end` for a sign change against
// the previous point (starting from j_l(1e-4)) and bisecting the step
// [d - pi/8, d] 64 times. Fewer than `count` zeros are returned when the scan
// ends first.
[[nodiscard]] std::vector<double> spherical_bessel_zeros(std::int32_t l, std::int32_t count, double scan_end);

}  // namespace tandril
