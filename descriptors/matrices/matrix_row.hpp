#pragma once

#include <cstdint>
#include <vector>

#include "descriptors/matrices/matrix_permutation.hpp"
#include "descriptors/matrices/symmetric_eigenvalues.hpp"

namespace tandril {

// Scratch of write_matrix_row, reused from one structure to the next.
struct MatrixRowScratch {
    EigenvalueScratch eigen;
    std::vector<double> values;  // eigenvalues or row norms
    std::vector<std::int64_t> order;
};

// Permutes or reduces the symmetric row-major n x n `matrix` and writes
// exactly matrix_row_width(n_atoms_max, permutation) values into `row`:
// the spectrum sorted by decreasing magnitude, or the matrix with rows and
// columns reordered together (by decreasing row norm for sorted_l2), padded
// with zeros to n_atoms_max.
void write_matrix_row(const double* matrix, std::int64_t n, std::int64_t n_atoms_max,
                      MatrixPermutation permutation, double* row, MatrixRowScratch& scratch);

// The "eigenspectrum" row from already computed eigenvalues (at most
// n_atoms_max of them, reordered in place).
void write_spectrum_row(std::vector<double>& eigenvalues, std::int64_t n_atoms_max, double* row);

}  // namespace tandril
