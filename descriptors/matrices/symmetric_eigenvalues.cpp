#include "descriptors/matrices/symmetric_eigenvalues.hpp"

#include <cmath>
#include <stdexcept>

#include "core/memory_guard.hpp"
#include "descriptors/matrices/tridiagonal_ql.hpp"

namespace tandril {
namespace {

// Dot product of two short rows with four partial sums (which lets the
// compiler use vector registers; the reduction order is ours to choose).
inline __attribute__((always_inline)) double dot(const double* __restrict x, const double* __restrict y, std::int64_t count) noexcept {
    double partial[4] = {0.0, 0.0, 0.0, 0.0};
    std::int64_t k = 0;
    for (; k + 4 <= count; k += 4)
        for (int q = 0; q < 4; ++q) partial[q] += x[k + q] * y[k + q];
    double sum = (partial[0] + partial[1]) + (partial[2] + partial[3]);
    for (; k < count; ++k) sum += x[k] * y[k];
    return sum;
}

// row -= uj q + qj u over `count` entries (the rows never overlap).
inline __attribute__((always_inline)) void rank_two_update(double* __restrict row, const double* __restrict u, const double* __restrict q, double uj,
                     double qj, std::int64_t count) noexcept {
    for (std::int64_t k = 0; k < count; ++k) row[k] -= (uj * q[k] + qj * u[k]);
}

// Householder reduction of the symmetric matrix `a` (n x n, row-major, both
// triangles kept, overwritten) to tridiagonal form, from the last row up:
// diagonal in d, subdiagonal in e[1..n-1]. Row i's leading part is scaled by
// the sum of its absolute values; a zero sum means nothing to reduce. Also
// built for AVX2 and chosen at load time: the same operations per lane, so
// the same results.
__attribute__((target_clones("avx2", "default"))) void tridiagonalise(double* a, std::int64_t n, double* d,
                                                                      double* e, double* p) {
    for (std::int64_t i = n - 1; i > 0; --i) {
        const std::int64_t l = i - 1;
        double* u = a + i * n;  // row i becomes the Householder vector
        if (l == 0) {
            e[i] = u[0];
            continue;
        }
        double scale = 0.0;
        for (std::int64_t k = 0; k <= l; ++k) scale += std::fabs(u[k]);
        if (scale == 0.0) {
            e[i] = u[l];
            continue;
        }
        double h = 0.0;
        for (std::int64_t k = 0; k <= l; ++k) {
            u[k] /= scale;
            h += u[k] * u[k];
        }
        const double f = u[l];
        const double g = f >= 0.0 ? -std::sqrt(h) : std::sqrt(h);
        e[i] = scale * g;
        h -= f * g;
        u[l] = f - g;
        // p = A u / h on the leading block, then q = p - (u.p / 2h) u.
        double up = 0.0;
        for (std::int64_t j = 0; j <= l; ++j) {
            p[j] = dot(a + j * n, u, l + 1) / h;
            up += p[j] * u[j];
        }
        const double hh = up / (h + h);
        for (std::int64_t j = 0; j <= l; ++j) p[j] -= hh * u[j];
        // A -= u q^T + q u^T, both triangles (the two sums are the same
        // products added in swapped order, so A stays exactly symmetric).
        for (std::int64_t j = 0; j <= l; ++j) rank_two_update(a + j * n, u, p, u[j], p[j], l + 1);
    }
    for (std::int64_t i = 0; i < n; ++i) d[i] = a[i * n + i];
}

}  // namespace

TridiagonalProblem tridiagonal_form(const double* matrix, std::int64_t n, std::vector<double>& eigenvalues,
                                    EigenvalueScratch& scratch) {
    eigenvalues.resize(static_cast<std::size_t>(n));
    if (n == 0) return {eigenvalues.data(), nullptr, 0};
    const std::int64_t size = checked_product(n, n);
    ensure_allocatable(static_cast<std::uint64_t>(size), sizeof(double));
    scratch.work.assign(matrix, matrix + size);
    scratch.off_diagonal.assign(static_cast<std::size_t>(n), 0.0);
    scratch.reflected.resize(static_cast<std::size_t>(n));
    double* d = eigenvalues.data();
    double* e = scratch.off_diagonal.data();
    tridiagonalise(scratch.work.data(), n, d, e, scratch.reflected.data());
    for (std::int64_t i = 1; i < n; ++i) e[i - 1] = e[i];
    e[n - 1] = 0.0;
    return {d, e, n};
}

void throw_not_converged() { throw std::runtime_error("symmetric eigensolver failed to converge"); }

void symmetric_eigenvalues(const double* matrix, std::int64_t n, std::vector<double>& eigenvalues,
                           EigenvalueScratch& scratch) {
    const TridiagonalProblem problem = tridiagonal_form(matrix, n, eigenvalues, scratch);
    if (!tridiagonal_ql(problem)) throw_not_converged();
}

}  // namespace tandril
