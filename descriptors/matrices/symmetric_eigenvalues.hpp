#pragma once

#include <cstdint>
#include <vector>

#include "descriptors/matrices/tridiagonal_ql.hpp"

namespace tandril {

// Scratch of the eigenvalue routine, reused from one structure to the next.
struct EigenvalueScratch {
    std::vector<double> work;  // n x n copy reduced in place
    std::vector<double> off_diagonal;
    std::vector<double> reflected;  // A u / h, then the rank-two update vector
};

// The n eigenvalues of a symmetric row-major n x n matrix, in the order the
// QL iteration leaves them: Householder reduction to tridiagonal form, then
// implicit QL with Wilkinson shifts. Eigenvectors are never formed.
// Throws std::runtime_error when an eigenvalue needs more than 100 sweeps.
void symmetric_eigenvalues(const double* matrix, std::int64_t n, std::vector<double>& eigenvalues,
                           EigenvalueScratch& scratch);

// The first half of symmetric_eigenvalues, for callers that diagonalise
// several matrices together (see tridiagonal_ql): `eigenvalues` receives the
// diagonal and `scratch` the subdiagonal of the returned problem.
[[nodiscard]] TridiagonalProblem tridiagonal_form(const double* matrix, std::int64_t n,
                                                  std::vector<double>& eigenvalues, EigenvalueScratch& scratch);

// Throws std::runtime_error "symmetric eigensolver failed to converge".
[[noreturn]] void throw_not_converged();

}  // namespace tandril
