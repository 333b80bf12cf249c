#include "descriptors/c00ps_mlff/c00ps_mlff_layout.hpp"

#include <utility>

#include "core/memory_guard.hpp"

namespace tandril {

C00PSMlffLayout make_c00ps_mlff_layout(std::int64_t species, std::vector<std::int32_t> radial_counts,
                                       bool include_radial, bool include_angular) {
    C00PSMlffLayout layout;
    layout.species = species;
    layout.radial_counts = std::move(radial_counts);
    layout.include_radial = include_radial;
    layout.include_angular = include_angular;
    layout.radial_size = include_radial ? checked_product(species, layout.radial_counts[0]) : 0;
    std::int64_t position = layout.radial_size;
    for (const std::int32_t count : layout.radial_counts) {
        const std::int64_t m = checked_product(species, count);
        layout.angular_dimension.push_back(m);
        layout.angular_offsets.push_back(position);
        if (include_angular) position += checked_product(m, m + 1) / 2;
    }
    layout.feature_count = position;
    return layout;
}

}  // namespace tandril
