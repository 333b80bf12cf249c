#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/calculator_frame.hpp"
#include "core/compute_control.hpp"
#include "core/structure_batch.hpp"
#include "descriptors/acsf/acsf_options.hpp"

namespace tandril {

// Atom-centred symmetry functions G1 to G5. Construction only copies the
// options; every check happens at the start of compute().
class AcsfCalculator : public CalculatorFrame<AcsfOptions> {
public:
    explicit AcsfCalculator(const AcsfOptions& options);

    [[nodiscard]] std::int64_t feature_count() const noexcept;
    [[nodiscard]] std::vector<std::int32_t> species() const { return options().species; }

    // (atoms, feature_count); no columns while the parameters are
    // inconsistent, so that compute() reports them instead of the allocation.
    [[nodiscard]] std::array<std::int64_t, 2> result_shape(const StructureBatch& batch) const noexcept;

    // Fills the (atoms, feature_count) rows at `out`.
    void compute(const StructureBatch& batch, ComputeControl& control, double* out);
};

}  // namespace tandril
