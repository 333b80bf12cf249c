#pragma once

#include <cstdint>
#include <vector>

#include "descriptors/soap/soap_options.hpp"

namespace tandril {

// What a radial cache row was computed from. Rows are reused only while
// every field is equal (the fingerprint first, then the exact values, so a
// hash collision can never hand out a stale row).
struct RadialCacheTag {
    std::uint64_t fingerprint = 0;
    std::uint64_t sigma_bits = 0;
    std::int32_t l_max = -1;
    std::int32_t size = -1;           // n_max (GTO) or grid points (polynomial)
    std::vector<double> row_source;   // alphas (GTO) or the grid (polynomial)

    [[nodiscard]] bool operator==(const RadialCacheTag& other) const noexcept;
};

// Tables of one computation, rebuilt from the options at every call (they
// are small). Index conventions: [l][n] is l*N + n, [l][n'][n] is
// (l*N + n')*N + n, [i][n] is i*N + n, [l][i] is l*G + i.
struct SoapRadialTables {
    std::int32_t n_max = 0;
    std::int32_t l_max = 0;
    double sigma = 1.0;
    double k = 0.5;  // 1 / (2 sigma^2)
    std::vector<double> degree_factor;  // pi * sqrt(8 / (2l + 1))

    // Gaussian-type orbitals: R_(l,n)(r) = S_(l,n) exp(-V_(l,n) r^2).
    std::vector<double> gto_scale;      // S, [l][n]
    std::vector<double> gto_decay;      // V, [l][n]
    // The distinct V values (bit for bit) with the [l][n] entries that have
    // each (entries gto_sharing[gto_sharing_start[u] ..]): equal exponents
    // (every degree's primitive at r = 1 has the same one) share one exp
    // per distance.
    std::vector<double> gto_distinct_decay;
    std::vector<std::int32_t> gto_sharing_start;
    std::vector<std::int32_t> gto_sharing;
    std::vector<double> gto_projection; // pi^(3/2) beta_(l,n,n'), [l][n'][n]
    RadialCacheTag gto_tag;

    // Polynomial basis on a quadrature grid.
    std::int32_t grid_size = 0;
    std::vector<double> grid;
    std::vector<double> grid_projection;  // W = weight r_i^2 g_n(r_i), [i][n]
    RadialCacheTag polynomial_tag;
};

// The options must have passed validate_soap_options.
[[nodiscard]] SoapRadialTables build_soap_radial_tables(const SoapOptions& options);

// False when some S or V of the GTO tables would not be finite (an exponent
// at or below -1/(2 sigma^2)). Expects sizes and values already checked.
[[nodiscard]] bool gto_radial_factors_finite(const SoapOptions& options);

// R_(l,n)(r) for one squared distance, stored [l][n].
void gto_radial_row(const SoapRadialTables& tables, double r_squared, double* out) noexcept;

// weight * R_(l,n)(r), the product formed after R (same values as scaling
// the row of gto_radial_row afterwards).
void weighted_gto_radial_row(const SoapRadialTables& tables, double r_squared, double weight, double* out) noexcept;

// I_l(r_i; r) = exp(-(r_i^2 + r^2) / (2 sigma^2)) i_l(r_i r / sigma^2) for one
// distance, stored [l][i]; `scratch` holds G values.
void polynomial_radial_row(const SoapRadialTables& tables, double r, double* out, double* scratch) noexcept;

}  // namespace tandril
