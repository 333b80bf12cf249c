#include "descriptors/matrices/symmetric_eigenvalues.hpp"

#include <cmath>
#include <stdexcept>

#include "core/memory_guard.hpp"

namespace tandril {
namespace {

// Householder reduction of `a` (n x n, row-major, overwritten) to tridiagonal
// form, from the last row up: diagonal in d, subdiagonal in e[1..n-1].
void tridiagonalise(double* a, std::int64_t n, double* d, double* e) {
    const auto at = [a, n](std::int64_t i, std::int64_t k) -> double& { return a[i * n + k]; };
    for (std::int64_t i = n - 1; i > 0; --i) {
        const std::int64_t l = i - 1;
        double h = 0.0;
        if (l > 0) {
            double scale = 0.0;
            for (std::int64_t k = 0; k <= l; ++k) scale += std::fabs(at(i, k));
            if (scale == 0.0) {
                // Row already reduced: no transformation.
                e[i] = at(i, l);
            } else {
                for (std::int64_t k = 0; k <= l; ++k) {
                    at(i, k) /= scale;
                    h += at(i, k) * at(i, k);
                }
                double f = at(i, l);
                double g = f >= 0.0 ? -std::sqrt(h) : std::sqrt(h);
                e[i] = scale * g;
                h -= f * g;
                at(i, l) = f - g;
                f = 0.0;
                for (std::int64_t j = 0; j <= l; ++j) {
                    g = 0.0;
                    for (std::int64_t k = 0; k <= j; ++k) g += at(j, k) * at(i, k);
                    for (std::int64_t k = j + 1; k <= l; ++k) g += at(k, j) * at(i, k);
                    e[j] = g / h;
                    f += e[j] * at(i, j);
                }
                const double hh = f / (h + h);
                for (std::int64_t j = 0; j <= l; ++j) {
                    f = at(i, j);
                    g = e[j] - hh * f;
                    e[j] = g;
                    for (std::int64_t k = 0; k <= j; ++k) at(j, k) -= (f * e[k] + g * at(i, k));
                }
            }
        } else {
            e[i] = at(i, l);
        }
        d[i] = h;
    }
    for (std::int64_t i = 0; i < n; ++i) d[i] = at(i, i);
}

double with_sign_of(double magnitude, double sign) { return sign >= 0.0 ? std::fabs(magnitude) : -std::fabs(magnitude); }

// Implicit QL iteration on the tridiagonal matrix (d, e with e shifted down).
void tridiagonal_ql(double* d, double* e, std::int64_t n) {
    for (std::int64_t i = 1; i < n; ++i) e[i - 1] = e[i];
    e[n - 1] = 0.0;
    for (std::int64_t l = 0; l < n; ++l) {
        int sweeps = 0;
        std::int64_t m = l;
        do {
            for (m = l; m < n - 1; ++m) {
                const double dd = std::fabs(d[m]) + std::fabs(d[m + 1]);
                if (std::fabs(e[m]) + dd == dd) break;
            }
            if (m == l) break;
            if (sweeps++ == 100) throw std::runtime_error("symmetric eigensolver failed to converge");
            double g = (d[l + 1] - d[l]) / (2.0 * e[l]);
            double r = std::hypot(g, 1.0);
            g = d[m] - d[l] + e[l] / (g + with_sign_of(r, g));
            double s = 1.0, c = 1.0, p = 0.0;
            std::int64_t i = m - 1;
            bool underflow = false;
            for (; i >= l; --i) {
                const double f = s * e[i];
                const double b = c * e[i];
                r = std::hypot(f, g);
                e[i + 1] = r;
                if (r == 0.0) {
                    // Recover from underflow: deflate and sweep again.
                    d[i + 1] -= p;
                    e[m] = 0.0;
                    underflow = true;
                    break;
                }
                s = f / r;
                c = g / r;
                g = d[i + 1] - p;
                r = (d[i] - g) * s + 2.0 * c * b;
                p = s * r;
                d[i + 1] = g + p;
                g = c * r - b;
            }
            if (underflow) continue;
            d[l] -= p;
            e[l] = g;
            e[m] = 0.0;
        } while (true);
    }
}

}  // namespace

void symmetric_eigenvalues(const double* matrix, std::int64_t n, std::vector<double>& eigenvalues,
                           EigenvalueScratch& scratch) {
    eigenvalues.resize(static_cast<std::size_t>(n));
    if (n == 0) return;
    const std::int64_t size = checked_product(n, n);
    ensure_allocatable(static_cast<std::uint64_t>(size), sizeof(double));
    scratch.work.assign(matrix, matrix + size);
    scratch.off_diagonal.assign(static_cast<std::size_t>(n), 0.0);
    double* d = eigenvalues.data();
    double* e = scratch.off_diagonal.data();
    tridiagonalise(scratch.work.data(), n, d, e);
    tridiagonal_ql(d, e, n);
}

}  // namespace tandril
