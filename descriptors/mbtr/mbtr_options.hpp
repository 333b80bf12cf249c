#pragma once

#include <cstdint>
#include <vector>

namespace tandril {

// Geometry codes: which quantity one call distributes.
enum class MbtrGeometry : std::int32_t { atomic_number = 0, distance = 1, inverse_distance = 2, angle = 3, cosine = 4 };

// Weighting codes; every other value weighs each contribution 1.
enum class MbtrWeighting : std::int32_t { unity = 0, exponential = 1, inverse_square = 2, smooth_cutoff = 3 };

// Normalisation codes; every other value leaves the rows as they are.
enum class MbtrNormalization : std::int32_t { none = 0, l2 = 1, atom_count = 2, valle_oganov = 3 };

struct MbtrOptions {
    std::vector<std::int32_t> species;
    std::int32_t geometry = 1;
    std::int32_t weighting = 1;
    std::int32_t normalization = 0;
    double grid_min = 0.0;
    double grid_max = 6.0;
    double grid_sigma = 0.1;
    std::int32_t grid_n = 50;
    bool normalize_gaussians = true;
    double scale = 0.5;
    double threshold = 0.001;
    double r_cut = 6.0;
    double sharpness = 2.0;
    bool local = false;
};

}  // namespace tandril
