#include "core/bin_grid.hpp"

#include <algorithm>
#include <cmath>

namespace tandril {

BinGrid make_bin_grid(const double minimum[3], const double maximum[3], double cutoff, std::int64_t points) {
    const double limit = std::clamp(64.0 * static_cast<double>(points), double{1 << 26}, double{1 << 30});
    double extent[3], bins[3];
    for (int axis = 0; axis < 3; ++axis) {
        extent[axis] = (maximum[axis] + 1e-10) - (minimum[axis] - 1e-10);
        bins[axis] = std::clamp(std::trunc(extent[axis] / cutoff), 1.0, limit);
    }
    // Coarsen the axes that can still be coarsened until the grid fits.
    for (double total = bins[0] * bins[1] * bins[2]; total > limit; total = bins[0] * bins[1] * bins[2]) {
        const int free_axes = (bins[0] > 1.0) + (bins[1] > 1.0) + (bins[2] > 1.0);
        const double scale = std::pow(limit / total, 1.0 / free_axes);
        for (double& b : bins) b = std::max(1.0, std::floor(b * scale));
    }
    BinGrid grid;
    for (int axis = 0; axis < 3; ++axis) {
        grid.lower[axis] = minimum[axis] - 1e-10;
        grid.count[axis] = static_cast<std::int32_t>(bins[axis]);
        const double width = extent[axis] / grid.count[axis];
        grid.width[axis] = width > cutoff ? width : cutoff;
    }
    return grid;
}

}  // namespace tandril
