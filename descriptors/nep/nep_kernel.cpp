#include "descriptors/nep/nep_kernel.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <type_traits>

#include "descriptors/nep/nep_angular.hpp"

namespace tandril {
namespace {

using nep::angular_sum_count;
using Contributions = NepKernel::Contributions;
using Scratch = NepKernel::Scratch;

constexpr double pi = 3.141592653589793;
constexpr int dynamic_size = -1;

// Two lanes of the descriptor index: the same IEEE operations as scalar code,
// two at a time. Unaligned access is allowed.
using Lanes = double __attribute__((vector_size(16), aligned(8)));

[[nodiscard]] constexpr std::size_t lane_pairs(int count) noexcept {
    return (static_cast<std::size_t>(count) + 1) / 2;
}

// Pair-ordered coefficients (n-major) regrouped per pair with n innermost and
// padded with zeros to an even count, so that all n are summed lane-wise.
std::vector<double> lane_ordered(const std::vector<double>& pair_order, int types, int n_count, int k_count) {
    const std::size_t padded = 2 * lane_pairs(n_count);
    const std::size_t pairs = static_cast<std::size_t>(types) * static_cast<std::size_t>(types);
    const auto ns = static_cast<std::size_t>(n_count);
    const auto ks = static_cast<std::size_t>(k_count);
    std::vector<double> out(pairs * ks * padded, 0.0);
    for (std::size_t p = 0; p < pairs; ++p)
        for (std::size_t n = 0; n < ns; ++n)
            for (std::size_t k = 0; k < ks; ++k)
                out[(p * ks + k) * padded + n] = pair_order[(p * ns + n) * ks + k];
    return out;
}

[[nodiscard]] inline double filled_like(double, double value) noexcept { return value; }
[[nodiscard]] inline Lanes filled_like(Lanes, double value) noexcept { return Lanes{value, value}; }

// Basis values f[0 .. b] of every kept neighbour: the cosine cutoff
// fc = cos(pi r / rc) / 2 + 1/2 times (t_k + 1) / 2, with t_k the Chebyshev
// polynomials of x = 2 (r/rc - 1)^2 - 1. The cosines are taken in one run so
// that the library calls are not interleaved with other work; the
// recurrences run for two neighbours at a time.
template <int FixedBasis>
void expand_basis(Contributions& c, int basis_size, const Contributions* radial = nullptr) {
    const int b = FixedBasis >= 0 ? FixedBasis : basis_size;
    const auto row = static_cast<std::size_t>(b) + 1;
    const std::int64_t count = c.count;
    const double* distance = c.distance.data();
    const double* cutoff = c.cutoff.data();
    double* fc = c.cutoff_function.data();
    if (radial == nullptr) {
        for (std::int64_t i = 0; i < count; ++i) fc[i] = 0.5 * std::cos(pi * distance[i] / cutoff[i]) + 0.5;
    } else {
        // Same distance and cutoff as a radial entry: the same value, without a second cosine.
        const std::int64_t* same = c.radial_index.data();
        const double* radial_fc = radial->cutoff_function.data();
        for (std::int64_t i = 0; i < count; ++i)
            fc[i] = same[i] >= 0 ? radial_fc[same[i]] : 0.5 * std::cos(pi * distance[i] / cutoff[i]) + 0.5;
    }

    const auto expand = [b](auto fc_i, auto ratio, auto store) {
        const auto q = ratio - 1.0;
        const auto x = 2.0 * (q * q) - 1.0;
        store(0, fc_i);
        if (b < 1) return;
        store(1, 0.5 * (x + 1.0) * fc_i);
        auto t_previous = filled_like(x, 1.0);
        auto t = x;
        for (int k = 2; k <= b; ++k) {
            const auto t_next = 2.0 * x * t - t_previous;
            t_previous = t;
            t = t_next;
            store(k, 0.5 * (t + 1.0) * fc_i);
        }
    };
    double* f = c.basis.data();
    std::int64_t i = 0;
    for (; i + 1 < count; i += 2, f += 2 * row) {
        const Lanes fc_pair = {fc[i], fc[i + 1]};
        const Lanes r_pair = {distance[i], distance[i + 1]};
        const Lanes rc_pair = {cutoff[i], cutoff[i + 1]};
        double* first = f;
        double* second = f + row;
        expand(fc_pair, r_pair / rc_pair, [&](int k, Lanes value) {
            first[k] = value[0];
            second[k] = value[1];
        });
    }
    if (i < count) expand(fc[i], distance[i] / cutoff[i], [&](int k, double value) { f[k] = value; });
}

// sum_k c(n, k) f[k] for the lane pair q (n = 2q, 2q + 1), k = 0 .. b in order.
template <int FixedBasis>
inline Lanes basis_sum(const Lanes* c, const double* f, int basis_size, std::size_t pairs) noexcept {
    const int b = FixedBasis >= 0 ? FixedBasis : basis_size;
    Lanes sum = c[0] * f[0];
    for (int k = 1; k <= b; ++k) sum += c[static_cast<std::size_t>(k) * pairs] * f[k];
    return sum;
}

bool is_l4_four_five(const NepModel& model) {
    const auto& f = model.angular_flags;
    return model.l_max == 4 && f[0] && f[1] && !f[2] && !f[3] && !f[4] && !f[5];
}

// Slots of one angular index n, scaled, into the row.
template <int LMax, bool FusedSlots>
inline void write_angular_slots(const NepModel& model, const double* S, int n, double* angular_out,
                                const double* angular_scales) noexcept {
    const int angular_count = model.n_max_angular + 1;
    const auto put = [&](int slot, double value) {
        const int d = slot * angular_count + n;
        angular_out[d] = value * angular_scales[d];
    };
    if constexpr (FusedSlots) {
        // The common setting (orders 1 to 4, four-body and five-body terms)
        // in one straight-line pass; shared squares are formed once.
        put(0, nep::three_body_invariant(1, S));
        put(1, nep::three_body_invariant(2, S));
        put(2, nep::three_body_invariant(3, S));
        put(3, nep::three_body_invariant(4, S));
        put(4, nep::four_body_term(S));
        put(5, nep::five_body_term(S));
    } else {
        const int l_max = LMax > 0 ? LMax : model.l_max;
        int slot = 0;
        for (int l = 1; l <= l_max; ++l) put(slot++, nep::three_body_invariant(l, S));
        for (std::size_t flag = 0; flag < nep_angular_flag_count; ++flag)
            if (model.angular_flags[flag]) put(slot++, nep::many_body_terms[flag](S));
    }
}

// Runs body(std::integral_constant<int, P>) with the lane pair count P fixed
// at compile time for the common small counts, and P = 0 (count read at run
// time) otherwise.
template <class Body>
inline void with_fixed_pairs(std::size_t pairs, Body&& body) {
    switch (pairs) {
        case 1: return body(std::integral_constant<int, 1>{});
        case 2: return body(std::integral_constant<int, 2>{});
        case 3: return body(std::integral_constant<int, 3>{});
        case 4: return body(std::integral_constant<int, 4>{});
        case 5: return body(std::integral_constant<int, 5>{});
        case 6: return body(std::integral_constant<int, 6>{});
        case 7: return body(std::integral_constant<int, 7>{});
        case 8: return body(std::integral_constant<int, 8>{});
        default: return body(std::integral_constant<int, 0>{});
    }
}

// One neighbour's basis sums for every lane pair q: out[q] = sum_k c(k, q) f[k],
// k = 0 .. b in order. `Pairs` fixes the lane pair count at compile time so
// that the sums stay in registers and each f[k] is broadcast once (0: use
// `pairs`).
template <int FixedBasis, int Pairs>
inline void basis_sums(const Lanes* c, const double* f, int basis_size, std::size_t pairs, Lanes* out) noexcept {
    const int b = FixedBasis >= 0 ? FixedBasis : basis_size;
    if constexpr (Pairs > 0) {
        Lanes sum[Pairs];
        const Lanes f0 = {f[0], f[0]};
        for (int q = 0; q < Pairs; ++q) sum[q] = c[q] * f0;
        for (int k = 1; k <= b; ++k) {
            const Lanes fk = {f[k], f[k]};
            const Lanes* ck = c + static_cast<std::size_t>(k) * Pairs;
            for (int q = 0; q < Pairs; ++q) sum[q] += ck[q] * fk;
        }
        for (int q = 0; q < Pairs; ++q) out[q] = sum[q];
    } else {
        for (std::size_t q = 0; q < pairs; ++q) out[q] = basis_sum<FixedBasis>(c + q, f, b, pairs);
    }
}

// Radial sums q_R[n] += sum_k c(n, k) f[k] over the neighbours in list order.
template <int RadialBasis, int Pairs>
void accumulate_radial_pairs(const Contributions& radial, const double* pair_coefficients, std::size_t block,
                             int basis_size, std::size_t pairs, Lanes* sums) {
    const int b = RadialBasis >= 0 ? RadialBasis : basis_size;
    const auto row = static_cast<std::size_t>(b) + 1;
    const std::int64_t count = radial.count;
    const std::int32_t* type = radial.type.data();
    const double* basis = radial.basis.data();
    const Lanes* coefficients = reinterpret_cast<const Lanes*>(pair_coefficients);
    const std::size_t type_stride = block / 2;
    if constexpr (Pairs > 0) {
        Lanes total[Pairs];
        for (int q = 0; q < Pairs; ++q) total[q] = sums[q];
        for (std::int64_t i = 0; i < count; ++i) {
            Lanes one[Pairs];
            basis_sums<RadialBasis, Pairs>(coefficients + static_cast<std::size_t>(type[i]) * type_stride,
                                           basis + i * row, b, pairs, one);
            for (int q = 0; q < Pairs; ++q) total[q] += one[q];
        }
        for (int q = 0; q < Pairs; ++q) sums[q] = total[q];
    } else {
        for (std::size_t q = 0; q < pairs; ++q) {
            const Lanes* c = coefficients + q;
            Lanes sum = sums[q];
            for (std::int64_t i = 0; i < count; ++i)
                sum += basis_sum<RadialBasis>(c + static_cast<std::size_t>(type[i]) * type_stride, basis + i * row,
                                              b, pairs);
            sums[q] = sum;
        }
    }
}

template <int RadialBasis>
void accumulate_radial(const Contributions& radial, const double* pair_coefficients, std::size_t block,
                       int basis_size, std::size_t pairs, Lanes* sums) {
    with_fixed_pairs(pairs, [&](auto fixed) {
        accumulate_radial_pairs<RadialBasis, decltype(fixed)::value>(radial, pair_coefficients, block, basis_size,
                                                                     pairs, sums);
    });
}

// g_n = sum_k c(n, k) f[k] of every angular neighbour, lane pairs q of n at
// expansion[i pairs + q].
template <int AngularBasis, int Pairs>
void angular_expansions_pairs(const Contributions& angular, const double* pair_coefficients, std::size_t block,
                              int basis_size, std::size_t pairs, Lanes* expansion) {
    const auto row = static_cast<std::size_t>(AngularBasis >= 0 ? AngularBasis : basis_size) + 1;
    const Lanes* coefficients = reinterpret_cast<const Lanes*>(pair_coefficients);
    for (std::int64_t i = 0; i < angular.count; ++i)
        basis_sums<AngularBasis, Pairs>(coefficients + static_cast<std::size_t>(angular.type[i]) * (block / 2),
                                        angular.basis.data() + i * row, basis_size, pairs,
                                        expansion + static_cast<std::size_t>(i) * pairs);
}

template <int AngularBasis>
void angular_expansions(const Contributions& angular, const double* pair_coefficients, std::size_t block,
                        int basis_size, std::size_t pairs, Lanes* expansion) {
    with_fixed_pairs(pairs, [&](auto fixed) {
        angular_expansions_pairs<AngularBasis, decltype(fixed)::value>(angular, pair_coefficients, block, basis_size,
                                                                       pairs, expansion);
    });
}

// Angular sums S_n[j] += g_n y[j] over the neighbours in list order, with y
// the polynomial factors of the neighbour direction and g_n its basis sums.
template <int AngularBasis, int LMax>
void accumulate_angular(Contributions& angular, const NeighborGraph& graph, const double* pair_coefficients,
                        std::size_t block, int basis_size, std::size_t pairs, int angular_count, int l_max,
                        std::size_t stride, double* angular_sums) {
    const int b = AngularBasis >= 0 ? AngularBasis : basis_size;
    const std::int64_t count = angular.count;
    const int sums = angular_sum_count(l_max);
    double* factors = angular.factors.data();
    auto* expansion = reinterpret_cast<Lanes*>(angular.expansion.data());
    for (std::int64_t i = 0; i < count; ++i) {
        const double r = angular.distance[i];
        const double* v = graph.vectors.data() + 3 * angular.entry[i];
        nep::angular_factors<LMax>(l_max, v[2] / r, v[0] / r, v[1] / r, factors + i * stride);
    }
    angular_expansions<AngularBasis>(angular, pair_coefficients, block, b, pairs, expansion);
    for (int n = 0; n < angular_count; ++n) {
        double* s = angular_sums + static_cast<std::size_t>(n) * stride;
        const std::size_t q = static_cast<std::size_t>(n) / 2;
        const int lane = n % 2;
        if constexpr (LMax > 0) {
            // The sums of one n stay in registers over all neighbours.
            constexpr int width = angular_sum_count(LMax) / 2;
            Lanes acc[width] = {};
            for (std::int64_t i = 0; i < count; ++i) {
                const double g = expansion[static_cast<std::size_t>(i) * pairs + q][lane];
                const Lanes* y = reinterpret_cast<const Lanes*>(factors + i * stride);
                for (int j = 0; j < width; ++j) acc[j] += g * y[j];
            }
            for (int j = 0; j < width; ++j) {
                s[2 * j] = acc[j][0];
                s[2 * j + 1] = acc[j][1];
            }
        } else {
            for (std::int64_t i = 0; i < count; ++i) {
                const double g = expansion[static_cast<std::size_t>(i) * pairs + q][lane];
                const double* y = factors + i * stride;
                for (int j = 0; j < sums; ++j) s[j] += g * y[j];
            }
        }
    }
}

template <int RadialBasis, int AngularBasis, int LMax, bool FusedSlots>
void compute_row_kernel(const NepModel& model, Scratch& scratch, std::int32_t centre_type, const NeighborGraph& graph,
                        std::int64_t row, const std::int32_t* types, double* out) {
    const int radial_count = model.n_max_radial + 1;
    const int angular_count = model.n_max_angular + 1;
    const int radial_basis = RadialBasis >= 0 ? RadialBasis : model.basis_size_radial;
    const int angular_basis = AngularBasis >= 0 ? AngularBasis : model.basis_size_angular;
    const int l_max = LMax > 0 ? LMax : model.l_max;
    const auto stride = static_cast<std::size_t>(scratch.angular_stride);
    const auto types_count = static_cast<std::size_t>(model.num_types);
    const std::size_t radial_pairs = lane_pairs(radial_count);
    const std::size_t angular_pairs = lane_pairs(angular_count);
    const std::size_t radial_block = 2 * radial_pairs * (static_cast<std::size_t>(radial_basis) + 1);
    const std::size_t angular_block = 2 * angular_pairs * (static_cast<std::size_t>(angular_basis) + 1);

    // Neighbours inside each pair cutoff, in list order.
    const std::size_t pair_row = static_cast<std::size_t>(centre_type) * types_count;
    const double* radial_cutoffs = model.pair_radial_cutoffs.data() + pair_row;
    const double* angular_cutoffs = model.pair_angular_cutoffs.data() + pair_row;
    Contributions& radial = scratch.radial;
    Contributions& angular = scratch.angular;
    {
        double* radial_distance = radial.distance.data();
        double* radial_cutoff = radial.cutoff.data();
        std::int32_t* radial_type = radial.type.data();
        double* angular_distance = angular.distance.data();
        double* angular_cutoff = angular.cutoff.data();
        std::int32_t* angular_type = angular.type.data();
        std::int64_t* angular_entry = angular.entry.data();
        std::int64_t* angular_radial_index = angular.radial_index.data();
        std::int64_t radial_found = 0;
        std::int64_t angular_found = 0;
        const std::int32_t* neighbors = graph.neighbors.data();
        const double* distances_squared = graph.distances_squared.data();
        const std::int64_t end = graph.row_offsets[row + 1];
        for (std::int64_t e = graph.row_offsets[row]; e < end; ++e) {
            const double d2 = distances_squared[e];
            if (d2 <= 0.0) continue;  // the atom's own entry, or a coincident image
            const std::int32_t type = types[neighbors[e]];
            const double r = std::sqrt(d2);
            const double rc_radial = radial_cutoffs[type];
            const bool radial_inside = r < rc_radial;
            if (radial_inside) {
                radial_distance[radial_found] = r;
                radial_cutoff[radial_found] = rc_radial;
                radial_type[radial_found] = type;
                ++radial_found;
            }
            const double rc_angular = angular_cutoffs[type];
            if (l_max > 0 && r < rc_angular) {
                angular_distance[angular_found] = r;
                angular_cutoff[angular_found] = rc_angular;
                angular_type[angular_found] = type;
                angular_entry[angular_found] = e;
                angular_radial_index[angular_found] =
                    radial_inside && rc_angular == rc_radial ? radial_found - 1 : std::int64_t{-1};
                ++angular_found;
            }
        }
        radial.count = radial_found;
        angular.count = angular_found;
    }

    auto* radial_sums = reinterpret_cast<Lanes*>(scratch.radial_sums.data());
    std::fill(scratch.radial_sums.begin(), scratch.radial_sums.end(), 0.0);
    expand_basis<RadialBasis>(radial, radial_basis);
    accumulate_radial<RadialBasis>(radial, scratch.radial_coefficients.data() + pair_row * radial_block, radial_block,
                                   radial_basis, radial_pairs, radial_sums);

    double* angular_sums = scratch.angular_sums.data();
    std::fill(scratch.angular_sums.begin(), scratch.angular_sums.end(), 0.0);
    if (angular.count > 0) {
        expand_basis<AngularBasis>(angular, angular_basis, &radial);
        accumulate_angular<AngularBasis, LMax>(angular, graph,
                                               scratch.angular_coefficients.data() + pair_row * angular_block,
                                               angular_block, angular_basis, angular_pairs, angular_count, l_max,
                                               stride, angular_sums);
    }

    const double* scales = model.descriptor_scales.data();
    for (int n = 0; n < radial_count; ++n) out[n] = radial_sums[n / 2][n % 2] * scales[n];
    for (int n = 0; n < angular_count; ++n)
        write_angular_slots<LMax, FusedSlots>(model, angular_sums + static_cast<std::size_t>(n) * stride, n,
                                              out + radial_count, scales + radial_count);
}

using RowFunction = void (*)(const NepModel&, Scratch&, std::int32_t, const NeighborGraph&, std::int64_t,
                             const std::int32_t*, double*);

// Speed paths: nine basis values and orders up to 4 unrolled, and the common
// four-body plus five-body setting in one pass. They give the same values as
// the general path.
template <int RadialBasis, int AngularBasis>
RowFunction pick_angular_variant(const NepModel& model) {
    if (model.l_max != 4) return compute_row_kernel<RadialBasis, AngularBasis, 0, false>;
    if (is_l4_four_five(model)) return compute_row_kernel<RadialBasis, AngularBasis, 4, true>;
    return compute_row_kernel<RadialBasis, AngularBasis, 4, false>;
}

template <int RadialBasis>
RowFunction pick_angular_basis(const NepModel& model) {
    return model.basis_size_angular == 8 ? pick_angular_variant<RadialBasis, 8>(model)
                                         : pick_angular_variant<RadialBasis, dynamic_size>(model);
}

RowFunction pick_row_function(const NepModel& model) {
    return model.basis_size_radial == 8 ? pick_angular_basis<8>(model) : pick_angular_basis<dynamic_size>(model);
}

void reserve_contributions(Contributions& c, std::int64_t capacity, int basis_size) {
    const auto n = static_cast<std::size_t>(capacity);
    c.distance.resize(n);
    c.cutoff.resize(n);
    c.type.resize(n);
    c.entry.resize(n);
    c.radial_index.resize(n);
    c.cutoff_function.resize(n);
    c.basis.resize(n * (static_cast<std::size_t>(basis_size) + 1));
}

void reserve_angular_terms(Contributions& c, std::int64_t capacity, int n_count, int stride) {
    const auto n = static_cast<std::size_t>(capacity);
    c.expansion.resize(n * 2 * lane_pairs(n_count));
    c.factors.resize(n * static_cast<std::size_t>(stride));
}

}  // namespace

NepKernel::NepKernel(const NepModel& model) : model_(model), row_function_(pick_row_function(model)) {
    const int radial_count = model.n_max_radial + 1;
    const int angular_count = model.n_max_angular + 1;
    scratch_.angular_stride = std::max(angular_sum_count(model.l_max), nep::many_body_sum_count);
    scratch_.radial_coefficients =
        lane_ordered(model.pair_radial_coefficients, model.num_types, radial_count, model.basis_size_radial + 1);
    scratch_.angular_coefficients =
        lane_ordered(model.pair_angular_coefficients, model.num_types, angular_count, model.basis_size_angular + 1);
    scratch_.radial_sums.assign(2 * lane_pairs(radial_count), 0.0);
    scratch_.angular_sums.assign(static_cast<std::size_t>(angular_count) * scratch_.angular_stride, 0.0);
}

void NepKernel::compute_row(std::int32_t centre_type, const NeighborGraph& graph, std::int64_t row,
                            const std::int32_t* types, double* out) {
    // The contribution lists grow to the longest neighbour list met, never per neighbour.
    const std::int64_t length = graph.row_offsets[row + 1] - graph.row_offsets[row];
    if (length > scratch_.capacity) {
        const std::int64_t capacity = std::max(length, 2 * scratch_.capacity);
        reserve_contributions(scratch_.radial, capacity, model_.basis_size_radial);
        reserve_contributions(scratch_.angular, capacity, model_.basis_size_angular);
        reserve_angular_terms(scratch_.angular, capacity, model_.n_max_angular + 1, scratch_.angular_stride);
        scratch_.capacity = capacity;
    }
    row_function_(model_, scratch_, centre_type, graph, row, types, out);
}

}  // namespace tandril
