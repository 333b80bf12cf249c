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

// Coefficient tables for two consecutive neighbours handled side by side:
// for a centre type ti and neighbour types (ta, tb), c(ti, ta, n, k) in lane 0
// and c(ti, tb, n, k) in lane 1, at ((ti T + ta) T + tb) block + k N + n
// (N descriptor values, block = (K) N). They grow with the cube of the type
// count, so large models go without them (empty result).
constexpr std::size_t max_paired_table_bytes = std::size_t{1} << 20;

std::vector<double> paired_coefficients(const std::vector<double>& pair_order, int types, int n_count, int k_count) {
    const auto t = static_cast<std::size_t>(types);
    const auto ns = static_cast<std::size_t>(n_count);
    const auto ks = static_cast<std::size_t>(k_count);
    const std::size_t values = 2 * t * t * t * ns * ks;
    if (values > max_paired_table_bytes / sizeof(double)) return {};
    std::vector<double> out(values);
    for (std::size_t ti = 0; ti < t; ++ti)
        for (std::size_t ta = 0; ta < t; ++ta)
            for (std::size_t tb = 0; tb < t; ++tb)
                for (std::size_t k = 0; k < ks; ++k)
                    for (std::size_t n = 0; n < ns; ++n) {
                        const std::size_t at = 2 * ((((ti * t + ta) * t + tb) * ks + k) * ns + n);
                        out[at] = pair_order[((ti * t + ta) * ns + n) * ks + k];
                        out[at + 1] = pair_order[((ti * t + tb) * ns + n) * ks + k];
                    }
    return out;
}

// `value` in every lane of a Value (a double or a vector of them).
template <class Value>
[[nodiscard]] inline __attribute__((always_inline)) Value filled_like(const Value&, double value) noexcept {
    if constexpr (std::is_same_v<Value, double>) return value;
    else return Value{} + value;
}

// Cutoff function fc = cos(pi r / rc) / 2 + 1/2 of every kept neighbour,
// taken in one run so that the library calls are not interleaved with other
// work. A neighbour with the same distance and cutoff as a radial entry
// reuses that entry's value.
void cutoff_functions(Contributions& c, const Contributions* radial = nullptr) {
    const std::int64_t count = c.count;
    const double* distance = c.distance.data();
    const double* cutoff = c.cutoff.data();
    double* fc = c.cutoff_function.data();
    if (radial == nullptr) {
        for (std::int64_t i = 0; i < count; ++i) fc[i] = 0.5 * std::cos(pi * distance[i] / cutoff[i]) + 0.5;
    } else {
        const std::int64_t* same = c.radial_index.data();
        const double* radial_fc = radial->cutoff_function.data();
        for (std::int64_t i = 0; i < count; ++i)
            fc[i] = same[i] >= 0 ? radial_fc[same[i]] : 0.5 * std::cos(pi * distance[i] / cutoff[i]) + 0.5;
    }
}

// Basis values f[k] = (t_k + 1) / 2 * fc, k = 0 .. b, handed to take(k, f[k])
// as they are formed; t_k are the Chebyshev polynomials of
// x = 2 (r/rc - 1)^2 - 1. On Lanes, two neighbours at a time.
template <int FixedBasis, class Value, class Take>
inline __attribute__((always_inline)) void chebyshev_basis(Value fc, Value ratio, int basis_size, Take&& take) {
    const int b = FixedBasis >= 0 ? FixedBasis : basis_size;
    const auto q = ratio - 1.0;
    const auto x = 2.0 * (q * q) - 1.0;
    take(0, fc);
    if (b < 1) return;
    // (t + 1) (fc / 2) is 0.5 (t + 1) fc to the last bit: halving is exact
    // (the values stay far above the subnormal range), and it commutes with
    // the rounding of the product.
    const auto half_fc = 0.5 * fc;
    take(1, (x + 1.0) * half_fc);
    auto t_previous = filled_like(x, 1.0);
    auto t = x;
    for (int k = 2; k <= b; ++k) {
        const auto t_next = 2.0 * x * t - t_previous;
        t_previous = t;
        t = t_next;
        take(k, (t + 1.0) * half_fc);
    }
}

// Basis values f[0 .. b] of every kept neighbour into c.basis (b + 1 per
// neighbour), for the general path.
template <int FixedBasis>
void expand_basis(Contributions& c, int basis_size) {
    const int b = FixedBasis >= 0 ? FixedBasis : basis_size;
    const auto row = static_cast<std::size_t>(b) + 1;
    const std::int64_t count = c.count;
    const double* distance = c.distance.data();
    const double* cutoff = c.cutoff.data();
    const double* fc = c.cutoff_function.data();
    double* f = c.basis.data();
    std::int64_t i = 0;
    for (; i + 1 < count; i += 2, f += 2 * row) {
        const Lanes fc_pair = {fc[i], fc[i + 1]};
        const Lanes r_pair = {distance[i], distance[i + 1]};
        const Lanes rc_pair = {cutoff[i], cutoff[i + 1]};
        double* first = f;
        double* second = f + row;
        chebyshev_basis<FixedBasis>(fc_pair, r_pair / rc_pair, b, [&](int k, Lanes value) {
            first[k] = value[0];
            second[k] = value[1];
        });
    }
    if (i < count) chebyshev_basis<FixedBasis>(fc[i], distance[i] / cutoff[i], b, [&](int k, double value) { f[k] = value; });
}

// Every kept neighbour's basis sums sum_k c(n, k) f[k] (k = 0 .. b in order)
// for all lane pairs of n, handed to sink(i, sums) in list order. The basis
// values never leave registers: each is used as soon as it is formed.
template <int FixedBasis, int Pairs, class Sink>
void contract_basis(const Contributions& c, const Lanes* coefficients, std::size_t type_stride, int basis_size,
                    Sink&& sink) {
    static_assert(Pairs > 0);
    const std::int64_t count = c.count;
    const double* distance = c.distance.data();
    const double* cutoff = c.cutoff.data();
    const double* fc = c.cutoff_function.data();
    const std::int32_t* type = c.type.data();
    const auto accumulate = [](Lanes (&sums)[Pairs], const Lanes* ck, int k, Lanes fk) {
        for (int q = 0; q < Pairs; ++q) sums[q] = k == 0 ? ck[q] * fk : sums[q] + ck[q] * fk;
    };
    std::int64_t i = 0;
    for (; i + 1 < count; i += 2) {
        const Lanes* first_c = coefficients + static_cast<std::size_t>(type[i]) * type_stride;
        const Lanes* second_c = coefficients + static_cast<std::size_t>(type[i + 1]) * type_stride;
        Lanes first[Pairs], second[Pairs];
        const Lanes fc_pair = {fc[i], fc[i + 1]};
        const Lanes r_pair = {distance[i], distance[i + 1]};
        const Lanes rc_pair = {cutoff[i], cutoff[i + 1]};
        chebyshev_basis<FixedBasis>(fc_pair, r_pair / rc_pair, basis_size, [&](int k, Lanes f) {
            const auto offset = static_cast<std::size_t>(k) * Pairs;
            accumulate(first, first_c + offset, k, Lanes{f[0], f[0]});
            accumulate(second, second_c + offset, k, Lanes{f[1], f[1]});
        });
        sink(i, first);
        sink(i + 1, second);
    }
    if (i < count) {
        const Lanes* only_c = coefficients + static_cast<std::size_t>(type[i]) * type_stride;
        Lanes only[Pairs];
        chebyshev_basis<FixedBasis>(fc[i], distance[i] / cutoff[i], basis_size, [&](int k, double f) {
            accumulate(only, only_c + static_cast<std::size_t>(k) * Pairs, k, Lanes{f, f});
        });
        sink(i, only);
    }
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

// Runs body(std::integral_constant<int, V>) with V = value for the small
// values 1 to 8, fixed at compile time, and V = 0 (value read at run time)
// otherwise.
template <class Body>
inline void with_small_constant(std::size_t value, Body&& body) {
    switch (value) {
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

// The same sums with two consecutive neighbours in the two lanes and all N
// descriptor values in registers: the basis values come out of the
// recurrence already in lanes, and each coefficient pair is one load.
// `paired` is the table of one centre type; sink(i, g, lane) receives
// neighbour i's sums from lane `lane` of g[0 .. N-1]. Starts at neighbour
// `first`.
template <int FixedBasis, int Count, class Sink>
void contract_neighbour_pairs(const Contributions& c, const Lanes* paired, int types, int basis_size,
                              std::int64_t first, Sink&& sink) {
    static_assert(Count > 0);
    const int b = FixedBasis >= 0 ? FixedBasis : basis_size;
    const auto block = (static_cast<std::size_t>(b) + 1) * Count;
    const auto t = static_cast<std::size_t>(types);
    const std::int64_t count = c.count;
    const double* distance = c.distance.data();
    const double* cutoff = c.cutoff.data();
    const double* fc = c.cutoff_function.data();
    const std::int32_t* type = c.type.data();
    const auto contract = [&](const Lanes* table, Lanes fc_pair, Lanes ratio, Lanes (&g)[Count]) {
        chebyshev_basis<FixedBasis>(fc_pair, ratio, b, [&](int k, Lanes f) {
            const Lanes* ck = table + static_cast<std::size_t>(k) * Count;
            for (int n = 0; n < Count; ++n) g[n] = k == 0 ? ck[n] * f : g[n] + ck[n] * f;
        });
    };
    std::int64_t i = first;
    for (; i + 1 < count; i += 2) {
        const auto pair = static_cast<std::size_t>(type[i]) * t + static_cast<std::size_t>(type[i + 1]);
        const Lanes r_pair = {distance[i], distance[i + 1]};
        const Lanes rc_pair = {cutoff[i], cutoff[i + 1]};
        Lanes g[Count];
        contract(paired + pair * block, Lanes{fc[i], fc[i + 1]}, r_pair / rc_pair, g);
        sink(i, g, 0);
        sink(i + 1, g, 1);
    }
    if (i < count) {
        // The last one alone, in both lanes.
        const auto pair = static_cast<std::size_t>(type[i]) * (t + 1);
        const double ratio = distance[i] / cutoff[i];
        Lanes g[Count];
        contract(paired + pair * block, Lanes{fc[i], fc[i]}, Lanes{ratio, ratio}, g);
        sink(i, g, 0);
    }
}

#if defined(__x86_64__)
// Four lanes: two neighbour pairs at once in 256-bit registers, so that the
// two recurrence chains overlap. Every lane does the operations of the
// two-lane code, so the sums are the same. Returns the first neighbour left
// for the two-lane code.
using Quad = double __attribute__((vector_size(32), aligned(8)));

template <int FixedBasis, int Count, class Sink>
__attribute__((target("avx2"))) std::int64_t contract_neighbour_quads(const Contributions& c, const Lanes* paired,
                                                                      int types, int basis_size, Sink&& sink) {
    const int b = FixedBasis >= 0 ? FixedBasis : basis_size;
    const auto block = (static_cast<std::size_t>(b) + 1) * Count;
    const auto t = static_cast<std::size_t>(types);
    const std::int64_t count = c.count;
    const double* distance = c.distance.data();
    const double* cutoff = c.cutoff.data();
    const double* fc = c.cutoff_function.data();
    const std::int32_t* type = c.type.data();
    std::int64_t i = 0;
    for (; i + 3 < count; i += 4) {
        const Lanes* low = paired + (static_cast<std::size_t>(type[i]) * t + static_cast<std::size_t>(type[i + 1])) * block;
        const Lanes* high =
            paired + (static_cast<std::size_t>(type[i + 2]) * t + static_cast<std::size_t>(type[i + 3])) * block;
        const Quad r = {distance[i], distance[i + 1], distance[i + 2], distance[i + 3]};
        const Quad rc = {cutoff[i], cutoff[i + 1], cutoff[i + 2], cutoff[i + 3]};
        const Quad fcq = {fc[i], fc[i + 1], fc[i + 2], fc[i + 3]};
        Quad g[Count];
        chebyshev_basis<FixedBasis>(fcq, r / rc, b, [&](int k, Quad f) {
            const Lanes* low_k = low + static_cast<std::size_t>(k) * Count;
            const Lanes* high_k = high + static_cast<std::size_t>(k) * Count;
            for (int n = 0; n < Count; ++n) {
                const Quad coefficient = {low_k[n][0], low_k[n][1], high_k[n][0], high_k[n][1]};
                g[n] = k == 0 ? coefficient * f : g[n] + coefficient * f;
            }
        });
        for (int lane = 0; lane < 4; ++lane) sink(i + lane, g, lane);
    }
    return i;
}
#endif

// Contracts every kept neighbour, four at a time where the processor allows.
template <int FixedBasis, int Count, class Sink>
void contract_neighbours(const Contributions& c, const Lanes* paired, int types, int basis_size, Sink&& sink) {
    std::int64_t first = 0;
#if defined(__x86_64__)
    static const bool four_lanes = __builtin_cpu_supports("avx2");
    if (four_lanes) first = contract_neighbour_quads<FixedBasis, Count>(c, paired, types, basis_size, sink);
#endif
    contract_neighbour_pairs<FixedBasis, Count>(c, paired, types, basis_size, first, sink);
}

// Runs body(std::integral_constant<int, N>, table) with the descriptor count
// N fixed at compile time and `table` the paired coefficients of one centre
// type; false (nothing run) when there are no paired tables or N is not 1 to 8.
template <class Body>
bool with_paired_table(const std::vector<double>& paired, std::size_t centre_type, int types, int basis_size,
                       int n_count, Body&& body) {
    if (paired.empty() || n_count < 1) return false;
    bool ran = false;
    with_small_constant(static_cast<std::size_t>(n_count), [&](auto fixed) {
        constexpr int count = decltype(fixed)::value;
        if constexpr (count > 0) {
            const auto t = static_cast<std::size_t>(types);
            const auto block = (static_cast<std::size_t>(basis_size) + 1) * count;
            body(fixed, reinterpret_cast<const Lanes*>(paired.data()) + centre_type * t * t * block);
            ran = true;
        }
    });
    return ran;
}

// Radial sums by neighbour pairs; false when the tables or the count do not allow it.
template <int RadialBasis>
bool accumulate_radial_by_neighbour_pairs(const Contributions& radial, const Scratch& scratch,
                                          std::size_t centre_type, int types, int basis_size, int radial_count,
                                          double* sums) {
    return with_paired_table(scratch.paired_radial, centre_type, types, basis_size, radial_count,
                             [&](auto fixed, const Lanes* table) {
                                 constexpr int count = decltype(fixed)::value;
                                 double total[count];
                                 for (int n = 0; n < count; ++n) total[n] = sums[n];
                                 contract_neighbours<RadialBasis, count>(
                                     radial, table, types, basis_size, [&](std::int64_t, const auto& g, int lane) {
                                         for (int n = 0; n < count; ++n) total[n] += g[n][lane];
                                     });
                                 for (int n = 0; n < count; ++n) sums[n] = total[n];
                             });
}

// Angular basis sums by neighbour pairs into expansion[i padded + n]; false
// when the tables or the count do not allow it.
template <int AngularBasis>
bool angular_expansions_by_neighbour_pairs(const Contributions& angular, const Scratch& scratch,
                                           std::size_t centre_type, int types, int basis_size, int angular_count,
                                           std::size_t padded, double* expansion) {
    return with_paired_table(scratch.paired_angular, centre_type, types, basis_size, angular_count,
                             [&](auto fixed, const Lanes* table) {
                                 constexpr int count = decltype(fixed)::value;
                                 contract_neighbours<AngularBasis, count>(
                                     angular, table, types, basis_size, [&](std::int64_t i, const auto& g, int lane) {
                                         double* out = expansion + static_cast<std::size_t>(i) * padded;
                                         for (int n = 0; n < count; ++n) out[n] = g[n][lane];
                                     });
                             });
}

// Radial sums q_R[n] += sum_k c(n, k) f[k] over the neighbours in list order.
template <int RadialBasis, int Pairs>
void accumulate_radial_pairs(Contributions& radial, const double* pair_coefficients, std::size_t block,
                             int basis_size, std::size_t pairs, Lanes* sums) {
    const Lanes* coefficients = reinterpret_cast<const Lanes*>(pair_coefficients);
    const std::size_t type_stride = block / 2;
    if constexpr (Pairs > 0) {
        Lanes total[Pairs];
        for (int q = 0; q < Pairs; ++q) total[q] = sums[q];
        contract_basis<RadialBasis, Pairs>(radial, coefficients, type_stride, basis_size,
                                           [&](std::int64_t, const Lanes (&one)[Pairs]) {
                                               for (int q = 0; q < Pairs; ++q) total[q] += one[q];
                                           });
        for (int q = 0; q < Pairs; ++q) sums[q] = total[q];
    } else {
        const int b = RadialBasis >= 0 ? RadialBasis : basis_size;
        const auto row = static_cast<std::size_t>(b) + 1;
        expand_basis<RadialBasis>(radial, b);
        const std::int32_t* type = radial.type.data();
        const double* basis = radial.basis.data();
        for (std::size_t q = 0; q < pairs; ++q) {
            const Lanes* c = coefficients + q;
            Lanes sum = sums[q];
            for (std::int64_t i = 0; i < radial.count; ++i)
                sum += basis_sum<RadialBasis>(c + static_cast<std::size_t>(type[i]) * type_stride, basis + i * row,
                                              b, pairs);
            sums[q] = sum;
        }
    }
}

template <int RadialBasis>
void accumulate_radial(Contributions& radial, const double* pair_coefficients, std::size_t block,
                       int basis_size, std::size_t pairs, Lanes* sums) {
    with_small_constant(pairs, [&](auto fixed) {
        accumulate_radial_pairs<RadialBasis, decltype(fixed)::value>(radial, pair_coefficients, block, basis_size,
                                                                     pairs, sums);
    });
}

// g_n = sum_k c(n, k) f[k] of every angular neighbour, lane pairs q of n at
// expansion[i pairs + q].
template <int AngularBasis, int Pairs>
void angular_expansions_pairs(Contributions& angular, const double* pair_coefficients, std::size_t block,
                              int basis_size, std::size_t pairs, Lanes* expansion) {
    const Lanes* coefficients = reinterpret_cast<const Lanes*>(pair_coefficients);
    if constexpr (Pairs > 0) {
        contract_basis<AngularBasis, Pairs>(angular, coefficients, block / 2, basis_size,
                                            [&](std::int64_t i, const Lanes (&one)[Pairs]) {
                                                Lanes* out = expansion + static_cast<std::size_t>(i) * Pairs;
                                                for (int q = 0; q < Pairs; ++q) out[q] = one[q];
                                            });
    } else {
        const auto row = static_cast<std::size_t>(AngularBasis >= 0 ? AngularBasis : basis_size) + 1;
        expand_basis<AngularBasis>(angular, basis_size);
        for (std::int64_t i = 0; i < angular.count; ++i) {
            const Lanes* c = coefficients + static_cast<std::size_t>(angular.type[i]) * (block / 2);
            for (std::size_t q = 0; q < pairs; ++q)
                expansion[static_cast<std::size_t>(i) * pairs + q] =
                    basis_sum<AngularBasis>(c + q, angular.basis.data() + i * row, basis_size, pairs);
        }
    }
}

template <int AngularBasis>
void angular_expansions(Contributions& angular, const double* pair_coefficients, std::size_t block,
                        int basis_size, std::size_t pairs, Lanes* expansion) {
    with_small_constant(pairs, [&](auto fixed) {
        angular_expansions_pairs<AngularBasis, decltype(fixed)::value>(angular, pair_coefficients, block, basis_size,
                                                                       pairs, expansion);
    });
}

// Angular sums S_n[j] += g_n y[j] over the neighbours in list order, with y
// the polynomial factors of the neighbour direction and g_n its basis sums.
template <int AngularBasis, int LMax>
void accumulate_angular(Contributions& angular, const NeighborGraph& graph, const Scratch& scratch,
                        std::size_t centre_type, int types, const double* pair_coefficients, std::size_t block,
                        int basis_size, std::size_t pairs, int angular_count, int l_max, std::size_t stride,
                        double* angular_sums) {
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
    if (!angular_expansions_by_neighbour_pairs<AngularBasis>(angular, scratch, centre_type, types, b, angular_count,
                                                             2 * pairs, angular.expansion.data()))
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
    const bool shares_cutoffs = scratch.shares_cutoffs[static_cast<std::size_t>(centre_type)] != 0;
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
        // Every candidate is written to the next free place of both lists and
        // kept by advancing the count: whether a neighbour lies inside the
        // shorter angular cutoff is close to random, and a branch on it would
        // often be mispredicted.
        const bool angular_wanted = l_max > 0;
        for (std::int64_t e = graph.row_offsets[row]; e < end; ++e) {
            const double d2 = distances_squared[e];
            const std::int32_t type = types[neighbors[e]];
            const double r = std::sqrt(d2);
            const double rc_radial = radial_cutoffs[type];
            const double rc_angular = angular_cutoffs[type];
            // d2 <= 0: the atom's own entry, or a coincident image
            const bool radial_inside = d2 > 0.0 && r < rc_radial;
            const bool angular_inside = angular_wanted && d2 > 0.0 && r < rc_angular;
            radial_distance[radial_found] = r;
            radial_cutoff[radial_found] = rc_radial;
            radial_type[radial_found] = type;
            radial_found += radial_inside;
            angular_distance[angular_found] = r;
            angular_cutoff[angular_found] = rc_angular;
            angular_type[angular_found] = type;
            angular_entry[angular_found] = e;
            if (shares_cutoffs)
                angular_radial_index[angular_found] =
                    radial_inside && rc_angular == rc_radial ? radial_found - 1 : std::int64_t{-1};
            angular_found += angular_inside;
        }
        radial.count = radial_found;
        angular.count = angular_found;
    }

    auto* radial_sums = reinterpret_cast<Lanes*>(scratch.radial_sums.data());
    std::fill(scratch.radial_sums.begin(), scratch.radial_sums.end(), 0.0);
    cutoff_functions(radial);
    if (!accumulate_radial_by_neighbour_pairs<RadialBasis>(radial, scratch, static_cast<std::size_t>(centre_type),
                                                           model.num_types, radial_basis, radial_count,
                                                           scratch.radial_sums.data()))
        accumulate_radial<RadialBasis>(radial, scratch.radial_coefficients.data() + pair_row * radial_block,
                                       radial_block, radial_basis, radial_pairs, radial_sums);

    double* angular_sums = scratch.angular_sums.data();
    std::fill(scratch.angular_sums.begin(), scratch.angular_sums.end(), 0.0);
    if (angular.count > 0) {
        cutoff_functions(angular, shares_cutoffs ? &radial : nullptr);
        accumulate_angular<AngularBasis, LMax>(angular, graph, scratch, static_cast<std::size_t>(centre_type),
                                               model.num_types,
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
    scratch_.paired_radial = paired_coefficients(model.pair_radial_coefficients, model.num_types, radial_count,
                                                 model.basis_size_radial + 1);
    scratch_.paired_angular = paired_coefficients(model.pair_angular_coefficients, model.num_types, angular_count,
                                                  model.basis_size_angular + 1);
    scratch_.radial_sums.assign(2 * lane_pairs(radial_count), 0.0);
    const auto types = static_cast<std::size_t>(model.num_types);
    scratch_.shares_cutoffs.assign(types, 0);
    for (std::size_t p = 0; p < types * types; ++p)
        if (model.pair_radial_cutoffs[p] == model.pair_angular_cutoffs[p]) scratch_.shares_cutoffs[p / types] = 1;
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
