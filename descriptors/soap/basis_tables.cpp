#include "descriptors/soap/basis_tables.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <stdexcept>
#include <string>

#include "core/gauss_legendre.hpp"
#include "core/memory_guard.hpp"
#include "descriptors/soap/positive_definite_jacobi.hpp"

namespace tandril {
namespace {

constexpr double primitive_threshold = 1e-3;
constexpr std::int32_t largest_degree = 20;

// Overlap of r^l exp(-a r^2) and r^l exp(-b r^2) with weight r^2 on [0, inf).
double gto_overlap(std::int32_t l, double a, double b) {
    return std::tgamma(l + 1.5) / (2.0 * std::pow(a + b, l + 1.5));
}

// S^(-1/2) = V diag(lambda^-1/2) V^T.
std::vector<double> inverse_square_root(std::int32_t n, const std::vector<double>& eigenvalues,
                                        const std::vector<double>& vectors) {
    const auto un = static_cast<std::size_t>(n);
    std::vector<double> t(un * un, 0.0);
    for (std::size_t k = 0; k < un; ++k) {
        const double scale = 1.0 / std::sqrt(eigenvalues[k]);
        for (std::size_t i = 0; i < un; ++i)
            for (std::size_t j = 0; j < un; ++j) t[i * un + j] += vectors[i * un + k] * vectors[j * un + k] * scale;
    }
    return t;
}

}  // namespace

GtoBasisTables soap_gto_basis_tables(double r_cut, std::int32_t n_max, std::int32_t l_max) {
    if (!(std::isfinite(r_cut) && r_cut > 1.0))
        throw std::invalid_argument("SOAP GTO basis needs a finite r_cut greater than 1 (its first primitive falls off at 1)");
    if (n_max < 1) throw std::invalid_argument("SOAP GTO basis needs n_max >= 1");
    if (l_max < 0 || l_max > largest_degree) throw std::invalid_argument("SOAP GTO basis needs 0 <= l_max <= 20");
    const auto n = static_cast<std::size_t>(n_max);
    const auto degrees = static_cast<std::size_t>(l_max) + 1;
    ensure_allocatable(degrees * n * n, 3 * sizeof(double));

    std::vector<double> reach(n);
    for (std::size_t k = 0; k < n; ++k)
        reach[k] = n == 1 ? 1.0 : 1.0 + (r_cut - 1.0) * static_cast<double>(k) / static_cast<double>(n - 1);

    GtoBasisTables tables;
    tables.alphas.resize(degrees * n);
    tables.betas.resize(degrees * n * n);
    std::vector<double> overlap(n * n), normalised(n * n), eigenvalues, vectors;
    for (std::size_t l = 0; l < degrees; ++l) {
        double* alpha = tables.alphas.data() + l * n;
        // r^l exp(-alpha r^2) = threshold at r = reach.
        for (std::size_t k = 0; k < n; ++k)
            alpha[k] = (static_cast<double>(l) * std::log(reach[k]) - std::log(primitive_threshold)) / (reach[k] * reach[k]);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) overlap[i * n + j] = gto_overlap(static_cast<std::int32_t>(l), alpha[i], alpha[j]);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j)
                normalised[i * n + j] = overlap[i * n + j] / std::sqrt(overlap[i * n + i] * overlap[j * n + j]);
        positive_definite_eigen(n_max, normalised, eigenvalues, vectors);
        const auto [smallest, largest] = std::minmax_element(eigenvalues.begin(), eigenvalues.end());
        if (!(*smallest > gto_independence_threshold * *largest))
            throw std::invalid_argument("SOAP GTO basis: the primitives of degree " + std::to_string(l) +
                                        " are numerically linearly dependent; lower n_max or raise r_cut");
        positive_definite_eigen(n_max, overlap, eigenvalues, vectors);
        const std::vector<double> t = inverse_square_root(n_max, eigenvalues, vectors);
        std::copy(t.begin(), t.end(), tables.betas.begin() + static_cast<std::ptrdiff_t>(l * n * n));
    }
    return tables;
}

PolynomialBasisTables soap_polynomial_basis_tables(double r_cut, std::int32_t n_max, std::int32_t grid_size) {
    if (!(std::isfinite(r_cut) && r_cut > 0.0))
        throw std::invalid_argument("SOAP polynomial basis needs a finite, positive r_cut");
    if (n_max < 1) throw std::invalid_argument("SOAP polynomial basis needs n_max >= 1");
    // n_max + 3 points integrate every overlap (degree <= 2 n_max + 4) exactly.
    if (std::int64_t{grid_size} < std::int64_t{n_max} + 3) throw std::invalid_argument("SOAP polynomial basis needs grid_size >= n_max + 3");
    const auto n = static_cast<std::size_t>(n_max);
    const auto g = static_cast<std::size_t>(grid_size);
    ensure_allocatable(static_cast<std::uint64_t>(checked_product(grid_size, std::int64_t{n_max} + 3)), sizeof(double));

    const GaussLegendreRule rule = gauss_legendre_rule(grid_size, 0.0, r_cut);
    // In the grid's inner product a function f is the column sqrt(w_i) r_i f(r_i).
    std::vector<double> scale(g);
    for (std::size_t i = 0; i < g; ++i) scale[i] = std::sqrt(rule.weights[i]) * rule.nodes[i];

    // Q: an orthonormal basis of the span, from the well-conditioned
    // u^2 P_k(2u/r_cut - 1) (u = r_cut - r, P_k Legendre) of the same space.
    std::vector<double> q(n * g), rotation;
    for (std::size_t i = 0; i < g; ++i) {
        const double u = r_cut - rule.nodes[i];
        const double t = 2.0 * u / r_cut - 1.0;
        double before = 0.0, current = 1.0;  // P_(k-1), P_k
        for (std::size_t k = 0; k < n; ++k) {
            q[k * g + i] = scale[i] * u * u * current;
            const double next = ((2.0 * k + 1.0) * t * current - k * before) / (k + 1.0);
            before = current;
            current = next;
        }
    }
    one_sided_jacobi(grid_size, n_max, q, rotation);
    for (std::size_t k = 0; k < n; ++k) {
        double* column = q.data() + k * g;
        double sum = 0.0;
        for (std::size_t i = 0; i < g; ++i) sum += column[i] * column[i];
        const double norm = std::sqrt(sum);
        for (std::size_t i = 0; i < g; ++i) column[i] /= norm;
    }

    // The primitives X = Q R with R = Q^T X. The Loewdin basis is
    // X (X^T X)^(-1/2) = Q polar(R): orthonormal and inside the span to
    // rounding, however badly conditioned the primitives are.
    std::vector<double> r(n * n);  // column m: Q^T x_m
    for (std::size_t m = 0; m < n; ++m)
        for (std::size_t k = 0; k < n; ++k) {
            double sum = 0.0;
            for (std::size_t i = 0; i < g; ++i)
                sum += q[k * g + i] * scale[i] * std::pow(r_cut - rule.nodes[i], static_cast<double>(m + 2));
            r[m * n + k] = sum;
        }
    one_sided_jacobi(n_max, n_max, r, rotation);  // R V = W, orthogonal columns
    std::vector<double> norms(n);
    for (std::size_t k = 0; k < n; ++k) {
        double sum = 0.0;
        for (std::size_t j = 0; j < n; ++j) sum += r[k * n + j] * r[k * n + j];
        norms[k] = std::sqrt(sum);
    }
    const auto [smallest, largest] = std::minmax_element(norms.begin(), norms.end());
    if (!(*smallest > DBL_EPSILON * static_cast<double>(n) * *largest))
        throw std::invalid_argument("SOAP polynomial basis: n_max is too large for numerically independent polynomials");

    // polar(R) = U V^T with U = W / |W|: column m of it is sum_k u_k V[m][k].
    std::vector<double> polar(n * n, 0.0);  // column m, rows j
    for (std::size_t m = 0; m < n; ++m)
        for (std::size_t k = 0; k < n; ++k) {
            const double factor = rotation[m * n + k] / norms[k];
            for (std::size_t j = 0; j < n; ++j) polar[m * n + j] += r[k * n + j] * factor;
        }

    PolynomialBasisTables tables;
    tables.grid = rule.nodes;
    tables.weights = rule.weights;
    tables.values.assign(n * g, 0.0);
    for (std::size_t m = 0; m < n; ++m) {
        double* out = tables.values.data() + m * g;
        for (std::size_t k = 0; k < n; ++k) {
            const double factor = polar[m * n + k];
            const double* column = q.data() + k * g;
            for (std::size_t i = 0; i < g; ++i) out[i] += column[i] * factor;
        }
        for (std::size_t i = 0; i < g; ++i) out[i] /= scale[i];
    }
    return tables;
}

}  // namespace tandril
