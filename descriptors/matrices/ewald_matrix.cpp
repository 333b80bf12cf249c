#include "descriptors/matrices/ewald_matrix.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <stdexcept>

#include "core/memory_guard.hpp"

namespace tandril {
namespace {

constexpr double pi = 3.141592653589793;
constexpr double two_pi = 6.283185307179586;
constexpr double four_pi = 12.566370614359172;
constexpr double sqrt_pi = 1.7724538509055159;
constexpr double sqrt_two = 1.4142135623730951;
// One unit in the last place below the correctly rounded 1/sqrt(2); the
// reciprocal factor is defined with this value.
constexpr double inverse_sqrt_two = 0.7071067811865475;

// Loop bounds beyond this are no use (the lists could not be held) and would
// not convert to integers safely.
constexpr double bound_limit = 1e9;

[[noreturn]] void too_many_terms() { throw std::bad_alloc(); }

double column_norm(const CellInverse& inverse, int k) {
    const double x = inverse.m[0][k], y = inverse.m[1][k], z = inverse.m[2][k];
    return std::sqrt(x * x + y * y + z * z);
}

// Kept reciprocal vectors G (0 < |G|^2 <= g_cut^2) in loop order, with their
// factors exp(-|G|^2 / (4 alpha^2)) / |G|^2.
void build_reciprocal_list(const EwaldSetup& setup, std::vector<double>& out) {
    const CellInverse& b = setup.inverse;
    std::int64_t range[3];
    std::int64_t candidates = 1;
    for (int k = 0; k < 3; ++k) {
        const double count = std::ceil(setup.g_cut / (two_pi * column_norm(b, k)));
        if (!(count < bound_limit)) too_many_terms();
        range[k] = static_cast<std::int64_t>(count) + 1;
        candidates = checked_product(candidates, 2 * range[k] + 1);
    }
    ensure_allocatable(static_cast<std::uint64_t>(candidates), 4 * sizeof(double));
    out.clear();
    const double g_cut_squared = setup.g_cut * setup.g_cut;
    const double four_alpha_squared = 4.0 * (setup.alpha * setup.alpha);
    for (std::int64_t i = -range[0]; i <= range[0]; ++i)
        for (std::int64_t j = -range[1]; j <= range[1]; ++j)
            for (std::int64_t l = -range[2]; l <= range[2]; ++l) {
                const double di = static_cast<double>(i), dj = static_cast<double>(j), dl = static_cast<double>(l);
                double g[3];
                for (int x = 0; x < 3; ++x) g[x] = two_pi * (di * b.m[x][0] + dj * b.m[x][1] + dl * b.m[x][2]);
                const double g2 = g[0] * g[0] + g[1] * g[1] + g[2] * g[2];
                if (!(g2 > 1e-24 && g2 <= g_cut_squared)) continue;
                out.insert(out.end(), {g[0], g[1], g[2], std::exp(-g2 / four_alpha_squared) / g2});
            }
}

// Wrapped positions: fractional coordinates reduced to [0, 1) and back.
void wrap_positions(const double* positions, std::int64_t n, const double* cell, const CellInverse& inverse,
                    std::vector<double>& wrapped) {
    wrapped.resize(3 * static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) {
        double f[3];
        inverse.fractional(positions + 3 * i, f);
        for (double& v : f) v -= std::floor(v);
        for (int x = 0; x < 3; ++x) wrapped[3 * i + x] = f[0] * cell[x] + f[1] * cell[3 + x] + f[2] * cell[6 + x];
    }
}

// Lattice translations that bring wrapped images within reach of a centre
// with unwrapped fractional coordinates f.
void build_translations(const double* f, const double* cell, const double reach[3], std::vector<double>& out) {
    double lower[3], upper[3];
    std::int64_t candidates = 1;
    for (int k = 0; k < 3; ++k) {
        lower[k] = std::floor(f[k] - reach[k]);
        upper[k] = std::ceil(f[k] + reach[k]) - 1.0;
        if (!(std::fabs(lower[k]) < bound_limit && std::fabs(upper[k]) < bound_limit)) too_many_terms();
        candidates = checked_product(candidates, std::max<std::int64_t>(0, static_cast<std::int64_t>(upper[k] - lower[k]) + 1));
    }
    ensure_allocatable(static_cast<std::uint64_t>(candidates), 3 * sizeof(double));
    out.clear();
    for (auto t1 = static_cast<std::int64_t>(lower[0]); t1 <= static_cast<std::int64_t>(upper[0]); ++t1)
        for (auto t2 = static_cast<std::int64_t>(lower[1]); t2 <= static_cast<std::int64_t>(upper[1]); ++t2)
            for (auto t3 = static_cast<std::int64_t>(lower[2]); t3 <= static_cast<std::int64_t>(upper[2]); ++t3) {
                const double a = static_cast<double>(t1), b = static_cast<double>(t2), c = static_cast<double>(t3);
                out.insert(out.end(), {a * cell[0] + b * cell[3] + c * cell[6], a * cell[1] + b * cell[4] + c * cell[7],
                                       a * cell[2] + b * cell[5] + c * cell[8]});
            }
}

// R[k][i] = Z_k Z_i sum over translations T of erfc(alpha d)/d with
// d = |w_k + T - r_i| in (1e-8, r_cut].
void real_space_sum(const double* positions, const double* numbers_z, std::int64_t n, const double* cell,
                    const EwaldSetup& setup, EwaldWorkspace& ws) {
    std::vector<double>& real = ws.real_part;
    real.assign(static_cast<std::size_t>(n * n), 0.0);
    double reach[3];
    for (int k = 0; k < 3; ++k) reach[k] = setup.r_cut * column_norm(setup.inverse, k) + 0.01;
    const double r_cut_squared = setup.r_cut * setup.r_cut;
    const double alpha = setup.alpha;
    for (std::int64_t i = 0; i < n; ++i) {
        const double* ri = positions + 3 * i;
        double f[3];
        setup.inverse.fractional(ri, f);
        build_translations(f, cell, reach, ws.translations);
        const double* t = ws.translations.data();
        const std::size_t count = ws.translations.size() / 3;
        for (std::int64_t k = 0; k < n; ++k) {
            const double* wk = ws.wrapped.data() + 3 * k;
            double sum = 0.0;
            for (std::size_t m = 0; m < count; ++m) {
                const double dx = wk[0] + t[3 * m] - ri[0];
                const double dy = wk[1] + t[3 * m + 1] - ri[1];
                const double dz = wk[2] + t[3 * m + 2] - ri[2];
                const double d2 = dx * dx + dy * dy + dz * dz;
                if (!(d2 > 1e-16 && d2 <= r_cut_squared)) continue;
                const double d = std::sqrt(d2);
                sum += std::erfc(alpha * d) / d;
            }
            real[k * n + i] = (sum * numbers_z[k]) * numbers_z[i];
        }
    }
}

// K[k][l] = sum over G of ((s_l + c_l) c_k + (s_l - c_l) s_k) X_G / sqrt(2),
// with s, c the sine and cosine of G . r (unwrapped positions).
void reciprocal_sum(const double* positions, std::int64_t n, EwaldWorkspace& ws) {
    std::vector<double>& k_part = ws.reciprocal_part;
    k_part.assign(static_cast<std::size_t>(n * n), 0.0);
    ws.sine.resize(static_cast<std::size_t>(n));
    ws.cosine.resize(static_cast<std::size_t>(n));
    ws.sum_sc.resize(static_cast<std::size_t>(n));
    ws.diff_sc.resize(static_cast<std::size_t>(n));
    double* s = ws.sine.data();
    double* c = ws.cosine.data();
    double* sum_sc = ws.sum_sc.data();
    double* diff_sc = ws.diff_sc.data();
    const std::size_t kept = ws.reciprocal.size() / 4;
    for (std::size_t g = 0; g < kept; ++g) {
        const double* G = ws.reciprocal.data() + 4 * g;
        const double factor = G[3];
        for (std::int64_t j = 0; j < n; ++j) {
            const double* r = positions + 3 * j;
            const double phase = G[0] * r[0] + G[1] * r[1] + G[2] * r[2];
            s[j] = std::sin(phase);
            c[j] = std::cos(phase);
            sum_sc[j] = s[j] + c[j];
            diff_sc[j] = s[j] - c[j];
        }
        for (std::int64_t k = 0; k < n; ++k) {
            const double ck = c[k], sk = s[k];
            double* row = k_part.data() + k * n;
            for (std::int64_t l = 0; l < n; ++l)
                row[l] += ((sum_sc[l] * ck + diff_sc[l] * sk) * factor) * inverse_sqrt_two;
        }
    }
}

}  // namespace

EwaldSetup prepare_ewald(const StructureBatch& batch, std::int64_t s, const EwaldParameters& p) {
    const double* cell = batch.cells + 9 * s;
    EwaldSetup setup;
    setup.n = structure_range(batch, s).size();
    setup.volume = regular_cell_determinant(cell);
    const double volume_squared = setup.volume * setup.volume;
    setup.alpha = p.a > 0.0 ? p.a : std::pow(static_cast<double>(setup.n) * p.w / volume_squared, 1.0 / 6.0) * sqrt_pi;
    setup.r_cut = p.r_cut;
    setup.g_cut = p.g_cut;
    if (setup.r_cut <= 0.0 && setup.g_cut <= 0.0) {
        const double log_accuracy = std::log(p.accuracy);
        setup.g_cut = 2.0 * setup.alpha * std::sqrt(-log_accuracy);
        setup.r_cut = std::sqrt(-log_accuracy) / setup.alpha;
    }
    if (setup.r_cut <= 0.0 || setup.g_cut <= 0.0)
        throw std::invalid_argument("r_cut and g_cut must be provided together");
    if (setup.n > 0) {
        // A zero, infinite or NaN screening parameter (from a negative or
        // zero w, say) or NaN/infinite cutoffs would give a matrix of
        // non-finite values or unbounded sums.
        if (!(std::isfinite(setup.alpha) && setup.alpha > 0.0))
            throw std::invalid_argument("Ewald screening parameter must be finite and positive");
        if (!(std::isfinite(setup.r_cut) && std::isfinite(setup.g_cut)))
            throw std::invalid_argument("r_cut and g_cut must be finite");
    }
    setup.inverse = invert_cell(cell, setup.volume);
    return setup;
}

void ewald_matrix(const StructureBatch& batch, std::int64_t s, const EwaldSetup& setup, EwaldWorkspace& ws,
                  double* matrix) {
    const std::int64_t n = setup.n;
    if (n == 0) return;
    const double* cell = batch.cells + 9 * s;
    const AtomRange range = structure_range(batch, s);
    const double* positions = batch.positions + 3 * range.begin;
    const std::int32_t* numbers = batch.numbers + range.begin;

    std::vector<double>& charges = ws.charges;
    charges.resize(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) charges[i] = static_cast<double>(numbers[i]);

    wrap_positions(positions, n, cell, setup.inverse, ws.wrapped);
    build_reciprocal_list(setup, ws.reciprocal);
    real_space_sum(positions, charges.data(), n, cell, setup, ws);
    reciprocal_sum(positions, n, ws);

    const double volume = std::fabs(setup.volume);
    const double alpha = setup.alpha;
    const double c1 = -pi / (2.0 * volume * (alpha * alpha));
    const double c_rec = (four_pi / volume) * sqrt_two;
    const double c_self = -alpha / sqrt_pi;
    const double* real = ws.real_part.data();
    const double* reciprocal = ws.reciprocal_part.data();
    for (std::int64_t i = 0; i < n; ++i) {
        const double zi = charges[i];
        for (std::int64_t j = 0; j < n; ++j) {
            const double zj = charges[j];
            const double total = ((reciprocal[i * n + j] * c_rec) * zi) * zj + real[i * n + j];
            matrix[i * n + j] = i != j ? (2.0 * c1 * zi) * zj + total
                                       : zi * (-c1 * zi) + ((2.0 * c1 * zi) * zi + (0.5 * total + c_self * (zi * zi)));
        }
    }
}

}  // namespace tandril
