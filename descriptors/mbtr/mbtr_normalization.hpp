#pragma once

#include <cstdint>
#include <vector>

#include "descriptors/mbtr/mbtr_options.hpp"

namespace tandril {

// Divides a row by its Euclidean norm (normalization 1) or by the structure's
// atom count (2), when that is positive; other codes leave it alone.
void normalize_mbtr_row(double* row, std::int64_t width, std::int32_t normalization, std::int64_t atom_count);

// Valle-Oganov scaling of a global k2 (body_order 2) or k3 (3) row, with the
// cell volume and the structure's atom count per species.
void valle_oganov_scale(double* row, std::int32_t grid_n, int body_order, double volume,
                        const std::vector<std::int64_t>& species_counts);

}  // namespace tandril
