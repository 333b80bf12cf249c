#pragma once

#include <cstdint>
#include <string_view>

namespace tandril {

// How a structure matrix becomes one result row. Names are case-sensitive;
// anything else is kept as `unknown` so that each entry point can refuse it
// at its own moment.
enum class MatrixPermutation { none, sorted_l2, eigenspectrum, unknown };

[[nodiscard]] MatrixPermutation parse_matrix_permutation(std::string_view name) noexcept;

// Values per row: n_atoms_max for the spectrum, n_atoms_max^2 (the padded
// matrix) otherwise. The caller has made sure n_atoms_max >= 0; an overflow
// of the square is an impossible allocation (std::bad_alloc).
[[nodiscard]] std::int64_t matrix_row_width(std::int64_t n_atoms_max, MatrixPermutation permutation);

}  // namespace tandril
