#pragma once

#include <cstdint>

#include "core/structure_batch.hpp"
#include "descriptors/mbtr/mbtr_options.hpp"

namespace tandril {

// Block of the unordered pair p <= q among `count` kinds, in the order
// (0,0), (0,1), ..., (0,count-1), (1,1), ...
[[nodiscard]] inline std::int64_t pair_block(std::int64_t p, std::int64_t q, std::int64_t count) noexcept {
    return p * count - p * (p + 1) / 2 + q;
}

// Body order of a geometry code: 1, 2 or 3, and 0 for a code outside 0..4.
[[nodiscard]] int mbtr_body_order(std::int32_t geometry) noexcept;

// Number of grid blocks of one row for `species_count` species; 0 for a
// geometry code outside 0..4. Local k2 and k3 rows add the centre atom as
// an extra pseudo-species.
[[nodiscard]] std::int64_t mbtr_block_count(std::int32_t geometry, bool local, std::int64_t species_count);

struct MbtrShape {
    std::int64_t rows = 0;
    std::int64_t width = 0;
};

// Result shape, computed before anything is validated: one row per atom
// (local) or per structure; width = blocks x grid_n, 0 for grid_n < 1.
// std::bad_alloc when the result could not be held.
[[nodiscard]] MbtrShape mbtr_result_shape(const StructureBatch& batch, const MbtrOptions& options);

}  // namespace tandril
