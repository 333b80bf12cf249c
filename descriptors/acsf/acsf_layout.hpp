#pragma once

#include <cstdint>

#include "descriptors/acsf/acsf_options.hpp"

namespace tandril {

// Where the values of one atom's row live. Radial block: per neighbour
// species s, at s * radial_stride, G1 then the G2 then the G3 values.
// Angular block: per unordered species pair (s <= t) with index
// p = s + t (t + 1) / 2, at angular_offset + p * angular_stride, the G4 then
// the G5 values.
struct AcsfLayout {
    std::int64_t species = 0;
    std::int64_t n_g2 = 0;
    std::int64_t n_g3 = 0;
    std::int64_t n_g4 = 0;
    std::int64_t n_g5 = 0;
    std::int64_t radial_stride = 1;   // 1 + n_g2 + n_g3
    std::int64_t angular_stride = 0;  // n_g4 + n_g5
    std::int64_t angular_offset = 0;  // species * radial_stride

    [[nodiscard]] static constexpr std::int64_t pair_index(std::int64_t s, std::int64_t t) noexcept {
        return s <= t ? s + t * (t + 1) / 2 : t + s * (s + 1) / 2;
    }
    [[nodiscard]] std::int64_t feature_count() const noexcept {
        return species * radial_stride + species * (species + 1) * angular_stride / 2;
    }
};

[[nodiscard]] inline AcsfLayout acsf_layout(const AcsfOptions& options) noexcept {
    AcsfLayout layout;
    layout.species = static_cast<std::int64_t>(options.species.size());
    layout.n_g2 = options.n_g2;
    layout.n_g3 = options.n_g3;
    layout.n_g4 = options.n_g4;
    layout.n_g5 = options.n_g5;
    layout.radial_stride = 1 + options.n_g2 + options.n_g3;
    layout.angular_stride = options.n_g4 + options.n_g5;
    layout.angular_offset = layout.species * layout.radial_stride;
    return layout;
}

}  // namespace tandril
