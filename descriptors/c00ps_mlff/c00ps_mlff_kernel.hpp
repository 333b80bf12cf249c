#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/neighbors.hpp"
#include "descriptors/c00ps_mlff/c00ps_mlff_basis.hpp"
#include "descriptors/c00ps_mlff/c00ps_mlff_layout.hpp"
#include "descriptors/c00ps_mlff/c00ps_mlff_options.hpp"

namespace tandril {

// What the per-atom kernel reads; owned by the calculator.
struct C00PSMlffSetup {
    const C00PSMlffOptions* options = nullptr;
    const C00PSMlffBasis* basis = nullptr;
    const C00PSMlffLayout* layout = nullptr;
    std::int32_t degrees = 0;                   // radial functions needed: l_max + 1, or 1 without angular block
    std::vector<std::int64_t> degree_offsets;   // per degree, into one neighbour's radial values
    std::int64_t values_per_neighbor = 0;
};

[[nodiscard]] C00PSMlffSetup make_c00ps_mlff_setup(const C00PSMlffOptions& options, const C00PSMlffBasis& basis,
                                                   const C00PSMlffLayout& layout);

// Work arrays of one computation, grown as needed and reused across atoms.
struct C00PSMlffScratch {
    std::vector<double> x, y, z, r;     // neighbour vectors and distances
    std::vector<std::int32_t> species;  // neighbour species indices
    std::vector<double> radial_values;  // per neighbour, g_(l,n)(r) for every degree and n
    std::vector<double> arguments;      // q r / r_cut of one neighbour and degree
    std::vector<double> bessel;         // j_l at those arguments
    std::vector<std::vector<double>> pair_sums;  // per degree, the M_l x M_l pair sums
    std::vector<double> legendre;                // P_0 .. P_l_max of every ordered neighbour pair
    std::vector<std::vector<std::int32_t>> by_species;  // neighbour indices per species, in list order
};

// Overwrites the row of the graph's atom `centre`; `species_of_atom` maps the
// graph's atom indices to species indices.
void c00ps_mlff_atom_row(const C00PSMlffSetup& setup, const NeighborGraph& graph, std::int64_t centre,
                         std::span<const std::int32_t> species_of_atom, C00PSMlffScratch& scratch, double* row);

}  // namespace tandril
