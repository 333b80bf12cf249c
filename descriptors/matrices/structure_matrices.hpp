#pragma once

#include <cstdint>
#include <vector>

#include "core/structure_batch.hpp"

namespace tandril {

// Coulomb matrix of structure s: 0.5 Z_i^exponent on the diagonal and
// Z_i Z_j / |r_i - r_j| off it (plain distances, no periodic images).
// `matrix` is resized to n x n, row-major.
void coulomb_matrix(const StructureBatch& batch, std::int64_t s, double exponent, std::vector<double>& matrix);

// Sine matrix of structure s: off-diagonal Z_i Z_j / |sum_k sin^2(pi f_k) a_k|
// with f the fractional difference of the two atoms (0 when that vector
// vanishes), diagonal as in the Coulomb matrix. `scratch` is reused storage.
void sine_matrix(const StructureBatch& batch, std::int64_t s, double exponent, std::vector<double>& matrix,
                 std::vector<double>& scratch);

}  // namespace tandril
