#pragma once

#include <cstdint>
#include <vector>

namespace tandril {

// Jacobi methods whose rotation test is relative (|a_pq| against
// sqrt(a_pp a_qq)), so that tiny eigenvalues and singular values of graded,
// positive definite problems come out with small relative error; an
// absolute tolerance would lose them. Used to orthonormalise radial bases
// whose primitive overlaps span many orders of magnitude. Nothing here is
// specific to SOAP.

// Eigen-decomposition of a symmetric positive definite n x n matrix
// (row-major): on return `eigenvalues` holds the eigenvalues and column k of
// `eigenvectors` (row-major n x n) the k-th eigenvector.
void positive_definite_eigen(std::int32_t n, const std::vector<double>& matrix, std::vector<double>& eigenvalues,
                             std::vector<double>& eigenvectors);

// One-sided (Hestenes) Jacobi on the columns of `columns` (cols vectors of
// `rows` values each, stored one after another): on return the columns are
// mutually orthogonal, equal to the input times `rotation` (row-major
// cols x cols, orthogonal).
void one_sided_jacobi(std::int64_t rows, std::int32_t cols, std::vector<double>& columns,
                      std::vector<double>& rotation);

}  // namespace tandril
