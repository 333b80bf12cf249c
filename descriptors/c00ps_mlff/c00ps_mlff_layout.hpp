#pragma once

#include <cstdint>
#include <vector>

namespace tandril {

// Row layout: the radial block (species x radial_counts[0] values, if
// included), then per degree l the upper triangle, row by row, of the
// M_l x M_l angular matrix with M_l = species x radial_counts[l] (if
// included). Index a = s * radial_counts[l] + n combines species and radial
// index.
struct C00PSMlffLayout {
    std::int64_t species = 0;
    std::vector<std::int32_t> radial_counts;
    bool include_radial = true;
    bool include_angular = true;
    std::int64_t radial_size = 0;                 // 0 without the radial block
    std::vector<std::int64_t> angular_offsets;    // per degree, in the row
    std::vector<std::int64_t> angular_dimension;  // M_l
    std::int64_t feature_count = 0;
};

[[nodiscard]] C00PSMlffLayout make_c00ps_mlff_layout(std::int64_t species, std::vector<std::int32_t> radial_counts,
                                                     bool include_radial, bool include_angular);

}  // namespace tandril
