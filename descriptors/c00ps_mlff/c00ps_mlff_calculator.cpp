#include "descriptors/c00ps_mlff/c00ps_mlff_calculator.hpp"

#include <algorithm>
#include <stdexcept>

#include "core/neighbors.hpp"
#include "core/species.hpp"
#include "descriptors/c00ps_mlff/c00ps_mlff_kernel.hpp"
#include "descriptors/c00ps_mlff/c00ps_mlff_validation.hpp"

namespace tandril {
namespace {

const C00PSMlffOptions& validated(const C00PSMlffOptions& options) {
    validate_c00ps_mlff_options(options);
    return options;
}

std::vector<std::int32_t> batch_species_indices(const StructureBatch& batch, const std::vector<std::int32_t>& species) {
    const SpeciesMap map = build_species_map(species);
    std::vector<std::int32_t> indices(static_cast<std::size_t>(batch.n_atoms));
    for (std::int64_t i = 0; i < batch.n_atoms; ++i) {
        const auto found = map.find(batch.numbers[i]);
        if (found == map.end()) throw std::invalid_argument("batch contains an atomic number outside calculator species");
        indices[i] = found->second;
    }
    return indices;
}

}  // namespace

C00PSMlffCalculator::C00PSMlffCalculator(const C00PSMlffOptions& options)
    : CalculatorFrame(validated(options), "C00PS-MLFF calculator is closed", ClosedTest::after_lock),
      basis_(build_c00ps_mlff_basis(options.r_cut, options.n_radial, options.l_max)),
      layout_(make_c00ps_mlff_layout(static_cast<std::int64_t>(options.species.size()), basis_.radial_counts,
                                     options.include_radial, options.include_angular)) {}

void C00PSMlffCalculator::compute(const StructureBatch& batch, ComputeControl& control, double* out) {
    if (out == nullptr && batch.n_atoms > 0 && layout_.feature_count > 0)
        throw std::invalid_argument("C00PS-MLFF output must not be null");
    run_exclusive([&] {
        const C00PSMlffOptions& o = options();
        validate_calculator_batch(batch);
        check_batch_species(batch, o.species);
        control.reset(batch.n_structures);
        const std::int64_t width = layout_.feature_count;
        std::fill(out, out + batch.n_atoms * width, 0.0);

        const NeighborGraph graph = build_batch_neighbors(batch, &control, o.num_threads, false, true, o.r_cut);
        const std::vector<std::int32_t> species_of_atom = batch_species_indices(batch, o.species);
        const C00PSMlffSetup setup = make_c00ps_mlff_setup(o, basis_, layout_);
        C00PSMlffScratch scratch;
        for (std::int64_t s = 0; s < batch.n_structures; ++s) {
            if (control.cancelled()) break;
            const AtomRange range = structure_range(batch, s);
            bool finished = true;
            for (std::int64_t i = range.begin; i < range.end; ++i) {
                if (control.cancelled()) {
                    finished = false;
                    break;
                }
                c00ps_mlff_atom_row(setup, graph, i, species_of_atom, scratch, out + i * width);
            }
            if (finished) control.advance();
        }
        throw_if_cancelled(&control);
    });
}

}  // namespace tandril
