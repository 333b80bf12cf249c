#pragma once

#include <cstdint>
#include <vector>

#include "descriptors/mbtr/mbtr_options.hpp"

namespace tandril {

// The grid of one call: point u owns the bin [lower_u, lower_u + dx]. A
// contribution adds, to every point of a block, its Gaussian integrated over
// the point's bin divided by dx (unit area), or scaled to unit height.
class GaussianGrid {
public:
    // The options' grid must be valid (see is_valid_mbtr_grid).
    explicit GaussianGrid(const MbtrOptions& options);

    [[nodiscard]] std::int32_t size() const noexcept { return n_; }

    // Adds the Gaussian of value x and weight w to the n_ values of `block`.
    // Contributions with w = 0 or x further than 8 sigma outside the grid
    // add nothing.
    void add(double x, double w, double* block) const;

private:
    std::int32_t n_ = 0;
    double dx_ = 0.0;
    double scaled_sigma_ = 0.0;  // sigma sqrt(2), the unit of the erf arguments
    double height_factor_ = 0.0; // sigma sqrt(2 pi): unit-height Gaussians
    bool unit_area_ = true;
    double first_lower_ = 0.0;   // lower edge of point 0
    double lowest_x_ = 0.0, highest_x_ = 0.0;
    std::vector<double> lower_, upper_;
    std::vector<unsigned char> shares_edge_;  // upper_[u] == lower_[u + 1] exactly
};

// grid_n >= 2, finite grid_min < grid_max, finite grid_sigma > 0, and a
// spacing that is finite and positive.
[[nodiscard]] bool is_valid_mbtr_grid(const MbtrOptions& options) noexcept;

}  // namespace tandril
