#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/calculator_frame.hpp"
#include "core/compute_control.hpp"
#include "core/structure_batch.hpp"
#include "descriptors/c00ps_mlff/c00ps_mlff_basis.hpp"
#include "descriptors/c00ps_mlff/c00ps_mlff_layout.hpp"
#include "descriptors/c00ps_mlff/c00ps_mlff_options.hpp"

namespace tandril {

// Spherical-Bessel radial densities and Legendre pair power spectra. Unlike
// the other calculators it checks its options and builds its radial basis
// when it is built, so a calculator that exists is always usable.
class C00PSMlffCalculator : public CalculatorFrame<C00PSMlffOptions> {
public:
    explicit C00PSMlffCalculator(const C00PSMlffOptions& options);

    [[nodiscard]] std::int64_t feature_count() const noexcept { return layout_.feature_count; }
    [[nodiscard]] std::vector<std::int32_t> species() const { return options().species; }
    [[nodiscard]] const std::vector<std::int32_t>& radial_counts() const noexcept { return basis_.radial_counts; }
    [[nodiscard]] const C00PSMlffBasis& basis() const noexcept { return basis_; }

    [[nodiscard]] std::array<std::int64_t, 2> result_shape(const StructureBatch& batch) const noexcept {
        return {batch.n_atoms, layout_.feature_count};
    }

    // Fills the (atoms, feature_count) rows at `out`.
    void compute(const StructureBatch& batch, ComputeControl& control, double* out);

private:
    C00PSMlffBasis basis_;
    C00PSMlffLayout layout_;
};

}  // namespace tandril
