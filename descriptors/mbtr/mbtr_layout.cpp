#include "descriptors/mbtr/mbtr_layout.hpp"

#include "core/memory_guard.hpp"

namespace tandril {

int mbtr_body_order(std::int32_t geometry) noexcept {
    switch (static_cast<MbtrGeometry>(geometry)) {
        case MbtrGeometry::atomic_number: return 1;
        case MbtrGeometry::distance:
        case MbtrGeometry::inverse_distance: return 2;
        case MbtrGeometry::angle:
        case MbtrGeometry::cosine: return 3;
    }
    return 0;
}

std::int64_t mbtr_block_count(std::int32_t geometry, bool local, std::int64_t species_count) {
    const std::int64_t s = species_count;
    switch (mbtr_body_order(geometry)) {
        case 1: return s;
        case 2: return local ? s + 1 : checked_product(s, s + 1) / 2;
        case 3: {
            if (!local) return checked_product(s, checked_product(s, s + 1) / 2);
            const std::int64_t v = s + 1;
            return checked_product(v, 3 * v - 1) / 2;
        }
        default: return 0;
    }
}

MbtrShape mbtr_result_shape(const StructureBatch& batch, const MbtrOptions& options) {
    MbtrShape shape;
    shape.rows = options.local ? batch.n_atoms : batch.n_structures;
    const std::int64_t points = options.grid_n < 1 ? 0 : options.grid_n;
    shape.width = checked_product(
        mbtr_block_count(options.geometry, options.local, static_cast<std::int64_t>(options.species.size())), points);
    ensure_allocatable(static_cast<std::uint64_t>(checked_product(shape.rows, shape.width)), sizeof(double));
    return shape;
}

}  // namespace tandril
