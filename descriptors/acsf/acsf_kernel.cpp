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

// exp(-eta * sum) per distinct eta and the angular power per distinct shape.
void evaluate_shared_factors(const AcsfAngularTerms& terms, double exponent_sum, double cos_theta,
                             std::vector<double>& exponentials, std::vector<double>& powers) {
    for (std::size_t e = 0; e < terms.etas.size(); ++e) exponentials[e] = std::exp(-terms.etas[e] * exponent_sum);
    for (std::size_t s = 0; s < terms.zetas.size(); ++s)
        powers[s] = acsf_angular_power(cos_theta, terms.zetas[s], terms.lambdas[s]);
}

// Each unordered pair of kept records once: the later record outer, every
// earlier one inner.
void add_angular_terms(const AcsfSetup& setup, AcsfScratch& scratch, double* row) {
    const AcsfLayout& layout = setup.layout;
    const std::vector<AcsfNeighborRecord>& records = scratch.records;
    const AcsfAngularTerms& g4 = setup.g4;
    const AcsfAngularTerms& g5 = setup.g5;
    const std::size_t n_g4 = g4.size(), n_g5 = g5.size();
    double* angular = row + layout.angular_offset;
    for (std::size_t j = 1; j < records.size(); ++j) {
        const AcsfNeighborRecord& a = records[j];
        if (a.r == 0.0) continue;
        for (std::size_t k = 0; k < j; ++k) {
            const AcsfNeighborRecord& b = records[k];
            if (b.r == 0.0) continue;
            const double dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
            const double r_jk2 = dx * dx + dy * dy + dz * dz;
            const double r_jk = std::sqrt(r_jk2);
            // Rounding can push two collinear neighbours a hair past |cos| = 1,
            // where a non-integer power of 1 - cos would be NaN.
            const double cos_theta = std::clamp((a.x * b.x + a.y * b.y + a.z * b.z) / (a.r * b.r), -1.0, 1.0);
            double* block = angular + AcsfLayout::pair_index(a.species, b.species) * layout.angular_stride;

            if (n_g4 > 0 && r_jk <= setup.r_cut) {
                const double fc_jk = cosine_cutoff(r_jk, setup.r_cut);
                evaluate_shared_factors(g4, a.r2 + b.r2 + r_jk2, cos_theta, scratch.g4_exponentials,
                                        scratch.g4_powers);
                for (std::size_t t = 0; t < n_g4; ++t)
                    block[t] += 2.0 * scratch.g4_powers[g4.shape_of[t]] * scratch.g4_exponentials[g4.eta_of[t]] *
                                a.fc * b.fc * fc_jk;
            }
            if (n_g5 > 0) {
                evaluate_shared_factors(g5, a.r2 + b.r2, cos_theta, scratch.g5_exponentials, scratch.g5_powers);
                double* g5_block = block + n_g4;
                for (std::size_t t = 0; t < n_g5; ++t)
                    g5_block[t] += 2.0 * scratch.g5_powers[g5.shape_of[t]] *
                                   scratch.g5_exponentials[g5.eta_of[t]] * a.fc * b.fc;
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
            scratch.records.push_back({v[0], v[1], v[2], r2, r, fc, s});
        }
    }
    if (angular) add_angular_terms(setup, scratch, row);
}

}  // namespace tandril
