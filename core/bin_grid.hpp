#pragma once

#include <cmath>
#include <cstdint>

namespace tandril {

// Axis-aligned grid of bins at least one cutoff wide over a bounding box, so
// that every point within the cutoff of a point lies in the 3x3x3 bins around it.
struct BinGrid {
    double lower[3] = {0.0, 0.0, 0.0};
    double width[3] = {1.0, 1.0, 1.0};
    std::int32_t count[3] = {1, 1, 1};

    [[nodiscard]] std::int64_t total() const noexcept {
        return std::int64_t{count[0]} * count[1] * count[2];
    }

    // Truncated bin index along one axis, capped to the grid; points below the
    // grid (and NaN) fall into bin 0.
    [[nodiscard]] std::int32_t axis_bin(double coordinate, int axis) const noexcept {
        const double q = (coordinate - lower[axis]) / width[axis];
        if (!(q >= 0.0)) return 0;
        if (q >= static_cast<double>(count[axis])) return count[axis] - 1;
        const auto index = static_cast<std::int32_t>(q);
        return index < count[axis] ? index : count[axis] - 1;
    }

    // A lower bound on the distance along `axis` from `coordinate`, whose own
    // bin is `from`, to any point assigned to bin `to` (from - 1, from or
    // from + 1). It stays below the true gap by far more than the rounding of
    // the bin assignment, so a bin it rules out holds no point within it.
    [[nodiscard]] double gap_to_bin(double coordinate, int axis, std::int32_t from, std::int32_t to) const noexcept {
        if (to == from) return 0.0;
        const double boundary = lower[axis] + static_cast<double>(to < from ? from : to) * width[axis];
        const double gap = to < from ? coordinate - boundary : boundary - coordinate;
        const double slack = 1e-9 * (std::fabs(lower[axis]) + static_cast<double>(count[axis]) * width[axis]);
        return gap > slack ? gap - slack : 0.0;
    }

    [[nodiscard]] std::int32_t flat(std::int32_t x, std::int32_t y, std::int32_t z) const noexcept {
        return x + count[0] * (y + count[1] * z);
    }
};

// Grid over the box [minimum, maximum] (padded by 1e-10 on both sides): per
// axis max(1, trunc(extent / cutoff)) bins of width max(extent / bins, cutoff).
// A grid of more than max(2^26, 64 * points) bins (a cutoff tiny against the
// box) is made proportionally coarser: still complete, only bins get wider.
[[nodiscard]] BinGrid make_bin_grid(const double minimum[3], const double maximum[3], double cutoff,
                                    std::int64_t points);

}  // namespace tandril
