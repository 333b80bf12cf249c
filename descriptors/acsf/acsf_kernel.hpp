#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/neighbors.hpp"
#include "descriptors/acsf/acsf_angular_terms.hpp"
#include "descriptors/acsf/acsf_layout.hpp"
#include "descriptors/acsf/acsf_options.hpp"

namespace tandril {

// Everything the per-atom kernel reads, built once per computation from
// validated options.
struct AcsfSetup {
    AcsfLayout layout;
    double r_cut = 0.0;
    std::span<const double> g2_params;  // (eta, R_s) pairs
    std::span<const double> g3_params;  // kappas
    AcsfAngularTerms g4;
    AcsfAngularTerms g5;
};

[[nodiscard]] AcsfSetup make_acsf_setup(const AcsfOptions& options);

// The neighbour entries kept for the three-body terms, one column per
// quantity: vector from the centre to the neighbour image, r^2, r, fc(r) and
// species index.
struct AcsfNeighborRecords {
    std::vector<double> x, y, z, r2, r, fc;
    std::vector<std::int32_t> species;

    void clear() noexcept;
    void reserve(std::size_t n);
    void push(const double* v, double r2_, double r_, double fc_, std::int32_t s);
    [[nodiscard]] std::size_t size() const noexcept { return r.size(); }
};

// The earlier records forming pairs with one outer record in one angular
// family, grouped by species (k ascending inside a group), with per pair:
// fc(r_k), cos theta, the exponent sum, fc(r_jk) (G4 only), and the shared
// factors exp(-eta sum) per distinct eta and 2 A per distinct shape, stored
// [eta or shape][pair].
struct AcsfPairList {
    std::size_t count = 0;     // pairs of the current outer record
    std::size_t capacity = 0;  // pairs the columns hold; the stride of the factor tables
    std::vector<std::int32_t> k;
    std::vector<std::size_t> group_end;  // per species
    std::vector<std::size_t> cursor;     // next free slot per species while sorting
    std::vector<double> fck, cosines, sums, pair_cutoff;
    std::vector<double> exponentials, powers;
};

// Scratch reused by the kernel; cleared, never freed, between atoms.
struct AcsfScratch {
    AcsfNeighborRecords records;
    std::vector<double> pair_r2, pair_r, pair_cos;  // of one outer record with every earlier one
    AcsfPairList g4_pairs, g5_pairs;
    std::vector<std::int32_t> species_of_atom;       // of the structure being walked
};

// The calling thread's scratch; it lives across computations.
[[nodiscard]] AcsfScratch& acsf_thread_scratch();

// Overwrites the row of the graph's atom `centre`. `species_of_atom` maps the
// graph's atom indices to species indices.
void acsf_atom_row(const AcsfSetup& setup, const NeighborGraph& graph, std::int64_t centre,
                   std::span<const std::int32_t> species_of_atom, AcsfScratch& scratch, double* row);

}  // namespace tandril
