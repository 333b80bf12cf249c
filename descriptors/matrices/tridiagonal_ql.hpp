#pragma once

#include <cstdint>
#include <span>

namespace tandril {

// A symmetric tridiagonal matrix being diagonalised in place: diagonal d[n],
// subdiagonal e[n] with e[i] coupling i and i + 1 (e[n - 1] unused).
struct TridiagonalProblem {
    double* d;
    double* e;
    std::int64_t n;
    bool converged = false;  // set by tridiagonal_ql
};

// Implicit QL iteration with Wilkinson shifts; afterwards d holds the
// eigenvalues. Returns false when an eigenvalue needed more than 100 sweeps;
// d is then meaningless.
[[nodiscard]] bool tridiagonal_ql(const TridiagonalProblem& problem);

// The same for every problem of a list, with the same results, each told by
// its `converged`. Two problems
// are iterated in lockstep, one plane rotation of each at a time and in the
// two lanes of a vector register where the processor has them: every
// rotation waits on the square root and divisions of the one before, and two
// independent chains run in the time of one.
void tridiagonal_ql(std::span<TridiagonalProblem> problems);

}  // namespace tandril
