#include "descriptors/mbtr/gaussian_grid.hpp"

#include <algorithm>
#include <cmath>

#include "core/memory_guard.hpp"

namespace tandril {
namespace {

constexpr double sqrt_two = 1.4142135623730951;
constexpr double sqrt_two_pi = 2.5066282746310002;

// erf(z) is exactly +1 (or -1) in double precision for |z| >= 6: a point
// whose bin edges both lie at least this many units of sigma sqrt(2) on one
// side of x gets erf - erf = 0 exactly and is not evaluated.
constexpr double erf_saturation = 6.0;

// Point count for the edge tables; a grid larger than memory is refused
// before anything is allocated (the result may have no rows to size it).
std::size_t grid_points(std::int32_t n) {
    ensure_allocatable(static_cast<std::uint64_t>(n), 2 * sizeof(double) + 1);
    return static_cast<std::size_t>(n);
}

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
      lower_(grid_points(n_)),
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

    // Points [first, last] can have a non-zero value. Estimate them, then
    // settle both ends with the very arguments the evaluation uses.
    const double reach = erf_saturation * scaled_sigma_;
    const double top = static_cast<double>(n_ - 1);
    const double first = std::clamp(std::floor((x - reach - first_lower_ - dx_) / dx_), 0.0, top);
    const double last = std::clamp(std::ceil((x + reach - first_lower_) / dx_), 0.0, top);
    auto u_first = static_cast<std::int32_t>(first);
    auto u_last = static_cast<std::int32_t>(last);
    // Both tests are monotonic in u (the edges grow with u), so each end
    // is found by stepping from its estimate.
    const auto below = [&](std::int32_t u) { return (upper_[u] - x) / scaled_sigma_ <= -erf_saturation; };
    const auto above = [&](std::int32_t u) { return (lower_[u] - x) / scaled_sigma_ >= erf_saturation; };
    while (u_first > 0 && !below(u_first - 1)) --u_first;
    while (u_first < n_ && below(u_first)) ++u_first;
    while (u_last < n_ - 1 && !above(u_last + 1)) ++u_last;
    while (u_last >= 0 && above(u_last)) --u_last;
    if (u_first > u_last) return;

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
