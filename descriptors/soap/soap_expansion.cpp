#include "descriptors/soap/soap_expansion.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>

#include "descriptors/soap/ordered_products.hpp"
#include "descriptors/soap/soap_power_spectrum.hpp"

namespace tandril {
namespace {

constexpr double four_pi = 12.566370614359172;
constexpr double centre_distance = 1e-14;

std::size_t harmonic_count(const SoapRadialTables& t) noexcept {
    return (static_cast<std::size_t>(t.l_max) + 1) * (static_cast<std::size_t>(t.l_max) + 1);
}

std::size_t channel_values(const SoapRadialTables& t) noexcept {
    return harmonic_count(t) * static_cast<std::size_t>(t.n_max);
}

// Radial weight of one entry before w0 and the species weight.
double radial_weight(const SoapOptions& o, double r) {
    if (!o.weighting_has_function) return 1.0;
    const double x = r / o.weighting_r0;
    switch (o.weighting_function) {
        case 1: {
            if (r > o.weighting_r0) return 0.0;
            // (1-x)^2 (1+2x) >= 0; rounding near x = 1 must not make it
            // negative, where a fractional power would give NaN.
            const double base = std::max(0.0, 1.0 - 3.0 * x * x + 2.0 * x * x * x);
            return o.weighting_c * std::pow(base, o.weighting_m);
        }
        case 2: return o.weighting_c / (std::pow(x, o.weighting_m) + o.weighting_d);
        case 3: return o.weighting_c / (std::exp(-x) + o.weighting_d);
        default: throw std::invalid_argument("invalid SOAP weighting function");
    }
}

// The neighbour entries of centre m (vectors, distances, centre flag,
// weights), grouped into channels.
void gather_entries(const SoapKernel& kernel, const NeighborGraph& graph, std::int64_t first_atom, std::int64_t m,
                    SoapWorkspace& ws) {
    const SoapOptions& o = kernel.options;
    const std::int64_t begin = graph.row_offsets[m], end = graph.row_offsets[m + 1];
    const auto count = static_cast<std::size_t>(end - begin);
    for (auto* v : {&ws.x, &ws.y, &ws.z, &ws.r_squared, &ws.r, &ws.weight}) v->resize(count);
    ws.species.resize(count);
    ws.centre.resize(count);
    ws.order.resize(count);
    const bool species_weighted = !o.species_weights.empty();
    for (std::size_t j = 0; j < count; ++j) {
        const std::size_t e = static_cast<std::size_t>(begin) + j;
        const std::int32_t neighbour = graph.neighbors[e];
        const std::int32_t* shift = graph.shifts.data() + 3 * e;
        ws.x[j] = graph.vectors[3 * e];
        ws.y[j] = graph.vectors[3 * e + 1];
        ws.z[j] = graph.vectors[3 * e + 2];
        const double r2 = graph.distances_squared[e];
        ws.r_squared[j] = r2;
        ws.r[j] = std::sqrt(r2);
        const bool centre = neighbour == m && shift[0] == 0 && shift[1] == 0 && shift[2] == 0;
        ws.centre[j] = centre;
        const std::int32_t species = kernel.species_of_atom[static_cast<std::size_t>(first_atom + neighbour)];
        ws.species[j] = species;
        double w = radial_weight(o, ws.r[j]);
        if (centre && o.weighting_has_w0) w = o.weighting_w0;
        if (species_weighted) w *= o.species_weights[static_cast<std::size_t>(species)];
        // An overflowing weighting (e.g. c / (exp(-x) + 0) far out, or two
        // atoms on one spot under c / x^m) would fill the rows with inf/NaN.
        if (!std::isfinite(w)) throw std::invalid_argument("invalid SOAP weighting parameters");
        ws.weight[j] = w;
    }

    const std::int32_t channels = kernel.channels;
    ws.channel_start.assign(static_cast<std::size_t>(std::max(channels, 1)) + 1, 0);
    if (channels <= 1) {
        for (std::size_t j = 0; j < count; ++j) ws.order[j] = static_cast<std::int32_t>(j);
        ws.channel_start[1] = static_cast<std::int32_t>(count);
        return;
    }
    // Stable counting sort into species buckets.
    for (std::size_t j = 0; j < count; ++j) ++ws.channel_start[static_cast<std::size_t>(ws.species[j]) + 1];
    for (std::int32_t ch = 0; ch < channels; ++ch) ws.channel_start[ch + 1] += ws.channel_start[ch];
    ws.cursor.assign(ws.channel_start.begin(), ws.channel_start.end() - 1);
    for (std::size_t j = 0; j < count; ++j)
        ws.order[static_cast<std::size_t>(ws.cursor[static_cast<std::size_t>(ws.species[j])]++)] = static_cast<std::int32_t>(j);
}

// Gaussian-type orbitals: Q[lm][n'] = sum_j (w_j R_(l,n')(r_j)) (r_j^l Y_lm(j)),
// then c[lm][n] = sum_n' (pi^(3/2) beta_(l,n,n')) Q[lm][n'].
void expand_gto(const SoapKernel& kernel, SoapWorkspace& ws, std::int32_t ch, double* c) {
    const SoapRadialTables& t = kernel.tables;
    const std::int32_t n = t.n_max;
    const std::size_t un = static_cast<std::size_t>(n);
    const std::size_t degrees = static_cast<std::size_t>(t.l_max) + 1;
    const std::size_t harmonics = harmonic_count(t);
    const std::size_t row_length = degrees * un;
    const std::int32_t first = ws.channel_start[ch];
    const std::int64_t entries = ws.channel_start[ch + 1] - first;
    if (entries == 0) {
        std::fill(c, c + harmonics * un, 0.0);
        return;
    }
    ws.entry_harmonics.resize(static_cast<std::size_t>(entries) * harmonics);
    ws.entry_radial.resize(static_cast<std::size_t>(entries) * row_length);
    double* y_all = ws.entry_harmonics.data();
    double* t_all = ws.entry_radial.data();
    for (std::int64_t e = 0; e < entries; ++e) {
        const auto j = static_cast<std::size_t>(ws.order[static_cast<std::size_t>(first + e)]);
        kernel.harmonics.evaluate(ws.x[j], ws.y[j], ws.z[j], y_all + e * harmonics);
        const double r2 = ws.r_squared[j];
        const double w = ws.weight[j];
        double* scaled = t_all + e * row_length;
        if (kernel.gto_cached) {
            const auto key = std::bit_cast<std::uint64_t>(r2);
            const double* row = ws.gto_cache.find(key);
            if (row == nullptr) {
                double* fresh = ws.gto_cache.insert(key);
                gto_radial_row(t, r2, fresh);
                row = fresh;
            }
            for (std::size_t k = 0; k < row_length; ++k) scaled[k] = w * row[k];
        } else {
            weighted_gto_radial_row(t, r2, w, scaled);
        }
    }
    double* q = ws.sums.data();
    const double* projection = t.gto_projection.data();
    for (std::size_t l = 0; l < degrees; ++l) {
        const std::size_t first_lm = l * l;
        const auto width = static_cast<std::int32_t>(2 * l + 1);
        ordered_products(
            entries, width, n, [&](std::int32_t i, std::int64_t k) { return y_all[k * harmonics + first_lm + i]; },
            [&](std::int64_t k) { return t_all + k * row_length + l * un; }, q + first_lm * un, un);
        ordered_products(
            n, width, n, [&](std::int32_t i, std::int64_t k) { return q[(first_lm + i) * un + k]; },
            [&](std::int64_t k) { return projection + (l * un + k) * un; }, c + first_lm * un, un);
    }
}

// Polynomial basis: A[lm][i] = sum_j (4 pi w_j r_j^-l)(r_j^l Y_lm(j)) I_l(r_i; r_j),
// then c[lm][n] = sum_i W[i][n] A[lm][i].
void expand_polynomial(const SoapKernel& kernel, SoapWorkspace& ws, std::int32_t ch, double* c) {
    const SoapRadialTables& t = kernel.tables;
    const std::int32_t n = t.n_max;
    const std::int32_t g = t.grid_size;
    const std::size_t un = static_cast<std::size_t>(n), ug = static_cast<std::size_t>(g);
    const std::size_t degrees = static_cast<std::size_t>(t.l_max) + 1;
    const std::size_t harmonics = harmonic_count(t);
    const std::int32_t first = ws.channel_start[ch];
    const std::int64_t entries = ws.channel_start[ch + 1] - first;
    if (entries == 0) {
        std::fill(c, c + harmonics * un, 0.0);
        return;
    }
    RadialRowCache& cache = ws.polynomial_cache;
    double* a = ws.accumulator.data();
    // Entries go in chunks that fit the cache, so that no row used by a
    // chunk is evicted while the chunk still needs it; each sum carries on
    // in entry order from one chunk to the next.
    const auto chunk_limit = static_cast<std::int64_t>(cache.max_rows());
    for (std::int64_t start = 0; start < entries; start += chunk_limit) {
        const std::int64_t chunk = std::min(chunk_limit, entries - start);
        cache.make_room(static_cast<std::size_t>(chunk));
        ws.entry_harmonics.resize(static_cast<std::size_t>(chunk) * harmonics);
        ws.entry_rows.resize(static_cast<std::size_t>(chunk));
        double* scaled_all = ws.entry_harmonics.data();
        for (std::int64_t e = 0; e < chunk; ++e) {
            const auto j = static_cast<std::size_t>(ws.order[static_cast<std::size_t>(first + start + e)]);
            double* scaled = scaled_all + e * harmonics;
            kernel.harmonics.evaluate(ws.x[j], ws.y[j], ws.z[j], scaled);
            const double r = ws.r[j];
            const auto key = std::bit_cast<std::uint64_t>(r);
            const double* row = cache.find(key);
            if (row == nullptr) {
                double* fresh = cache.insert(key);
                polynomial_radial_row(t, r, fresh, ws.radial_scratch.data());
                row = fresh;
            }
            ws.entry_rows[static_cast<std::size_t>(e)] = row;
            // f = 4 pi w r^-l (at the centre: 4 pi w for l = 0, 0 above).
            const double weighted = four_pi * ws.weight[j];
            const bool at_centre = r <= centre_distance;
            const double inverse_r = at_centre ? 0.0 : 1.0 / r;
            double r_power = 1.0;
            for (std::size_t l = 0; l < degrees; ++l) {
                const double f = (at_centre && l > 0) ? 0.0 : weighted * r_power;
                r_power *= inverse_r;
                for (std::size_t lm = l * l; lm < (l + 1) * (l + 1); ++lm) scaled[lm] = f * scaled[lm];
            }
        }
        const double* const* rows = ws.entry_rows.data();
        for (std::size_t l = 0; l < degrees; ++l) {
            const std::size_t first_lm = l * l;
            ordered_products(
                chunk, static_cast<std::int32_t>(2 * l + 1), g,
                [&](std::int32_t i, std::int64_t k) { return scaled_all[k * harmonics + first_lm + i]; },
                [&](std::int64_t k) { return rows[k] + l * ug; }, a + first_lm * ug, ug, start > 0);
        }
    }
    const double* projection = t.grid_projection.data();  // [i][n]
    ordered_products(
        g, static_cast<std::int32_t>(harmonics), n, [&](std::int32_t i, std::int64_t k) { return a[i * ug + k]; },
        [&](std::int64_t k) { return projection + k * un; }, c, un);
}

void expand_atom(const SoapKernel& kernel, const NeighborGraph& graph, std::int64_t first_atom, std::int64_t m,
                 SoapWorkspace& ws) {
    gather_entries(kernel, graph, first_atom, m, ws);
    const std::size_t values = channel_values(kernel.tables);
    for (std::int32_t ch = 0; ch < kernel.channels; ++ch) {
        double* c = ws.coefficients.data() + ch * values;
        if (kernel.options.radial_basis == 1) expand_polynomial(kernel, ws, ch, c);
        else expand_gto(kernel, ws, ch, c);
    }
}

void write_row(const SoapKernel& kernel, const double* coefficients, SoapWorkspace& ws, double* row) {
    const std::int64_t written =
        write_soap_power_spectrum(coefficients, kernel.options.compression, kernel.channels, kernel.tables, ws, row);
    if (written != kernel.feature_count) throw std::logic_error("internal SOAP feature layout mismatch");
}

}  // namespace

SoapWorkspace& thread_soap_workspace() {
    thread_local SoapWorkspace workspace;
    return workspace;
}

void prepare_soap_workspace(const SoapKernel& kernel, SoapWorkspace& ws) {
    const SoapRadialTables& t = kernel.tables;
    const std::size_t n = static_cast<std::size_t>(t.n_max);
    const std::size_t degrees = static_cast<std::size_t>(t.l_max) + 1;
    const std::size_t harmonics = harmonic_count(t);
    const std::size_t channels = static_cast<std::size_t>(kernel.channels);
    ws.sums.resize(harmonics * n);
    ws.radial_scratch.resize(static_cast<std::size_t>(t.grid_size));
    ws.accumulator.resize(harmonics * static_cast<std::size_t>(t.grid_size));
    ws.coefficients.resize(channels * harmonics * n);
    ws.coefficient_sum.resize(channels * harmonics * n);
    ws.total_density.resize(harmonics * n);
    ws.dots.resize(n * n);
    ws.feature_row.resize(static_cast<std::size_t>(kernel.feature_count));
    if (kernel.options.radial_basis == 1)
        ws.polynomial_cache.adopt(t.polynomial_tag, degrees * static_cast<std::size_t>(t.grid_size));
    else if (kernel.gto_cached)
        ws.gto_cache.adopt(t.gto_tag, degrees * n);
}

void soap_structure(const SoapKernel& kernel, const NeighborGraph& graph, std::int64_t first_atom, std::int64_t count,
                    const ComputeControl& control, SoapWorkspace& ws, double* out) {
    const SoapOptions& o = kernel.options;
    const auto features = static_cast<std::size_t>(kernel.feature_count);
    if (o.inner_average) {
        double* sum = ws.coefficient_sum.data();
        const std::size_t values = ws.coefficient_sum.size();
        std::fill(sum, sum + values, 0.0);
        if (count == 0) {
            std::fill(out, out + features, 0.0);
            return;
        }
        for (std::int64_t m = 0; m < count; ++m) {
            if (control.cancelled()) continue;
            expand_atom(kernel, graph, first_atom, m, ws);
            const double* c = ws.coefficients.data();
            for (std::size_t k = 0; k < values; ++k) sum[k] += c[k];
        }
        const double inverse = 1.0 / static_cast<double>(count);
        for (std::size_t k = 0; k < values; ++k) sum[k] *= inverse;
        write_row(kernel, sum, ws, out);
        return;
    }
    if (o.outer_average) {
        std::fill(out, out + features, 0.0);
        if (count == 0) return;
        double* row = ws.feature_row.data();
        for (std::int64_t m = 0; m < count; ++m) {
            if (control.cancelled()) continue;
            expand_atom(kernel, graph, first_atom, m, ws);
            write_row(kernel, ws.coefficients.data(), ws, row);
            for (std::size_t k = 0; k < features; ++k) out[k] += row[k];
        }
        const auto atoms = static_cast<double>(count);
        for (std::size_t k = 0; k < features; ++k) out[k] /= atoms;
        return;
    }
    for (std::int64_t m = 0; m < count; ++m) {
        if (control.cancelled()) continue;
        expand_atom(kernel, graph, first_atom, m, ws);
        write_row(kernel, ws.coefficients.data(), ws, out + static_cast<std::size_t>(m) * features);
    }
}

}  // namespace tandril
