#include "descriptors/c00ps_mlff/c00ps_mlff_basis.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

#include "core/gauss_legendre.hpp"
#include "core/memory_guard.hpp"
#include "descriptors/c00ps_mlff/spherical_bessel.hpp"

namespace tandril {
namespace {

constexpr std::int32_t quadrature_points = 240;

double radial_norm(std::int32_t l, double zero, double r_cut, const GaussLegendreRule& rule) {
    double sum = 0.0;
    for (std::size_t i = 0; i < rule.nodes.size(); ++i) {
        const double r = (rule.nodes[i] + 1.0) * r_cut / 2.0;
        const double j = spherical_bessel_j(l, zero * r / r_cut);
        sum += rule.weights[i] * (r_cut / 2.0) * (r * r) * (j * j);
    }
    return std::sqrt(sum);
}

}  // namespace

C00PSMlffBasis build_c00ps_mlff_basis(double r_cut, std::int32_t n_radial, std::int32_t l_max) {
    const std::int64_t degrees = std::int64_t{l_max} + 1;
    ensure_allocatable(static_cast<std::uint64_t>(checked_product(degrees, n_radial)), 2 * sizeof(double));
    const GaussLegendreRule rule = gauss_legendre_rule(quadrature_points);

    C00PSMlffBasis basis;
    basis.zeros.resize(static_cast<std::size_t>(degrees));
    for (std::int32_t l = 0; l <= l_max; ++l) {
        const double scan_end = (static_cast<double>(n_radial) + l + 8.0) * std::numbers::pi;
        basis.zeros[l] = spherical_bessel_zeros(l, n_radial, scan_end);
        if (static_cast<std::int32_t>(basis.zeros[l].size()) < n_radial)
            throw std::runtime_error("could not construct C00PS-MLFF radial basis zeros");
    }

    double common_reach = basis.zeros[0].back();
    for (const auto& zeros : basis.zeros) common_reach = std::min(common_reach, zeros.back());
    basis.radial_counts.resize(static_cast<std::size_t>(degrees));
    basis.norms.resize(static_cast<std::size_t>(degrees));
    for (std::int32_t l = 0; l <= l_max; ++l) {
        const auto& zeros = basis.zeros[l];
        const auto below = std::count_if(zeros.begin(), zeros.end(), [&](double q) { return q <= common_reach; });
        basis.radial_counts[l] = std::max<std::int32_t>(1, static_cast<std::int32_t>(below));
        for (std::int32_t n = 0; n < basis.radial_counts[l]; ++n)
            basis.norms[l].push_back(radial_norm(l, zeros[n], r_cut, rule));
    }
    return basis;
}

}  // namespace tandril
