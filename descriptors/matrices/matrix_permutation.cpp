#include "descriptors/matrices/matrix_permutation.hpp"

#include "core/memory_guard.hpp"

namespace tandril {

MatrixPermutation parse_matrix_permutation(std::string_view name) noexcept {
    if (name == "none") return MatrixPermutation::none;
    if (name == "sorted_l2") return MatrixPermutation::sorted_l2;
    if (name == "eigenspectrum") return MatrixPermutation::eigenspectrum;
    return MatrixPermutation::unknown;
}

std::int64_t matrix_row_width(std::int64_t n_atoms_max, MatrixPermutation permutation) {
    if (permutation == MatrixPermutation::eigenspectrum) return n_atoms_max;
    return checked_product(n_atoms_max, n_atoms_max);
}

}  // namespace tandril
