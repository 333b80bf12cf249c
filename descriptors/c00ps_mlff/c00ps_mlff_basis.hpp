#pragma once

#include <cstdint>
#include <vector>

namespace tandril {

// Spherical-Bessel radial basis: for every degree l = 0 .. l_max the first
// n_radial zeros q_(l,n) of j_l, how many of them are used (radial_counts[l])
// and the norms N_(l,n) = sqrt(int_0^r_cut r^2 j_l(q_(l,n) r / r_cut)^2 dr)
// of the used ones.
struct C00PSMlffBasis {
    std::vector<std::vector<double>> zeros;
    std::vector<std::vector<double>> norms;
    std::vector<std::int32_t> radial_counts;
};

// Zeros by scan and bisection, counts from the smallest of the largest zeros
// over the degrees, norms by a 240-point Gauss-Legendre rule. Throws
// std::runtime_error "could not construct C00PS-MLFF radial basis zeros"
// when a degree has fewer than n_radial zeros below (n_radial + l + 8) pi.
[[nodiscard]] C00PSMlffBasis build_c00ps_mlff_basis(double r_cut, std::int32_t n_radial, std::int32_t l_max);

}  // namespace tandril
