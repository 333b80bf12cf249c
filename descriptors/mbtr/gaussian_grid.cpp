#include "descriptors/mbtr/gaussian_grid.hpp"

#include <algorithm>
#include <cmath>

namespace tandril {
namespace {

constexpr double sqrt_two = 1.4142135623730951;
constexpr double sqrt_two_pi = 2.5066282746310002;

// erf(z) is exactly +1 (or -1) in double precision for |z| >= 6; points whose
// whole bin lies beyond this many units of sigma sqrt(2) from x get exactly
// erf - erf = 0 and are not evaluated. The extra half unit absorbs rounding
// in locating them.
constexpr double erf_saturation = 6.5;

double spacing(const MbtrOptions& o) noexcept { return (o.grid_max - o.grid_min) / (o.grid_n - 1); }

}  // namespace

bool is_valid_mbtr_grid(const MbtrOptions& o) noexcept {
    if (o.grid_n < 2 || !std::isfinite(o.grid_min) || !std::isfinite(o.grid_max) || !(o.grid_min < o.grid_max) ||
        !std::isfinite(o.grid_sigma) || !(o.grid_sigma > 0.0))
        return false;
    const double dx = spacing(o);
    return std::isfinite(dx) && dx > 0.0;
}

GaussianGrid::GaussianGrid(const MbtrOptions& o)
    : n_(o.grid_n),
      dx_(spacing(o)),
      scaled_sigma_(o.grid_sigma * sqrt_two),
      height_factor_(o.grid_sigma * sqrt_two_pi),
      unit_area_(o.normalize_gaussians),
      first_lower_(dx_ * -0.5 + o.grid_min),
      lowest_x_(o.grid_min - 8.0 * o.grid_sigma),
      highest_x_(o.grid_max + 8.0 * o.grid_sigma),
      lower_(static_cast<std::size_t>(n_)),
      upper_(static_cast<std::size_t>(n_)),
      shares_edge_(static_cast<std::size_t>(n_), 0) {
    for (std::int32_t u = 0; u < n_; ++u) {
        lower_[u] = u * dx_ + first_lower_;
        upper_[u] = lower_[u] + dx_;
    }
    for (std::int32_t u = 0; u + 1 < n_; ++u) shares_edge_[u] = upper_[u] == lower_[u + 1];
}

void GaussianGrid::add(double x, double w, double* block) const {
    if (w == 0.0 || !(x >= lowest_x_ && x <= highest_x_)) return;

    // Points [first, last] can have a non-zero value; one point of margin on
    // each side on top of the half unit of the threshold.
    const double reach = erf_saturation * scaled_sigma_;
    const double first = std::max(0.0, std::ceil((x - reach - first_lower_ - dx_) / dx_) - 1.0);
    const double last = std::min(static_cast<double>(n_ - 1), std::floor((x + reach - first_lower_) / dx_) + 1.0);
    if (!(first <= last)) return;
    const auto u_first = static_cast<std::int32_t>(first);
    const auto u_last = static_cast<std::int32_t>(last);

    double erf_lower = std::erf((lower_[u_first] - x) / scaled_sigma_);
    for (std::int32_t u = u_first; u <= u_last; ++u) {
        const double erf_upper = std::erf((upper_[u] - x) / scaled_sigma_);
        const double delta = (erf_upper - erf_lower) * 0.5 / dx_;
        if (unit_area_)
            block[u] += delta * w;
        else
            block[u] += height_factor_ * delta * w;
        // The next bin's lower edge is this bin's upper edge whenever the two
        // coincide exactly, and then so does its erf.
        if (u < u_last)
            erf_lower = shares_edge_[u] ? erf_upper : std::erf((lower_[u + 1] - x) / scaled_sigma_);
    }
}

}  // namespace tandril
