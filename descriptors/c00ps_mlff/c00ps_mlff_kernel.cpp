#include "descriptors/c00ps_mlff/c00ps_mlff_kernel.hpp"

#include <algorithm>
#include <cmath>

#include "descriptors/c00ps_mlff/c00ps_mlff_cutoff.hpp"
#include "descriptors/c00ps_mlff/spherical_bessel.hpp"

namespace tandril {
namespace {

constexpr double two_sqrt_pi = 3.544907701811032;
constexpr double eight_pi_squared = 78.95683520871486;
constexpr double four_pi = 12.566370614359172;
constexpr double norm_threshold = 1e-20;

// Neighbours of the centre (entries with r^2 > 1e-24, which drops its own
// zero-shift entry and coincident atoms) and their radial function values.
void gather_neighbors(const C00PSMlffSetup& setup, const NeighborGraph& graph, std::int64_t centre,
                      std::span<const std::int32_t> species_of_atom, C00PSMlffScratch& scratch) {
    const C00PSMlffOptions& o = *setup.options;
    const C00PSMlffBasis& basis = *setup.basis;
    const std::vector<std::int32_t>& counts = setup.layout->radial_counts;
    scratch.x.clear();
    scratch.y.clear();
    scratch.z.clear();
    scratch.r.clear();
    scratch.species.clear();
    for (std::int64_t e = graph.row_offsets[centre]; e < graph.row_offsets[centre + 1]; ++e) {
        const double r2 = graph.distances_squared[e];
        if (!(r2 > 1e-24)) continue;
        const double* v = graph.vectors.data() + 3 * e;
        scratch.x.push_back(v[0]);
        scratch.y.push_back(v[1]);
        scratch.z.push_back(v[2]);
        scratch.r.push_back(std::sqrt(r2));
        scratch.species.push_back(species_of_atom[graph.neighbors[e]]);
    }
    const std::size_t n = scratch.r.size();
    const auto width = static_cast<std::size_t>(setup.values_per_neighbor);
    scratch.radial_values.resize(n * width);
    for (std::size_t j = 0; j < n; ++j) {
        const double r = scratch.r[j];
        const double fc = c00ps_mlff_cutoff(o.cutoff_function, r, o.r_cut);
        double* values = scratch.radial_values.data() + j * width;
        for (std::int32_t l = 0; l < setup.degrees; ++l)
            for (std::int32_t k = 0; k < counts[l]; ++k)
                *values++ = spherical_bessel_j(l, basis.zeros[l][k] * r / o.r_cut) * fc / basis.norms[l][k];
    }
}

void radial_block(const C00PSMlffSetup& setup, const C00PSMlffScratch& scratch, double* out) {
    const std::int32_t count = setup.layout->radial_counts[0];
    const auto width = static_cast<std::size_t>(setup.values_per_neighbor);
    std::fill(out, out + setup.layout->radial_size, 0.0);
    for (std::size_t j = 0; j < scratch.r.size(); ++j) {
        const double* g = scratch.radial_values.data() + j * width;
        double* block = out + std::int64_t{scratch.species[j]} * count;
        for (std::int32_t k = 0; k < count; ++k) block[k] += g[k];
    }
    for (std::int64_t a = 0; a < setup.layout->radial_size; ++a) out[a] /= two_sqrt_pi;
}

void legendre_polynomials(double c, std::vector<double>& p) {
    p[0] = 1.0;
    if (p.size() > 1) p[1] = c;
    if (p.size() > 2) p[2] = (3.0 * (c * c) - 1.0) / 2.0;
    for (std::size_t l = 2; l + 1 < p.size(); ++l) {
        const auto k = static_cast<double>(l);
        p[l + 1] = ((2.0 * k + 1.0) * c * p[l] - k * p[l - 1]) / (k + 1.0);
    }
}

// Adds gamma_(l,a)(j) gamma_(l,b)(k) P_l to the pair sums of every a <= b
// (only the upper triangle is ever read). Species blocks with s_j > s_k lie
// wholly below the diagonal.
void add_pair(const C00PSMlffSetup& setup, C00PSMlffScratch& scratch, std::size_t j, std::size_t k) {
    const std::int32_t sj = scratch.species[j], sk = scratch.species[k];
    if (sj > sk) return;
    const double c = std::clamp(
        (scratch.x[j] * scratch.x[k] + scratch.y[j] * scratch.y[k] + scratch.z[j] * scratch.z[k]) /
            (scratch.r[j] * scratch.r[k]),
        -1.0, 1.0);
    legendre_polynomials(c, scratch.legendre);
    const auto width = static_cast<std::size_t>(setup.values_per_neighbor);
    const C00PSMlffLayout& layout = *setup.layout;
    for (std::int32_t l = 0; l < setup.degrees; ++l) {
        const std::int32_t count = layout.radial_counts[l];
        const std::int64_t m = layout.angular_dimension[l];
        const double p = scratch.legendre[l];
        const double* gj = scratch.radial_values.data() + j * width + setup.degree_offsets[l];
        const double* gk = scratch.radial_values.data() + k * width + setup.degree_offsets[l];
        double* sums = scratch.pair_sums[l].data();
        for (std::int32_t n = 0; n < count; ++n) {
            const double gjn = gj[n];
            double* out = sums + (std::int64_t{sj} * count + n) * m + std::int64_t{sk} * count;
            for (std::int32_t q = sj == sk ? n : 0; q < count; ++q) out[q] += gjn * gk[q] * p;
        }
    }
}

void angular_block(const C00PSMlffSetup& setup, C00PSMlffScratch& scratch, double* row) {
    const C00PSMlffLayout& layout = *setup.layout;
    for (auto& sums : scratch.pair_sums) std::fill(sums.begin(), sums.end(), 0.0);
    const std::size_t n = scratch.r.size();
    const bool exclude_self = setup.options->exclude_self_interaction;
    for (std::size_t j = 0; j < n; ++j)
        for (std::size_t k = 0; k < n; ++k)
            if (!(exclude_self && j == k)) add_pair(setup, scratch, j, k);

    for (std::int32_t l = 0; l < setup.degrees; ++l) {
        const double two_l_plus_one = 2.0 * l + 1.0;
        const double prefactor = std::sqrt(eight_pi_squared / two_l_plus_one) * two_l_plus_one / four_pi;
        const std::int64_t m = layout.angular_dimension[l];
        const double* sums = scratch.pair_sums[l].data();
        double* out = row + layout.angular_offsets[l];
        for (std::int64_t a = 0; a < m; ++a)
            for (std::int64_t b = a; b < m; ++b) *out++ = prefactor * sums[a * m + b];
    }
}

double squared_norm(const double* begin, const double* end) noexcept {
    double s = 0.0;
    for (const double* v = begin; v != end; ++v) s += *v * *v;
    return s;
}

void normalise(double* begin, double* end) noexcept {
    const double s = squared_norm(begin, end);
    if (s <= norm_threshold) return;
    const double norm = std::sqrt(s);
    for (double* v = begin; v != end; ++v) *v /= norm;
}

void scale(double* begin, double* end, double factor) noexcept {
    for (double* v = begin; v != end; ++v) *v *= factor;
}

}  // namespace

C00PSMlffSetup make_c00ps_mlff_setup(const C00PSMlffOptions& options, const C00PSMlffBasis& basis,
                                     const C00PSMlffLayout& layout) {
    C00PSMlffSetup setup;
    setup.options = &options;
    setup.basis = &basis;
    setup.layout = &layout;
    setup.degrees = options.include_angular ? static_cast<std::int32_t>(layout.radial_counts.size()) : 1;
    for (std::int32_t l = 0; l < setup.degrees; ++l) {
        setup.degree_offsets.push_back(setup.values_per_neighbor);
        setup.values_per_neighbor += layout.radial_counts[l];
    }
    return setup;
}

void c00ps_mlff_atom_row(const C00PSMlffSetup& setup, const NeighborGraph& graph, std::int64_t centre,
                         std::span<const std::int32_t> species_of_atom, C00PSMlffScratch& scratch, double* row) {
    const C00PSMlffOptions& o = *setup.options;
    const C00PSMlffLayout& layout = *setup.layout;
    gather_neighbors(setup, graph, centre, species_of_atom, scratch);

    double* radial_begin = row;
    double* radial_end = row + layout.radial_size;
    double* angular_end = row + layout.feature_count;
    if (o.include_radial) radial_block(setup, scratch, row);
    if (o.include_angular) {
        scratch.pair_sums.resize(static_cast<std::size_t>(setup.degrees));
        for (std::int32_t l = 0; l < setup.degrees; ++l)
            scratch.pair_sums[l].resize(static_cast<std::size_t>(layout.angular_dimension[l] * layout.angular_dimension[l]));
        scratch.legendre.resize(static_cast<std::size_t>(setup.degrees));
        angular_block(setup, scratch, row);
    }

    if (o.include_radial && o.normalize_radial) normalise(radial_begin, radial_end);
    if (o.include_angular && o.normalize_angular) normalise(radial_end, angular_end);
    if (o.super_vector) {
        if (o.include_radial) scale(radial_begin, radial_end, std::sqrt(o.radial_weight));
        if (o.include_angular) scale(radial_end, angular_end, std::sqrt(o.angular_weight));
        normalise(row, angular_end);
    }
}

}  // namespace tandril
