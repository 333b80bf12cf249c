#include "descriptors/soap/soap_radial_tables.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <span>
#include <unordered_map>

#include "core/platform_math.hpp"

namespace tandril {
namespace {

constexpr double pi = 3.141592653589793;
constexpr double pi_three_halves = 5.568327996831707;
// Distances up to this are the centre atom itself.
constexpr double centre_distance = 1e-14;

std::uint64_t bits_of(double v) noexcept { return v == 0.0 ? 0 : std::bit_cast<std::uint64_t>(v); }

// Hash of sigma, the sizes and the tables the cached rows depend on: any
// change invalidates the caches (up to collisions, which the exact tag
// comparison rules out).
std::uint64_t basis_fingerprint(double sigma, std::int32_t l_max, std::int32_t n_max,
                                std::initializer_list<std::span<const double>> tables) noexcept {
    std::uint64_t h = bits_of(sigma);
    for (const auto x : {static_cast<std::uint64_t>(l_max), static_cast<std::uint64_t>(n_max)})
        h ^= h * 64 + (x + 0x9e3779b9ULL) + h / 4;
    for (const auto table : tables)
        for (const double v : table) h ^= h * 64 + h / 4 + bits_of(v);
    return h;
}

double inverse_two_sigma_squared(double sigma) noexcept { return 1.0 / (2.0 * sigma * sigma); }

// S and V of one degree; K^l is carried by the caller as a running product.
void gto_degree(double k, double k_power_l, std::int32_t l, const double* alphas, std::int32_t n, double* scale,
                double* decay) noexcept {
    for (std::int32_t j = 0; j < n; ++j) {
        const double a = alphas[j];
        scale[j] = k_power_l * std::pow(a + k, -(l + 1.5));
        decay[j] = a * k / (a + k);
    }
}

// Groups the [l][n] entries by the bit pattern of V, in order of first
// appearance.
void group_equal_decays(SoapRadialTables& t) {
    const std::size_t count = t.gto_decay.size();
    std::vector<std::int32_t> group(count);
    std::unordered_map<std::uint64_t, std::int32_t> first_seen;
    for (std::size_t j = 0; j < count; ++j) {
        const auto [found, added] = first_seen.try_emplace(std::bit_cast<std::uint64_t>(t.gto_decay[j]),
                                                           static_cast<std::int32_t>(t.gto_distinct_decay.size()));
        if (added) t.gto_distinct_decay.push_back(t.gto_decay[j]);
        group[j] = found->second;
    }
    const std::size_t distinct = t.gto_distinct_decay.size();
    t.gto_sharing_start.assign(distinct + 1, 0);
    for (const std::int32_t g : group) ++t.gto_sharing_start[static_cast<std::size_t>(g) + 1];
    for (std::size_t u = 0; u < distinct; ++u) t.gto_sharing_start[u + 1] += t.gto_sharing_start[u];
    t.gto_sharing.resize(count);
    std::vector<std::int32_t> next(t.gto_sharing_start.begin(), t.gto_sharing_start.end() - 1);
    for (std::size_t j = 0; j < count; ++j) t.gto_sharing[static_cast<std::size_t>(next[group[j]]++)] = static_cast<std::int32_t>(j);
}

}  // namespace

bool RadialCacheTag::operator==(const RadialCacheTag& other) const noexcept {
    return fingerprint == other.fingerprint && sigma_bits == other.sigma_bits && l_max == other.l_max &&
           size == other.size && row_source.size() == other.row_source.size() &&
           (row_source.empty() ||
            std::memcmp(row_source.data(), other.row_source.data(), row_source.size() * sizeof(double)) == 0);
}

bool gto_radial_factors_finite(const SoapOptions& options) {
    const std::int32_t n = options.n_max;
    const double k = inverse_two_sigma_squared(options.sigma);
    std::vector<double> scale(static_cast<std::size_t>(n)), decay(static_cast<std::size_t>(n));
    double k_power_l = 1.0;
    for (std::int32_t l = 0; l <= options.l_max; ++l) {
        gto_degree(k, k_power_l, l, options.alphas.data() + static_cast<std::size_t>(l) * n, n, scale.data(),
                   decay.data());
        for (std::int32_t j = 0; j < n; ++j)
            if (!std::isfinite(scale[j]) || !std::isfinite(decay[j])) return false;
        k_power_l *= k;
    }
    return true;
}

SoapRadialTables build_soap_radial_tables(const SoapOptions& options) {
    SoapRadialTables t;
    const std::int32_t n = options.n_max;
    const std::int32_t l_max = options.l_max;
    const auto un = static_cast<std::size_t>(n);
    const auto degrees = static_cast<std::size_t>(l_max) + 1;
    t.n_max = n;
    t.l_max = l_max;
    t.sigma = options.sigma;
    t.k = inverse_two_sigma_squared(options.sigma);
    t.degree_factor.resize(degrees);
    for (std::size_t l = 0; l < degrees; ++l) t.degree_factor[l] = pi * std::sqrt(8.0 / (2.0 * l + 1.0));

    if (options.radial_basis == 0) {
        t.gto_scale.resize(degrees * un);
        t.gto_decay.resize(degrees * un);
        double k_power_l = 1.0;
        for (std::int32_t l = 0; l <= l_max; ++l) {
            gto_degree(t.k, k_power_l, l, options.alphas.data() + l * un, n, t.gto_scale.data() + l * un,
                       t.gto_decay.data() + l * un);
            k_power_l *= t.k;
        }
        group_equal_decays(t);
        t.gto_projection.resize(degrees * un * un);
        for (std::size_t l = 0; l < degrees; ++l)
            for (std::size_t a = 0; a < un; ++a)        // n
                for (std::size_t b = 0; b < un; ++b)    // n'
                    t.gto_projection[(l * un + b) * un + a] = pi_three_halves * options.betas[(l * un + a) * un + b];
        t.gto_tag = {basis_fingerprint(options.sigma, l_max, n, {options.alphas}), bits_of(options.sigma), l_max, n,
                     options.alphas};
    } else {
        const std::size_t g = options.radial_grid.size();
        t.grid_size = static_cast<std::int32_t>(g);
        t.grid = options.radial_grid;
        t.grid_projection.resize(g * un);
        for (std::size_t i = 0; i < g; ++i) {
            const double r = options.radial_grid[i];
            const double weighted = options.radial_weights[i] * (r * r);
            for (std::size_t a = 0; a < un; ++a) t.grid_projection[i * un + a] = weighted * options.radial_values[a * g + i];
        }
        t.polynomial_tag = {basis_fingerprint(options.sigma, l_max, n, {options.radial_grid, options.radial_values}),
                            bits_of(options.sigma), l_max, static_cast<std::int32_t>(g), options.radial_grid};
    }
    return t;
}

void gto_radial_row(const SoapRadialTables& t, double r_squared, double* out) noexcept {
    const ExpFunction exp = platform_math().exp;
    const std::size_t count = (static_cast<std::size_t>(t.l_max) + 1) * static_cast<std::size_t>(t.n_max);
    const double* scale = t.gto_scale.data();
    const double* decay = t.gto_decay.data();
    for (std::size_t j = 0; j < count; ++j) out[j] = scale[j] * exp(-(decay[j] * r_squared));
}

void weighted_gto_radial_row(const SoapRadialTables& t, double r_squared, double weight, double* out) noexcept {
    const ExpFunction exp = platform_math().exp;
    const std::size_t distinct = t.gto_distinct_decay.size();
    const double* decay = t.gto_distinct_decay.data();
    const double* scale = t.gto_scale.data();
    const std::int32_t* start = t.gto_sharing_start.data();
    const std::int32_t* sharing = t.gto_sharing.data();
    for (std::size_t u = 0; u < distinct; ++u) {
        const double e = exp(-(decay[u] * r_squared));
        for (std::int32_t k = start[u]; k < start[u + 1]; ++k) {
            const auto j = static_cast<std::size_t>(sharing[k]);
            const double radial = scale[j] * e;
            out[j] = weight * radial;
        }
    }
}

void polynomial_radial_row(const SoapRadialTables& t, double r, double* out, double* scratch) noexcept {
    const ExpFunction exp = platform_math().exp;
    const std::int32_t g = t.grid_size;
    const auto ug = static_cast<std::size_t>(g);
    const std::int32_t l_max = t.l_max;
    const double k = t.k;
    const double* grid = t.grid.data();
    if (r <= centre_distance) {
        const double two_sigma_squared = 2.0 * t.sigma * t.sigma;
        for (std::size_t i = 0; i < ug; ++i) out[i] = exp(-(grid[i] * grid[i]) / two_sigma_squared);
        std::fill(out + ug, out + (static_cast<std::size_t>(l_max) + 1) * ug, 0.0);
        return;
    }
    // Degree by degree over all grid points: the recurrence of one point is
    // a serial chain, many points side by side are not.
    double* f = scratch;  // 1 / (2a), a = r_i r / sigma^2
    for (std::size_t i = 0; i < ug; ++i) {
        f[i] = 0.25 / (grid[i] * r * k);
        const double d_minus = grid[i] - r, d_plus = grid[i] + r;
        const double e_minus = exp(-(k * (d_minus * d_minus)));
        const double e_plus = exp(-(k * (d_plus * d_plus)));
        out[i] = (e_minus - e_plus) * f[i];
        if (l_max >= 1) out[ug + i] = e_minus + e_plus;  // I_1 is formed from it below
    }
    if (l_max >= 1)
        for (std::size_t i = 0; i < ug; ++i) out[ug + i] = (out[ug + i] - 2.0 * out[i]) * f[i];
    for (std::int32_t l = 2; l <= l_max; ++l) {
        const double factor = 4.0 * l - 2.0;
        const double* before = out + static_cast<std::size_t>(l - 2) * ug;
        const double* last = out + static_cast<std::size_t>(l - 1) * ug;
        double* next = out + static_cast<std::size_t>(l) * ug;
        for (std::size_t i = 0; i < ug; ++i) {
            const double value = before[i] - factor * f[i] * last[i];
            // The upward recurrence cancels badly for small a; its true values are positive.
            next[i] = value > 0.0 ? value : 0.0;
        }
    }
    // r_i r so small (a grid point at 0) that 1/(2a) overflows: the limits
    // i_0(0) = 1 and i_l(0) = 0 (such a point's weight carries r_i^2 = 0
    // anyway), never 0 * inf.
    for (std::size_t i = 0; i < ug; ++i) {
        if (std::isfinite(f[i])) continue;
        const double d_minus = grid[i] - r, d_plus = grid[i] + r;
        out[i] = 0.5 * (exp(-(k * (d_minus * d_minus))) + exp(-(k * (d_plus * d_plus))));
        for (std::int32_t l = 1; l <= l_max; ++l) out[static_cast<std::size_t>(l) * ug + i] = 0.0;
    }
}

}  // namespace tandril
