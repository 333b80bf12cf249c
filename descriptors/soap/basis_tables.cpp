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
    // Columns sqrt(w_i) r_i phi_n(r_i): their Gram matrix is the overlap S,
    // and their orthogonal polar factor X S^(-1/2) is the Loewdin basis in
    // the same form, without ever forming the badly conditioned S.
    std::vector<double> columns(n * g), rotation;
    std::vector<double> scale(g);
    for (std::size_t i = 0; i < g; ++i) scale[i] = std::sqrt(rule.weights[i]) * rule.nodes[i];
    for (std::size_t k = 0; k < n; ++k)
        for (std::size_t i = 0; i < g; ++i)
            columns[k * g + i] = scale[i] * std::pow(r_cut - rule.nodes[i], static_cast<double>(k + 2));
    one_sided_jacobi(grid_size, n_max, columns, rotation);

    std::vector<double> norms(n);
    for (std::size_t k = 0; k < n; ++k) {
        double sum = 0.0;
        for (std::size_t i = 0; i < g; ++i) sum += columns[k * g + i] * columns[k * g + i];
        norms[k] = std::sqrt(sum);
    }
    const auto [smallest, largest] = std::minmax_element(norms.begin(), norms.end());
    if (!(*smallest > DBL_EPSILON * g * *largest))
        throw std::invalid_argument("SOAP polynomial basis: n_max is too large for numerically independent polynomials");

    PolynomialBasisTables tables;
    tables.grid = rule.nodes;
    tables.weights = rule.weights;
    tables.values.assign(n * g, 0.0);
    for (std::size_t m = 0; m < n; ++m) {         // basis function
        double* out = tables.values.data() + m * g;
        for (std::size_t k = 0; k < n; ++k) {     // singular direction
            const double factor = rotation[m * n + k] / norms[k];
            const double* u = columns.data() + k * g;
            for (std::size_t i = 0; i < g; ++i) out[i] += u[i] * factor;
        }
        for (std::size_t i = 0; i < g; ++i) out[i] /= scale[i];
    }
    return tables;
}

}  // namespace tandril
