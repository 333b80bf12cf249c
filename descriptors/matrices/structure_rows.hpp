#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "core/compute_control.hpp"
#include "core/structure_batch.hpp"
#include "descriptors/matrices/matrix_permutation.hpp"

namespace tandril {

// Checks structure s and builds its n x n matrix into `matrix` (n being the
// structure's atom count); returns n. Throws for a structure it refuses.
using BuildStructureMatrix = std::function<std::int64_t(std::int64_t s, std::vector<double>& matrix)>;

// For each structure of the batch in order: test the control, build the
// matrix, write its row of `out` (row length from n_atoms_max and the
// permutation), advance the control. Spectra are computed for a few small
// structures at a time, so later structures' matrices are built before the
// first row is written; what a later structure reports (cancellation, then
// its own errors) is still reported after the rows before it, as in a
// one-by-one loop.
void write_structure_rows(const StructureBatch& batch, std::int64_t n_atoms_max, MatrixPermutation permutation,
                          ComputeControl& control, double* out, const BuildStructureMatrix& build);

}  // namespace tandril
