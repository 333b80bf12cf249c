#include "descriptors/mbtr/mbtr_weighting.hpp"

#include <algorithm>
#include <cmath>

namespace tandril {

double MbtrWeight::exponential(double length) const noexcept {
    const double w = std::exp(-scale_ * length);
    return w < threshold_ ? 0.0 : w;
}

// 1 + s t^(s+1) - (s+1) t^s with t = r / r_cut clamped to [0, 1]; 0 beyond
// the cutoff.
double MbtrWeight::smooth_cutoff(double r) const noexcept {
    if (!(r <= r_cut_ && r_cut_ >= 0.0)) return 0.0;
    const double t = std::clamp(r / r_cut_, 0.0, 1.0);
    const double s = sharpness_;
    return 1.0 + s * std::pow(t, s + 1.0) - (s + 1.0) * std::pow(t, s);
}

double MbtrWeight::pair(double r) const noexcept {
    switch (code_) {
        case MbtrWeighting::exponential: return exponential(r);
        case MbtrWeighting::inverse_square: return r <= r_cut_ ? 1.0 / std::max(1e-30, r * r) : 0.0;
        case MbtrWeighting::smooth_cutoff: return smooth_cutoff(r);
        default: return 1.0;
    }
}

double MbtrWeight::triplet(double r_a, double r_b, double r_ab) const noexcept {
    switch (code_) {
        case MbtrWeighting::exponential: return exponential(r_a + r_b + r_ab);
        case MbtrWeighting::inverse_square: {
            // The nearer end: which of the two arms comes first in the
            // neighbour list depends on the binning (and so on how the
            // structure is oriented), so it cannot decide the weight.
            const double r = std::min(r_a, r_b);
            return r <= r_cut_ ? 1.0 / std::max(1e-30, r * r) : 0.0;
        }
        case MbtrWeighting::smooth_cutoff:
            if (!(r_a <= r_cut_ && r_b <= r_cut_)) return 0.0;
            return smooth_cutoff(r_a) * smooth_cutoff(r_b);
        default: return 1.0;
    }
}

}  // namespace tandril
