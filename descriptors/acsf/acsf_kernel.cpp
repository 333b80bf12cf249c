#include "descriptors/acsf/acsf_kernel.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "core/platform_math.hpp"

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
    const ExpFunction exp = platform_math().exp;
    for (std::int64_t k = 0; k < setup.layout.n_g2; ++k) {
        const double eta = setup.g2_params[2 * k], shift = setup.g2_params[2 * k + 1];
        const double d = r - shift;
        g2[k] += exp(-eta * (d * d)) * fc;
    }
    double* g3 = g2 + setup.layout.n_g2;
    for (std::int64_t k = 0; k < setup.layout.n_g3; ++k) g3[k] += std::cos(setup.g3_params[k] * r) * fc;
}

// Distance and clamped angle cosine between one record (xj, yj, zj, rj) and
// the `count` records before it: a vectorisable pass, kept apart from the
// transcendental calls that follow.
void pair_geometry(std::size_t count, double xj, double yj, double zj, double rj, const double* __restrict x,
                   const double* __restrict y, const double* __restrict z, const double* __restrict radius,
                   double* __restrict r2, double* __restrict r, double* __restrict cos_theta) {
    for (std::size_t k = 0; k < count; ++k) {
        const double dx = xj - x[k], dy = yj - y[k], dz = zj - z[k];
        const double d2 = dx * dx + dy * dy + dz * dz;
        r2[k] = d2;
        r[k] = std::sqrt(d2);
        // Rounding can push two collinear neighbours a hair past |cos| = 1,
        // where a non-integer power of 1 - cos would be NaN.
        const double c = (xj * x[k] + yj * y[k] + zj * z[k]) / (rj * radius[k]);
        cos_theta[k] = std::min(std::max(c, -1.0), 1.0);
    }
}

// Sizes a pair list for up to `capacity` pairs once per atom, so that the
// per-record passes below never grow (and so never re-initialise) storage.
void prepare_pairs(AcsfPairList& pairs, const AcsfAngularTerms& terms, std::size_t capacity, std::size_t species) {
    pairs.capacity = capacity;
    for (auto* column : {&pairs.fck, &pairs.cosines, &pairs.sums, &pairs.pair_cutoff})
        if (column->size() < capacity) column->resize(capacity);
    if (pairs.k.size() < capacity) pairs.k.resize(capacity);
    if (pairs.exponentials.size() < terms.etas.size() * capacity) pairs.exponentials.resize(terms.etas.size() * capacity);
    if (pairs.powers.size() < terms.zetas.size() * capacity) pairs.powers.resize(terms.zetas.size() * capacity);
    pairs.group_end.resize(species);
    pairs.cursor.resize(species);
}

// Turns per-species counts (in group_end) into group ends and cursors.
void start_groups(AcsfPairList& pairs) {
    std::size_t total = 0;
    for (std::size_t s = 0; s < pairs.group_end.size(); ++s) {
        pairs.cursor[s] = total;
        total += pairs.group_end[s];
        pairs.group_end[s] = total;
    }
    pairs.count = total;
}

// The earlier records that pair with record j: every one with r != 0 for G5,
// those also within the cutoff of j for G4. Each list is grouped by species
// with k ascending inside a group (a stable counting sort) and carries the
// per-pair values of its family.
void collect_pairs(const AcsfNeighborRecords& rec, std::size_t j, bool g4, bool g5, double r_cut,
                   AcsfScratch& scratch) {
    AcsfPairList& p4 = scratch.g4_pairs;
    AcsfPairList& p5 = scratch.g5_pairs;
    const double* r = rec.r.data();
    const double* pair_r = scratch.pair_r.data();
    const std::int32_t* species = rec.species.data();
    std::fill(p4.group_end.begin(), p4.group_end.end(), 0);
    std::fill(p5.group_end.begin(), p5.group_end.end(), 0);
    for (std::size_t k = 0; k < j; ++k) {
        if (r[k] == 0.0) continue;
        ++p5.group_end[species[k]];
        if (pair_r[k] <= r_cut) ++p4.group_end[species[k]];
    }
    start_groups(p4);
    start_groups(p5);
    const double r2j = rec.r2[j];
    for (std::size_t k = 0; k < j; ++k) {
        if (r[k] == 0.0) continue;
        if (g5) {
            const std::size_t slot = p5.cursor[species[k]]++;
            p5.k[slot] = static_cast<std::int32_t>(k);
            p5.fck[slot] = rec.fc[k];
            p5.cosines[slot] = scratch.pair_cos[k];
            p5.sums[slot] = r2j + rec.r2[k];
        }
        if (g4 && pair_r[k] <= r_cut) {
            const std::size_t slot = p4.cursor[species[k]]++;
            p4.k[slot] = static_cast<std::int32_t>(k);
            p4.fck[slot] = rec.fc[k];
            p4.cosines[slot] = scratch.pair_cos[k];
            p4.sums[slot] = r2j + rec.r2[k] + scratch.pair_r2[k];
            p4.pair_cutoff[slot] = cosine_cutoff(pair_r[k], r_cut);
        }
    }
}

// exp(-eta * sum) for every distinct eta and 2 A(cos theta) for every
// distinct shape of the listed pairs, stored [eta or shape][pair] with a
// stride of `capacity`: one tight loop per factor.
void evaluate_shared_factors(const AcsfAngularTerms& terms, AcsfPairList& pairs) {
    const std::size_t count = pairs.count, stride = pairs.capacity;
    const ExpFunction exp = platform_math().exp;
    for (std::size_t e = 0; e < terms.etas.size(); ++e) {
        const double eta = terms.etas[e];
        double* out = pairs.exponentials.data() + e * stride;
        for (std::size_t i = 0; i < count; ++i) out[i] = exp(-eta * pairs.sums[i]);
    }
    for (std::size_t s = 0; s < terms.zetas.size(); ++s) {
        const double zeta = terms.zetas[s], lambda = terms.lambdas[s];
        double* out = pairs.powers.data() + s * stride;
        for (std::size_t i = 0; i < count; ++i) out[i] = 2.0 * acsf_angular_power(pairs.cosines[i], zeta, lambda);
    }
}

// One term over the pairs [begin, end): 2A exp(..) fc(r_j) fc(r_k) [fc(r_jk)]
// added in pair order to a running value held in a register.
template <bool WithPairCutoff>
double add_term(double value, const double* power, const double* exponential, double fcj, const AcsfPairList& pairs,
                std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
        double term = power[i] * exponential[i] * fcj * pairs.fck[i];
        if constexpr (WithPairCutoff) term *= pairs.pair_cutoff[i];
        value += term;
    }
    return value;
}

// Two terms at once, so that the two dependent chains of additions overlap.
template <bool WithPairCutoff>
void add_two_terms(double* values, const double* power0, const double* exponential0, const double* power1,
                   const double* exponential1, double fcj, const AcsfPairList& pairs, std::size_t begin,
                   std::size_t end) {
    double v0 = values[0], v1 = values[1];
    for (std::size_t i = begin; i < end; ++i) {
        double t0 = power0[i] * exponential0[i] * fcj * pairs.fck[i];
        double t1 = power1[i] * exponential1[i] * fcj * pairs.fck[i];
        if constexpr (WithPairCutoff) {
            t0 *= pairs.pair_cutoff[i];
            t1 *= pairs.pair_cutoff[i];
        }
        v0 += t0;
        v1 += t1;
    }
    values[0] = v0;
    values[1] = v1;
}

// Adds every term of one family for the pairs of record j, species group by
// species group; each value receives its pairs in ascending k.
template <bool WithPairCutoff>
void add_family(const AcsfAngularTerms& terms, const AcsfPairList& pairs, const AcsfLayout& layout, std::int32_t sj,
                double fcj, double* angular, std::size_t term_offset) {
    const std::size_t stride = pairs.capacity;
    const auto power = [&](std::size_t t) { return pairs.powers.data() + terms.shape_of[t] * stride; };
    const auto exponential = [&](std::size_t t) { return pairs.exponentials.data() + terms.eta_of[t] * stride; };
    std::size_t begin = 0;
    for (std::size_t s = 0; s < pairs.group_end.size(); ++s) {
        const std::size_t end = pairs.group_end[s];
        if (begin == end) continue;
        double* block = angular + AcsfLayout::pair_index(sj, static_cast<std::int64_t>(s)) * layout.angular_stride +
                        term_offset;
        std::size_t t = 0;
        for (; t + 1 < terms.size(); t += 2)
            add_two_terms<WithPairCutoff>(block + t, power(t), exponential(t), power(t + 1), exponential(t + 1), fcj,
                                          pairs, begin, end);
        if (t < terms.size())
            block[t] = add_term<WithPairCutoff>(block[t], power(t), exponential(t), fcj, pairs, begin, end);
        begin = end;
    }
}

// Each unordered pair of kept records once: the later record (j) outer,
// every earlier one (k) inner, in ascending order for every value.
void add_angular_terms(const AcsfSetup& setup, AcsfScratch& scratch, double* row) {
    const AcsfLayout& layout = setup.layout;
    const AcsfNeighborRecords& rec = scratch.records;
    const auto species = static_cast<std::size_t>(layout.species);
    double* angular = row + layout.angular_offset;
    const std::size_t n = rec.size();
    scratch.pair_r2.resize(n);
    scratch.pair_r.resize(n);
    scratch.pair_cos.resize(n);
    const bool g4 = setup.g4.size() > 0, g5 = setup.g5.size() > 0;
    prepare_pairs(scratch.g4_pairs, setup.g4, n, species);
    prepare_pairs(scratch.g5_pairs, setup.g5, n, species);
    for (std::size_t j = 1; j < n; ++j) {
        if (rec.r[j] == 0.0) continue;
        pair_geometry(j, rec.x[j], rec.y[j], rec.z[j], rec.r[j], rec.x.data(), rec.y.data(), rec.z.data(),
                      rec.r.data(), scratch.pair_r2.data(), scratch.pair_r.data(), scratch.pair_cos.data());
        collect_pairs(rec, j, g4, g5, setup.r_cut, scratch);
        if (g4) {
            evaluate_shared_factors(setup.g4, scratch.g4_pairs);
            add_family<true>(setup.g4, scratch.g4_pairs, layout, rec.species[j], rec.fc[j], angular, 0);
        }
        if (g5) {
            evaluate_shared_factors(setup.g5, scratch.g5_pairs);
            add_family<false>(setup.g5, scratch.g5_pairs, layout, rec.species[j], rec.fc[j], angular,
                              setup.g4.size());
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
    if (angular) scratch.records.reserve(static_cast<std::size_t>(end - begin));

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
