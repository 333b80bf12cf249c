#include "descriptors/acsf/acsf_kernel.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tandril {
namespace {

double cosine_cutoff(double r, double r_cut) noexcept {
    return 0.5 * (std::cos(std::numbers::pi * r / r_cut) + 1.0);
}

bool is_own_zero_shift_entry(const NeighborGraph& graph, std::int64_t centre, std::int64_t e) noexcept {
    const std::int32_t* shift = graph.shifts.data() + 3 * e;
    return graph.neighbors[e] == centre && shift[0] == 0 && shift[1] == 0 && shift[2] == 0;
}

void add_radial_terms(const AcsfSetup& setup, double r, double fc, double* block) {
    block[0] += fc;
    double* g2 = block + 1;
    for (std::int64_t k = 0; k < setup.layout.n_g2; ++k) {
        const double eta = setup.g2_params[2 * k], shift = setup.g2_params[2 * k + 1];
        const double d = r - shift;
        g2[k] += std::exp(-eta * (d * d)) * fc;
    }
    double* g3 = g2 + setup.layout.n_g2;
    for (std::int64_t k = 0; k < setup.layout.n_g3; ++k) g3[k] += std::cos(setup.g3_params[k] * r) * fc;
}

// Distance and clamped angle cosine between record j and every earlier record
// (a vectorisable pass, kept apart from the transcendental calls below).
void pair_geometry(const AcsfNeighborRecords& rec, std::size_t j, AcsfScratch& scratch) {
    const double xj = rec.x[j], yj = rec.y[j], zj = rec.z[j], rj = rec.r[j];
    double* r2 = scratch.pair_r2.data();
    double* r = scratch.pair_r.data();
    double* cos_theta = scratch.pair_cos.data();
    for (std::size_t k = 0; k < j; ++k) {
        const double dx = xj - rec.x[k], dy = yj - rec.y[k], dz = zj - rec.z[k];
        r2[k] = dx * dx + dy * dy + dz * dz;
        r[k] = std::sqrt(r2[k]);
        // Rounding can push two collinear neighbours a hair past |cos| = 1,
        // where a non-integer power of 1 - cos would be NaN.
        const double c = (xj * rec.x[k] + yj * rec.y[k] + zj * rec.z[k]) / (rj * rec.r[k]);
        cos_theta[k] = c < -1.0 ? -1.0 : (c > 1.0 ? 1.0 : c);
    }
}

// Each unordered pair of kept records once: the later record (j) outer,
// every earlier one (k) inner.
void add_angular_terms(const AcsfSetup& setup, AcsfScratch& scratch, double* row) {
    const AcsfLayout& layout = setup.layout;
    const AcsfNeighborRecords& rec = scratch.records;
    const AcsfAngularTerms& g4 = setup.g4;
    const AcsfAngularTerms& g5 = setup.g5;
    const std::size_t n_g4 = g4.size(), n_g5 = g5.size();
    double* angular = row + layout.angular_offset;
    const std::size_t n = rec.size();
    scratch.pair_r2.resize(n);
    scratch.pair_r.resize(n);
    scratch.pair_cos.resize(n);
    double* e4 = scratch.g4_exponentials.data();
    double* p4 = scratch.g4_powers.data();
    double* e5 = scratch.g5_exponentials.data();
    double* p5 = scratch.g5_powers.data();
    for (std::size_t j = 1; j < n; ++j) {
        const double rj = rec.r[j];
        if (rj == 0.0) continue;
        pair_geometry(rec, j, scratch);
        const double r2j = rec.r2[j], fcj = rec.fc[j];
        const std::int32_t sj = rec.species[j];
        for (std::size_t k = 0; k < j; ++k) {
            if (rec.r[k] == 0.0) continue;
            const double cos_theta = scratch.pair_cos[k];
            const double fck = rec.fc[k];
            double* block = angular + AcsfLayout::pair_index(sj, rec.species[k]) * layout.angular_stride;

            if (n_g4 > 0 && scratch.pair_r[k] <= setup.r_cut) {
                const double fc_jk = cosine_cutoff(scratch.pair_r[k], setup.r_cut);
                const double exponent = r2j + rec.r2[k] + scratch.pair_r2[k];
                for (std::size_t e = 0; e < g4.etas.size(); ++e) e4[e] = std::exp(-g4.etas[e] * exponent);
                // 2 A is the first factor of every term of a shape.
                for (std::size_t s = 0; s < g4.zetas.size(); ++s)
                    p4[s] = 2.0 * acsf_angular_power(cos_theta, g4.zetas[s], g4.lambdas[s]);
                for (std::size_t t = 0; t < n_g4; ++t)
                    block[t] += p4[g4.shape_of[t]] * e4[g4.eta_of[t]] * fcj * fck * fc_jk;
            }
            if (n_g5 > 0) {
                const double exponent = r2j + rec.r2[k];
                for (std::size_t e = 0; e < g5.etas.size(); ++e) e5[e] = std::exp(-g5.etas[e] * exponent);
                for (std::size_t s = 0; s < g5.zetas.size(); ++s)
                    p5[s] = 2.0 * acsf_angular_power(cos_theta, g5.zetas[s], g5.lambdas[s]);
                double* g5_block = block + n_g4;
                for (std::size_t t = 0; t < n_g5; ++t)
                    g5_block[t] += p5[g5.shape_of[t]] * e5[g5.eta_of[t]] * fcj * fck;
            }
        }
    }
}

}  // namespace

AcsfSetup make_acsf_setup(const AcsfOptions& options) {
    AcsfSetup setup;
    setup.layout = acsf_layout(options);
    setup.r_cut = options.r_cut;
    setup.g2_params = options.g2_params;
    setup.g3_params = options.g3_params;
    setup.g4 = make_acsf_angular_terms(options.g4_params);
    setup.g5 = make_acsf_angular_terms(options.g5_params);
    return setup;
}

void AcsfNeighborRecords::clear() noexcept {
    for (auto* column : {&x, &y, &z, &r2, &r, &fc}) column->clear();
    species.clear();
}

void AcsfNeighborRecords::reserve(std::size_t n) {
    for (auto* column : {&x, &y, &z, &r2, &r, &fc}) column->reserve(n);
    species.reserve(n);
}

void AcsfNeighborRecords::push(const double* v, double r2_, double r_, double fc_, std::int32_t s) {
    x.push_back(v[0]);
    y.push_back(v[1]);
    z.push_back(v[2]);
    r2.push_back(r2_);
    r.push_back(r_);
    fc.push_back(fc_);
    species.push_back(s);
}

AcsfScratch& acsf_thread_scratch() {
    thread_local AcsfScratch scratch;
    return scratch;
}

void acsf_atom_row(const AcsfSetup& setup, const NeighborGraph& graph, std::int64_t centre,
                   std::span<const std::int32_t> species_of_atom, AcsfScratch& scratch, double* row) {
    const AcsfLayout& layout = setup.layout;
    std::fill(row, row + layout.feature_count(), 0.0);

    const bool angular = layout.angular_stride > 0;
    const std::int64_t begin = graph.row_offsets[centre], end = graph.row_offsets[centre + 1];
    scratch.records.clear();
    if (angular) {
        scratch.records.reserve(static_cast<std::size_t>(end - begin));
        scratch.g4_exponentials.resize(setup.g4.etas.size());
        scratch.g4_powers.resize(setup.g4.zetas.size());
        scratch.g5_exponentials.resize(setup.g5.etas.size());
        scratch.g5_powers.resize(setup.g5.zetas.size());
    }

    for (std::int64_t e = begin; e < end; ++e) {
        if (is_own_zero_shift_entry(graph, centre, e)) continue;
        const double r2 = graph.distances_squared[e];
        const double r = std::sqrt(r2);
        const double fc = cosine_cutoff(r, setup.r_cut);
        const std::int32_t s = species_of_atom[graph.neighbors[e]];
        add_radial_terms(setup, r, fc, row + s * layout.radial_stride);
        if (angular) {
            const double* v = graph.vectors.data() + 3 * e;
            scratch.records.push(v, r2, r, fc, s);
        }
    }
    if (angular) add_angular_terms(setup, scratch, row);
}

}  // namespace tandril
