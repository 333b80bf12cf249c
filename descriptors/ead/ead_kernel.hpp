#pragma once

#include <cstdint>
#include <vector>

#include "core/neighbors.hpp"
#include "core/structure_batch.hpp"
#include "descriptors/ead/ead_angular_components.hpp"
#include "descriptors/ead/ead_parameters.hpp"

namespace tandril {

// What the per-atom kernel reads, built once per computation.
struct EadSetup {
    const EadParameters* parameters = nullptr;
    std::vector<EadAngularComponent> components;
    std::int64_t grid = 0;  // eta count x rs count: the (p, q) values of one component
};

[[nodiscard]] EadSetup make_ead_setup(const EadParameters& parameters);

// Neighbours are added to W a few at a time, so that every W value is loaded
// and stored once per group (the additions keep their order).
inline constexpr std::size_t ead_neighbor_group = 4;

// Per-computation work arrays, sized once.
struct EadScratch {
    std::vector<double> density;    // W[k][p][q]
    std::vector<double> gaussians;  // per grouped neighbour: exp(-eta_p (r - rs_q)^2)
    std::vector<double> moments;    // per grouped neighbour: A_k
    double weights[ead_neighbor_group][2] = {};  // per grouped neighbour: Z, fc
    std::size_t grouped = 0;
    std::vector<double> squares;    // running sum of W^2 over components
    std::vector<double> x_powers, y_powers, z_powers;

    explicit EadScratch(const EadSetup& setup);
};

// Overwrites the row of atom `centre` (a batch index; the graph covers the
// whole batch).
void ead_atom_row(const EadSetup& setup, const StructureBatch& batch, const NeighborGraph& graph,
                  std::int64_t centre, EadScratch& scratch, double* row);

}  // namespace tandril
