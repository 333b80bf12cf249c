#pragma once

#include <cstdint>
#include <string_view>

#include "core/compute_control.hpp"
#include "core/structure_batch.hpp"
#include "descriptors/matrices/ewald_matrix.hpp"

namespace tandril {

// Kinds of compute_matrix.
enum class MatrixKind : std::int32_t { sine = 0, ewald = 1, coulomb = 2 };

// Result width of compute_coulomb_matrix. Throws "n_atoms_max must be a
// positive value" when n_atoms_max < 1 or its square overflows.
[[nodiscard]] std::int64_t coulomb_matrix_width(std::int64_t n_atoms_max, std::string_view permutation);

// Result width of compute_matrix, computed before any parameter is checked:
// an n_atoms_max below 1 gives width 0, so that the call goes on to its
// parameter check; a square that overflows is an impossible allocation.
[[nodiscard]] std::int64_t matrix_width(std::int64_t n_atoms_max, std::string_view permutation);

// std::bad_alloc unless rows x width float64 values can be held.
void check_result_size(std::int64_t rows, std::int64_t width);

// Coulomb matrices of every structure into `out` (n_structures x width).
void compute_coulomb_matrix(const StructureBatch& batch, std::int64_t n_atoms_max, std::string_view permutation,
                            double exponent, ComputeControl& control, double* out);

struct MatrixRequest {
    std::int64_t n_atoms_max = 0;
    std::string_view permutation;
    double exponent = 2.4;
    std::int32_t kind = 0;
    EwaldParameters ewald;
};

// Sine, Ewald or Coulomb matrices of every structure into `out`.
void compute_matrix(const StructureBatch& batch, const MatrixRequest& request, ComputeControl& control, double* out);

}  // namespace tandril
