#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/calculator_frame.hpp"
#include "core/compute_control.hpp"
#include "core/structure_batch.hpp"
#include "descriptors/soap/soap_options.hpp"

namespace tandril {

// Smooth-overlap power spectra of every atom of a batch, or one averaged row
// per structure. Built from a copy of the options; everything is checked at
// the start of each computation.
class SoapCalculator : public CalculatorFrame<SoapOptions> {
public:
    explicit SoapCalculator(const SoapOptions& options);

    [[nodiscard]] std::int64_t feature_count() const;
    [[nodiscard]] std::vector<std::int32_t> species() const { return options().species; }

    // One row per structure when either averaging argument is true, one per
    // atom otherwise; a negative feature count (refused by compute) gives no
    // columns.
    [[nodiscard]] std::array<std::int64_t, 2> result_shape(const StructureBatch& batch, bool inner_average,
                                                           bool outer_average) const;

    // Fills `out` (shaped by result_shape with the same flags).
    void compute(const StructureBatch& batch, ComputeControl& control, double* out, bool inner_average,
                 bool outer_average);
};

}  // namespace tandril
