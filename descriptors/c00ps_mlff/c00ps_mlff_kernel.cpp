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
        for (std::int32_t l = 0; l < setup.degrees; ++l) {
            const std::int32_t count = counts[l];
            scratch.arguments.resize(static_cast<std::size_t>(count));
            scratch.bessel.resize(static_cast<std::size_t>(count));
            for (std::int32_t k = 0; k < count; ++k) scratch.arguments[k] = basis.zeros[l][k] * r / o.r_cut;
            spherical_bessel_j(l, scratch.arguments.data(), scratch.bessel.data(), count);
            for (std::int32_t k = 0; k < count; ++k) *values++ = scratch.bessel[k] * fc / basis.norms[l][k];
        }
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

void legendre_polynomials(double c, double* p, std::int32_t degrees) {
    p[0] = 1.0;
    if (degrees > 1) p[1] = c;
    if (degrees > 2) p[2] = (3.0 * (c * c) - 1.0) / 2.0;
    for (std::int32_t l = 2; l + 1 < degrees; ++l) {
        const auto k = static_cast<double>(l);
        p[l + 1] = ((2.0 * k + 1.0) * c * p[l] - k * p[l - 1]) / (k + 1.0);
    }
}

// P_l(cos theta_jk) of every ordered pair (the cosine is symmetric in j, k).
void pair_legendre(const C00PSMlffScratch& in, std::int32_t degrees, std::vector<double>& out) {
    const std::size_t n = in.r.size();
    out.resize(n * n * static_cast<std::size_t>(degrees));
    for (std::size_t j = 0; j < n; ++j)
        for (std::size_t k = j; k < n; ++k) {
            const double c = std::clamp(
                (in.x[j] * in.x[k] + in.y[j] * in.y[k] + in.z[j] * in.z[k]) / (in.r[j] * in.r[k]), -1.0, 1.0);
            double* p = out.data() + (j * n + k) * degrees;
            legendre_polynomials(c, p, degrees);
            std::copy(p, p + degrees, out.data() + (k * n + j) * degrees);
        }
}

// One species block (s, t), s <= t, of the degree-l pair sums:
// sums[n][m] += gamma_j[n] gamma_k[m] P_l(jk) over the neighbours j of
// species s and k of species t, j outer and k inner in list order, which is
// the order of the full double sum restricted to this block. Only the upper
// triangle of a diagonal block (s = t) is ever read, so only it is summed.
struct SpeciesBlock {
    double* sums;             // the block's first element
    std::int64_t stride;      // M_l
    const double* values;     // radial values of neighbour 0 at this degree
    std::size_t width;        // radial values per neighbour
    const double* legendre;   // P_l of pair (0, 0)
    std::size_t pair_stride;  // distance between P_l of consecutive pairs
    std::size_t neighbors;
    const std::vector<std::int32_t>* rows;
    const std::vector<std::int32_t>* columns;
    bool exclude_self;
    std::int32_t count;  // radial functions at this degree
};

// Count fixed at compile time (0: taken from the block), so that the short
// row updates unroll completely.
template <std::int32_t FixedCount, bool Diagonal>
void add_species_block(const SpeciesBlock& b) {
    const std::int32_t count = FixedCount > 0 ? FixedCount : b.count;
    for (const std::int32_t j : *b.rows) {
        const double* gj = b.values + static_cast<std::size_t>(j) * b.width;
        const double* pj = b.legendre + static_cast<std::size_t>(j) * b.neighbors * b.pair_stride;
        for (const std::int32_t k : *b.columns) {
            if (b.exclude_self && j == k) continue;
            const double p = pj[static_cast<std::size_t>(k) * b.pair_stride];
            const double* gk = b.values + static_cast<std::size_t>(k) * b.width;
            for (std::int32_t n = 0; n < count; ++n) {
                const double a = gj[n];
                double* row = b.sums + n * b.stride;
                for (std::int32_t m = Diagonal ? n : 0; m < count; ++m) row[m] += a * gk[m] * p;
            }
        }
    }
}

using SpeciesBlockKernel = void (*)(const SpeciesBlock&);

template <std::int32_t FixedCount>
SpeciesBlockKernel species_block_kernel(bool diagonal) {
    return diagonal ? add_species_block<FixedCount, true> : add_species_block<FixedCount, false>;
}

SpeciesBlockKernel select_species_block_kernel(std::int32_t count, bool diagonal) {
    switch (count) {
        case 1: return species_block_kernel<1>(diagonal);
        case 2: return species_block_kernel<2>(diagonal);
        case 3: return species_block_kernel<3>(diagonal);
        case 4: return species_block_kernel<4>(diagonal);
        case 5: return species_block_kernel<5>(diagonal);
        case 6: return species_block_kernel<6>(diagonal);
        case 7: return species_block_kernel<7>(diagonal);
        case 8: return species_block_kernel<8>(diagonal);
        case 9: return species_block_kernel<9>(diagonal);
        case 10: return species_block_kernel<10>(diagonal);
        case 11: return species_block_kernel<11>(diagonal);
        case 12: return species_block_kernel<12>(diagonal);
        default: return species_block_kernel<0>(diagonal);
    }
}

void angular_block(const C00PSMlffSetup& setup, C00PSMlffScratch& scratch, double* row) {
    const C00PSMlffLayout& layout = *setup.layout;
    const std::size_t n = scratch.r.size();
    const auto species = static_cast<std::size_t>(layout.species);
    scratch.by_species.resize(species);
    for (auto& list : scratch.by_species) list.clear();
    for (std::size_t j = 0; j < n; ++j) scratch.by_species[scratch.species[j]].push_back(static_cast<std::int32_t>(j));
    pair_legendre(scratch, setup.degrees, scratch.legendre);

    for (std::int32_t l = 0; l < setup.degrees; ++l) {
        const std::int32_t count = layout.radial_counts[l];
        const std::int64_t m = layout.angular_dimension[l];
        std::vector<double>& sums = scratch.pair_sums[l];
        std::fill(sums.begin(), sums.end(), 0.0);
        SpeciesBlock block{};
        block.stride = m;
        block.values = scratch.radial_values.data() + setup.degree_offsets[l];
        block.width = static_cast<std::size_t>(setup.values_per_neighbor);
        block.legendre = scratch.legendre.data() + l;
        block.pair_stride = static_cast<std::size_t>(setup.degrees);
        block.neighbors = n;
        block.exclude_self = setup.options->exclude_self_interaction;
        block.count = count;
        for (std::size_t s = 0; s < species; ++s)
            for (std::size_t t = s; t < species; ++t) {
                if (scratch.by_species[s].empty() || scratch.by_species[t].empty()) continue;
                block.sums = sums.data() + static_cast<std::int64_t>(s) * count * m + static_cast<std::int64_t>(t) * count;
                block.rows = &scratch.by_species[s];
                block.columns = &scratch.by_species[t];
                select_species_block_kernel(count, s == t)(block);
            }

        const double two_l_plus_one = 2.0 * l + 1.0;
        const double prefactor = std::sqrt(eight_pi_squared / two_l_plus_one) * two_l_plus_one / four_pi;
        const double* source = sums.data();
        double* out = row + layout.angular_offsets[l];
        for (std::int64_t a = 0; a < m; ++a)
            for (std::int64_t b = a; b < m; ++b) *out++ = prefactor * source[a * m + b];
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
