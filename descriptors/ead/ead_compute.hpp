#pragma once

#include "core/compute_control.hpp"
#include "core/structure_batch.hpp"
#include "descriptors/ead/ead_parameters.hpp"

namespace tandril {

// Embedded-atom densities of every atom of the batch into the
// (atoms, ead_feature_count) rows at `out`.
void compute_ead(const StructureBatch& batch, const EadParameters& parameters, ComputeControl& control, double* out);

}  // namespace tandril
