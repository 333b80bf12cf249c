#pragma once

#include <cstdint>
#include <vector>

namespace tandril {

// Ready-made radial tables for SoapOptions, so that callers need not build
// them by hand.

// Gaussian-type orbitals. Primitive n of degree l is r^l exp(-alpha r^2),
// its exponent chosen so that it has fallen to 1e-3 at r_n, with the r_n
// evenly spaced from 1 to r_cut (n_max points). Per degree the primitives
// are orthonormalised on [0, inf) with weight r^2 by the symmetric (Loewdin)
// transformation S^(-1/2) of their overlap S.
struct GtoBasisTables {
    std::vector<double> alphas;  // [l][n]
    std::vector<double> betas;   // [l][n][n']
};

[[nodiscard]] GtoBasisTables soap_gto_basis_tables(double r_cut, std::int32_t n_max, std::int32_t l_max);

// Polynomials (r_cut - r)^(n+2), n < n_max, orthonormalised on [0, r_cut]
// with weight r^2 by the symmetric (Loewdin) transformation, sampled on a
// Gauss-Legendre grid of grid_size points over [0, r_cut].
struct PolynomialBasisTables {
    std::vector<double> grid;     // [i]
    std::vector<double> weights;  // [i]
    std::vector<double> values;   // [n][i]
};

[[nodiscard]] PolynomialBasisTables soap_polynomial_basis_tables(double r_cut, std::int32_t n_max,
                                                                 std::int32_t grid_size);

// Relative size of the smallest eigenvalue of a degree's normalised primitive
// overlap below which the GTO primitives count as linearly dependent.
inline constexpr double gto_independence_threshold = 1e-12;

}  // namespace tandril
