#pragma once

#include "core/compute_control.hpp"
#include "core/structure_batch.hpp"
#include "descriptors/mbtr/mbtr_layout.hpp"
#include "descriptors/mbtr/mbtr_options.hpp"

namespace tandril {

// MBTR rows of every structure (or atom) of the batch into `out`, of the
// shape mbtr_result_shape gave.
void compute_mbtr(const StructureBatch& batch, const MbtrOptions& options, ComputeControl& control, double* out);

// Neighbour cutoff of k2 and k3: r_cut when positive (for unity weighting
// grid_max otherwise), raised for exponential weighting to where the weight
// drops below its threshold; grid_max when nothing positive results.
[[nodiscard]] double mbtr_neighbor_cutoff(const MbtrOptions& options);

}  // namespace tandril
