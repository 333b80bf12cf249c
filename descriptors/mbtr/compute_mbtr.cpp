#include "descriptors/mbtr/compute_mbtr.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "core/neighbors.hpp"
#include "core/species.hpp"
#include "descriptors/mbtr/gaussian_grid.hpp"
#include "descriptors/mbtr/mbtr_normalization.hpp"
#include "descriptors/mbtr/mbtr_terms.hpp"
#include "descriptors/mbtr/mbtr_weighting.hpp"

namespace tandril {
namespace {

void validate_options(const MbtrOptions& o) {
    const int order = mbtr_body_order(o.geometry);
    if (order == 0)
        throw std::invalid_argument(
            "geometry must be 0 (atomic number), 1 (distance), 2 (inverse distance), 3 (angle) or 4 (cosine)");
    if (!is_valid_mbtr_grid(o)) throw std::invalid_argument("invalid MBTR grid");
    if (o.species.empty()) throw std::invalid_argument("species must not be empty");
    for (const std::int32_t z : o.species)
        if (z < 1) throw std::invalid_argument("species must contain unique positive atomic numbers");
    // Non-finite parameters of the chosen weighting would spread NaN over
    // the whole row.
    if (order > 1) {
        const auto weighting = static_cast<MbtrWeighting>(o.weighting);
        if ((weighting == MbtrWeighting::exponential && !(std::isfinite(o.scale) && std::isfinite(o.threshold))) ||
            (weighting == MbtrWeighting::smooth_cutoff && !std::isfinite(o.sharpness)))
            throw std::invalid_argument("invalid MBTR weighting parameters");
    }
}

// Atoms per species index of the structure that starts at `species`.
void count_species(const std::int32_t* species, std::int64_t count, std::vector<std::int64_t>& counts) {
    std::fill(counts.begin(), counts.end(), 0);
    for (std::int64_t m = 0; m < count; ++m) ++counts[species[m]];
}

}  // namespace

double mbtr_neighbor_cutoff(const MbtrOptions& o) {
    const auto weighting = static_cast<MbtrWeighting>(o.weighting);
    double base = o.r_cut > 0.0 ? o.r_cut : (weighting == MbtrWeighting::unity ? o.grid_max : 0.0);
    if (weighting == MbtrWeighting::exponential && o.scale > 0.0) {
        const double half = mbtr_body_order(o.geometry) == 3 ? 0.5 : 1.0;
        base = std::fmax(-std::log(o.threshold) * half / o.scale, base);
    }
    return base > 0.0 ? base : o.grid_max;
}

void compute_mbtr(const StructureBatch& batch, const MbtrOptions& o, ComputeControl& control, double* out) {
    validate_descriptor_batch(batch);
    check_batch_species(batch, o.species);
    validate_options(o);
    const SpeciesMap species_map = build_species_map(o.species);
    const MbtrShape shape = mbtr_result_shape(batch, o);
    std::fill(out, out + shape.rows * shape.width, 0.0);
    start_unless_cancelled(control, batch.n_structures);

    const int order = mbtr_body_order(o.geometry);
    const double cutoff = order > 1 ? mbtr_neighbor_cutoff(o) : 0.0;
    if (order > 1) check_neighbor_cutoff(cutoff);
    const NeighborSearchOptions search_options{cutoff, 0, /*prune_images*/ true, /*store_shifts*/ true};

    const GaussianGrid grid(o);
    const MbtrWeight weight(o);
    MbtrTerms terms(o, grid, weight);
    NeighborSearch search;
    NeighborGraph graph;
    std::vector<std::int32_t> species;
    std::vector<std::int64_t> counts(o.species.size());
    const bool valle_oganov =
        o.normalization == static_cast<std::int32_t>(MbtrNormalization::valle_oganov) && !o.local && order > 1;

    for (std::int64_t s = 0; s < batch.n_structures; ++s) {
        throw_if_cancelled(&control);
        const AtomRange range = structure_range(batch, s);
        MbtrStructure st;
        st.first_atom = range.begin;
        st.count = range.size();
        st.numbers = batch.numbers + range.begin;
        species.resize(static_cast<std::size_t>(st.count));
        for (std::int64_t m = 0; m < st.count; ++m) species[m] = species_map.at(st.numbers[m]);
        st.species = species.data();
        // One graph per structure, reused: the same entries as one graph over
        // the whole batch, without holding the whole batch's graph at once.
        if (order > 1) {
            search.build_structure(batch, s, &control, search_options, graph);
            st.graph = &graph;
        }

        double* rows = out + (o.local ? range.begin : s) * shape.width;
        const std::int64_t row_count = o.local ? st.count : 1;
        if (o.local) {
            if (order == 1) terms.local_k1(st, rows, shape.width);
            if (order == 2) terms.local_k2(st, rows, shape.width);
            if (order == 3) terms.local_k3(st, rows, shape.width);
        } else {
            if (order == 1) terms.global_k1(st, rows);
            if (order == 2) terms.global_k2(st, rows);
            if (order == 3) terms.global_k3(st, rows);
        }
        if (valle_oganov) {
            count_species(st.species, st.count, counts);
            const double volume = std::fabs(cell_determinant(batch.cells + 9 * s));
            valle_oganov_scale(rows, o.grid_n, order, volume, counts);
        }
        for (std::int64_t k = 0; k < row_count; ++k)
            normalize_mbtr_row(rows + k * shape.width, shape.width, o.normalization, st.count);
        control.advance();
    }
}

}  // namespace tandril
