#pragma once

#include <cmath>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace tandril {

// hypot written out so that it inlines, for one argument pair or for two
// side by side. On x86-64 glibc (2.35 on) computes hypot of ordinary
// arguments as a square root followed by one correction step chosen by
// comparing the root with twice the smaller argument; this is the same
// sequence of operations, so the same bits, but both corrections are computed
// and the right one is selected with a mask: the choice is data dependent and
// a mispredicted jump costs more than the few extra products. Arguments
// outside the ordinary range (huge, tiny, very different in size, not finite)
// go to the library. Use it only where `platform_math().inline_hypot` says
// that it agrees with the library.

#if defined(__x86_64__)
namespace hypot_lanes {

struct Ordered {
    __m128d larger, smaller;
};

// NaN in either argument reaches a lane of the result, which the range test
// then refuses.
[[nodiscard]] inline Ordered order(__m128d x, __m128d y) noexcept {
    const __m128d sign = _mm_set1_pd(-0.0);
    const __m128d fx = _mm_andnot_pd(sign, x), fy = _mm_andnot_pd(sign, y);
    return {_mm_max_pd(fy, fx), _mm_min_pd(fx, fy)};
}

// All-ones in the lanes that the written-out formula covers.
[[nodiscard]] inline __m128d ordinary(Ordered a) noexcept {
    const __m128d not_huge = _mm_cmple_pd(a.larger, _mm_set1_pd(0x1p511));
    const __m128d not_tiny = _mm_cmpge_pd(a.smaller, _mm_set1_pd(0x1p-459));
    const __m128d comparable = _mm_cmplt_pd(_mm_mul_pd(a.larger, _mm_set1_pd(0x1p-54)), a.smaller);
    return _mm_and_pd(_mm_and_pd(not_huge, not_tiny), comparable);
}

[[nodiscard]] inline __m128d corrected_root(Ordered a) noexcept {
    const __m128d ax = a.larger, ay = a.smaller;
    const __m128d h = _mm_sqrt_pd(_mm_add_pd(_mm_mul_pd(ax, ax), _mm_mul_pd(ay, ay)));
    // h <= 2 ay: delta = h - ay, t = ax (2 delta - ax) + (delta - 2 (ax - ay)) delta
    const __m128d near_delta = _mm_sub_pd(h, ay);
    const __m128d gap = _mm_sub_pd(ax, ay);
    const __m128d near_correction =
        _mm_add_pd(_mm_mul_pd(ax, _mm_sub_pd(_mm_add_pd(near_delta, near_delta), ax)),
                   _mm_mul_pd(_mm_sub_pd(near_delta, _mm_add_pd(gap, gap)), near_delta));
    // otherwise: delta = h - ax, t = 2 delta (ax - 2 ay) + ((4 delta - ay) ay + delta^2)
    const __m128d far_delta = _mm_sub_pd(h, ax);
    const __m128d far_correction = _mm_add_pd(
        _mm_mul_pd(_mm_add_pd(far_delta, far_delta), _mm_sub_pd(ax, _mm_add_pd(ay, ay))),
        _mm_add_pd(_mm_mul_pd(_mm_sub_pd(_mm_mul_pd(_mm_set1_pd(4.0), far_delta), ay), ay),
                   _mm_mul_pd(far_delta, far_delta)));
    const __m128d near = _mm_cmple_pd(h, _mm_add_pd(ay, ay));
    const __m128d correction =
        _mm_or_pd(_mm_and_pd(near, near_correction), _mm_andnot_pd(near, far_correction));
    return _mm_sub_pd(h, _mm_div_pd(correction, _mm_add_pd(h, h)));
}

}  // namespace hypot_lanes

// hypot of each lane; false (result unset) when a lane needs the library.
[[nodiscard]] inline bool inline_hypot_lanes(__m128d x, __m128d y, __m128d& result) noexcept {
    const hypot_lanes::Ordered a = hypot_lanes::order(x, y);
    if (_mm_movemask_pd(hypot_lanes::ordinary(a)) != 3) return false;
    result = hypot_lanes::corrected_root(a);
    return true;
}
#endif

[[nodiscard]] inline double inline_hypot(double x, double y) noexcept {
#if defined(__x86_64__)
    __m128d result;
    if (!inline_hypot_lanes(_mm_set1_pd(x), _mm_set1_pd(y), result)) return std::hypot(x, y);
    return _mm_cvtsd_f64(result);
#else
    return std::hypot(x, y);
#endif
}

}  // namespace tandril
