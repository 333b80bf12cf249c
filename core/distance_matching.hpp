#pragma once

#include <cstdint>

namespace tandril {

// Appends to out[found...] the indices r in [begin, end) whose point
// (x[r], y[r], z[r]) lies within sqrt(cutoff_squared) of the centre, in
// ascending order, and returns the new count. The squared distance is
// (dx*dx + dy*dy) + dz*dz with d = point - centre, compared with <=, exactly
// as a scalar loop would; vector paths only change how many are done at once.
// `out` must have room for found + (end - begin) + 4 entries.
std::size_t match_within_cutoff(const double* x, const double* y, const double* z, std::int32_t begin,
                                std::int32_t end, const double centre[3], double cutoff_squared, std::int32_t* out,
                                std::size_t found);

}  // namespace tandril
