#include "descriptors/ead/ead_kernel.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "core/memory_guard.hpp"
#include "core/platform_math.hpp"

namespace tandril {
namespace {

bool is_own_zero_shift_entry(const NeighborGraph& graph, std::int64_t centre, std::int64_t e) noexcept {
    const std::int32_t* shift = graph.shifts.data() + 3 * e;
    return graph.neighbors[e] == centre && shift[0] == 0 && shift[1] == 0 && shift[2] == 0;
}

// v^0 .. v^degree by the general power function (0^0 = 1). The powers 0 and
// 1 are exact and need no call.
void fill_powers(double v, std::vector<double>& powers, PowFunction pow) {
    powers[0] = 1.0;
    if (powers.size() > 1) powers[1] = v;
    for (std::size_t a = 2; a < powers.size(); ++a) powers[a] = pow(v, static_cast<double>(a));
}

// Adds the grouped neighbours, in order, to W:
// W[k][p][q] += exp(-eta_p (r - rs_q)^2) A_k Z fc.
template <std::size_t Group>
void add_group(const EadSetup& setup, EadScratch& scratch) {
    const auto grid = static_cast<std::size_t>(setup.grid);
    const std::size_t components = setup.components.size();
    const double* g[Group];
    double z[Group], fc[Group];
    for (std::size_t i = 0; i < Group; ++i) {
        g[i] = scratch.gaussians.data() + i * grid;
        z[i] = scratch.weights[i][0];
        fc[i] = scratch.weights[i][1];
    }
    double* density = scratch.density.data();
    for (std::size_t k = 0; k < components; ++k, density += grid) {
        double a[Group];
        for (std::size_t i = 0; i < Group; ++i) a[i] = scratch.moments[i * components + k];
        for (std::size_t q = 0; q < grid; ++q) {
            double w = density[q];
            for (std::size_t i = 0; i < Group; ++i) w += g[i][q] * a[i] * z[i] * fc[i];
            density[q] = w;
        }
    }
}

void flush_group(const EadSetup& setup, EadScratch& scratch) {
    switch (scratch.grouped) {
        case 1: add_group<1>(setup, scratch); break;
        case 2: add_group<2>(setup, scratch); break;
        case 3: add_group<3>(setup, scratch); break;
        case 4: add_group<4>(setup, scratch); break;
        default: break;
    }
    scratch.grouped = 0;
}

// Queues one neighbour: its Gaussians, its angular moments, Z and fc.
void queue_neighbor(const EadSetup& setup, double x, double y, double z, double r, double atomic_number, double fc,
                    EadScratch& scratch) {
    const EadParameters& p = *setup.parameters;
    const std::size_t slot = scratch.grouped;
    double* gaussians = scratch.gaussians.data() + slot * static_cast<std::size_t>(setup.grid);
    const std::size_t n_rs = p.rs.size();
    const PlatformMath& math = platform_math();
    for (std::size_t i = 0; i < p.eta.size(); ++i)
        for (std::size_t j = 0; j < n_rs; ++j) {
            const double d = r - p.rs[j];
            gaussians[i * n_rs + j] = math.exp(-p.eta[i] * (d * d));
        }
    fill_powers(x, scratch.x_powers, math.pow);
    fill_powers(y, scratch.y_powers, math.pow);
    fill_powers(z, scratch.z_powers, math.pow);
    double* moments = scratch.moments.data() + slot * setup.components.size();
    for (const EadAngularComponent& k : setup.components)
        *moments++ = scratch.x_powers[k.a] * scratch.y_powers[k.b] * scratch.z_powers[k.c] / k.norm;
    scratch.weights[slot][0] = atomic_number;
    scratch.weights[slot][1] = fc;
    if (++scratch.grouped == ead_neighbor_group) flush_group(setup, scratch);
}

}  // namespace

EadSetup make_ead_setup(const EadParameters& parameters) {
    EadSetup setup;
    setup.parameters = &parameters;
    setup.components = ead_angular_components(parameters.max_degree);
    setup.grid = static_cast<std::int64_t>(parameters.eta.size() * parameters.rs.size());
    return setup;
}

EadScratch::EadScratch(const EadSetup& setup) {
    const auto grid = static_cast<std::uint64_t>(setup.grid);
    const std::int64_t cells = checked_product(static_cast<std::int64_t>(setup.components.size()), setup.grid);
    ensure_allocatable(static_cast<std::uint64_t>(cells), sizeof(double));
    density.resize(static_cast<std::size_t>(cells));
    gaussians.resize(grid * ead_neighbor_group);
    moments.resize(setup.components.size() * ead_neighbor_group);
    squares.resize(grid);
    const auto powers = static_cast<std::size_t>(setup.parameters->max_degree) + 1;
    x_powers.resize(powers);
    y_powers.resize(powers);
    z_powers.resize(powers);
}

void ead_atom_row(const EadSetup& setup, const StructureBatch& batch, const NeighborGraph& graph,
                  std::int64_t centre, EadScratch& scratch, double* row) {
    const EadParameters& p = *setup.parameters;
    std::fill(scratch.density.begin(), scratch.density.end(), 0.0);

    for (std::int64_t e = graph.row_offsets[centre]; e < graph.row_offsets[centre + 1]; ++e) {
        if (is_own_zero_shift_entry(graph, centre, e)) continue;
        const double r = std::sqrt(std::max(graph.distances_squared[e], 0.0));
        if (r <= 0.0 || r >= p.cutoff) continue;
        const double* v = graph.vectors.data() + 3 * e;
        const double fc = (std::cos(std::numbers::pi * r / p.cutoff) + 1.0) / 2.0;
        queue_neighbor(setup, v[0], v[1], v[2], r, static_cast<double>(batch.numbers[graph.neighbors[e]]), fc,
                       scratch);
    }
    flush_group(setup, scratch);

    // Degree D holds the sum over every component of degree <= D, scaled by
    // D! / cutoff^(2D); components come degree by degree, so one running sum
    // serves all degrees.
    const auto grid = static_cast<std::size_t>(setup.grid);
    std::fill(scratch.squares.begin(), scratch.squares.end(), 0.0);
    const double* density = scratch.density.data();
    const std::size_t n = setup.components.size();
    for (std::size_t k = 0; k < n; ++k, density += grid) {
        for (std::size_t g = 0; g < grid; ++g) scratch.squares[g] += density[g] * density[g];
        const std::int32_t degree = setup.components[k].degree;
        if (k + 1 < n && setup.components[k + 1].degree == degree) continue;
        const double factorial = std::tgamma(degree + 1.0);
        const double scale = std::pow(p.cutoff, 2.0 * degree);
        double* out = row + static_cast<std::size_t>(degree) * grid;
        for (std::size_t g = 0; g < grid; ++g) out[g] = factorial * scratch.squares[g] / scale;
    }
}

}  // namespace tandril
