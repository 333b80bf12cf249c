#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tandril {

// Symmetric (Loewdin) orthonormalisation T = S^(-1/2) of an N x N overlap
// matrix S (row-major, both triangles read). Refuses an overlap whose
// smallest eigenvalue is not above 2^-52.
[[nodiscard]] std::vector<double> radial_orthonormalisation(std::int32_t n, std::span<const double> overlap);

// Largest-pivot Jacobi eigen-decomposition of a symmetric matrix: on return
// the diagonal of `matrix` holds the eigenvalues and the columns of
// `eigenvectors` the eigenvectors. Stops when the largest off-diagonal
// magnitude is <= `tolerance` or after `max_rotations` rotations (silently).
void jacobi_eigen_decomposition(std::int32_t n, std::vector<double>& matrix, std::vector<double>& eigenvectors,
                                double tolerance, std::int64_t max_rotations);

}  // namespace tandril
