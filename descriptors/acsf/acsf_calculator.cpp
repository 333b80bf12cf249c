#include "descriptors/acsf/acsf_calculator.hpp"

#include <algorithm>
#include <stdexcept>

#include "core/neighbors.hpp"
#include "core/species.hpp"
#include "descriptors/acsf/acsf_kernel.hpp"
#include "descriptors/acsf/acsf_layout.hpp"
#include "descriptors/acsf/acsf_validation.hpp"

namespace tandril {
namespace {

void map_structure_species(const StructureBatch& structure, const SpeciesMap& map, std::vector<std::int32_t>& out) {
    out.resize(static_cast<std::size_t>(structure.n_atoms));
    for (std::int64_t m = 0; m < structure.n_atoms; ++m) {
        const auto found = map.find(structure.numbers[m]);
        if (found == map.end()) throw std::invalid_argument("batch contains an atomic number outside calculator species");
        out[m] = found->second;
    }
}

// Rows of every atom of a one-structure batch whose graph is given; stops
// early (returning false) once cancellation is requested.
bool structure_rows(const AcsfSetup& setup, const StructureBatch& structure, const NeighborGraph& graph,
                    const SpeciesMap& map, const ComputeControl& control, AcsfScratch& scratch, double* out) {
    map_structure_species(structure, map, scratch.species_of_atom);
    const std::int64_t width = setup.layout.feature_count();
    for (std::int64_t m = 0; m < structure.n_atoms; ++m) {
        if (control.cancelled()) return false;
        acsf_atom_row(setup, graph, m, scratch.species_of_atom, scratch, out + m * width);
    }
    return true;
}

}  // namespace

AcsfCalculator::AcsfCalculator(const AcsfOptions& options)
    : CalculatorFrame(options, "ACSF calculator is closed", ClosedTest::after_lock) {}

std::int64_t AcsfCalculator::feature_count() const noexcept { return acsf_layout(options()).feature_count(); }

std::array<std::int64_t, 2> AcsfCalculator::result_shape(const StructureBatch& batch) const noexcept {
    return {batch.n_atoms, acsf_parameters_are_consistent(options()) ? feature_count() : 0};
}

void AcsfCalculator::compute(const StructureBatch& batch, ComputeControl& control, double* out) {
    run_exclusive([&] {
        const AcsfOptions& o = options();
        validate_calculator_batch(batch);
        check_batch_species(batch, o.species);
        validate_acsf_parameters(o);
        control.reset(batch.n_structures);

        const AcsfSetup setup = make_acsf_setup(o);
        const std::int64_t width = setup.layout.feature_count();
        const SpeciesMap map = build_species_map(o.species);
        AcsfScratch& scratch = acsf_thread_scratch();
        NeighborSearch search;
        NeighborGraph graph;

        if (batch.n_structures == 1) {
            search.build_batch(batch, &control, {o.r_cut, o.num_threads, false, true}, graph);
            structure_rows(setup, batch, graph, map, control, scratch, out);
            throw_if_cancelled(&control);
            control.advance();
            return;
        }
        for (std::int64_t s = 0; s < batch.n_structures; ++s) {
            if (control.cancelled()) continue;
            const StructureBatch view = structure_view(batch, s);
            search.build_structure(view, 0, &control, {o.r_cut, 1, false, true}, graph);
            if (structure_rows(setup, view, graph, map, control, scratch, out + batch.offsets[s] * width))
                control.advance();
        }
        throw_if_cancelled(&control);
    });
}

}  // namespace tandril
