#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/calculator_frame.hpp"
#include "core/compute_control.hpp"
#include "core/neighbors.hpp"
#include "core/structure_batch.hpp"
#include "descriptors/nep/nep_model.hpp"
#include "descriptors/nep/nep_options.hpp"

namespace tandril {

// NEP descriptors of every atom of a batch, from a NEP model file read once
// at construction. The model is shared and immutable; its properties still
// answer after close().
class NepCalculator : public CalculatorFrame<NepOptions> {
public:
    explicit NepCalculator(const NepOptions& options);

    [[nodiscard]] const NepModel& model() const noexcept { return *model_; }
    [[nodiscard]] std::int32_t feature_count() const noexcept { return model_->feature_count; }
    [[nodiscard]] const std::vector<std::int32_t>& species() const noexcept { return model_->species; }
    [[nodiscard]] const std::string& model_path() const noexcept { return model_->model_path; }
    [[nodiscard]] double radial_cutoff() const noexcept { return model_->radial_cutoff; }
    [[nodiscard]] double angular_cutoff() const noexcept { return model_->angular_cutoff; }
    [[nodiscard]] std::int32_t n_max_radial() const noexcept { return model_->n_max_radial; }
    [[nodiscard]] std::int32_t n_max_angular() const noexcept { return model_->n_max_angular; }
    [[nodiscard]] std::int32_t l_max() const noexcept { return model_->l_max; }

    [[nodiscard]] std::array<std::int64_t, 2> result_shape(const StructureBatch& batch) const noexcept {
        return {batch.n_atoms, model_->feature_count};
    }

    // Fills `out` (n_atoms x feature_count, row-major). The control is only
    // read for its cancellation flag: it is neither started nor advanced.
    void compute(const StructureBatch& batch, ComputeControl& control, double* out);

private:
    std::shared_ptr<const NepModel> model_;
    // Neighbour search and list kept from one compute to the next (computes
    // are serialised by the frame's mutex): a list of a few megabytes that is
    // allocated afresh for every call costs a page fault per 4 KiB written.
    // Lists above a size limit are released after the call instead.
    NeighborSearch search_;
    NeighborGraph graph_;
};

}  // namespace tandril
