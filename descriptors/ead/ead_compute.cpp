#include "descriptors/ead/ead_compute.hpp"

#include <algorithm>

#include "core/neighbors.hpp"
#include "descriptors/ead/ead_kernel.hpp"

namespace tandril {

void compute_ead(const StructureBatch& batch, const EadParameters& parameters, ComputeControl& control, double* out) {
    validate_descriptor_batch(batch);
    validate_ead_parameters(parameters);
    const std::int64_t width = ead_feature_count(parameters);
    std::fill(out, out + batch.n_atoms * width, 0.0);
    start_unless_cancelled(control, batch.n_structures);

    const NeighborGraph graph = build_batch_neighbors(batch, &control, 0, false, true, parameters.cutoff);
    const EadSetup setup = make_ead_setup(parameters);
    EadScratch scratch(setup);
    for (std::int64_t s = 0; s < batch.n_structures; ++s) {
        throw_if_cancelled(&control);
        const AtomRange range = structure_range(batch, s);
        for (std::int64_t i = range.begin; i < range.end; ++i)
            ead_atom_row(setup, batch, graph, i, scratch, out + i * width);
        control.advance();
    }
}

}  // namespace tandril
