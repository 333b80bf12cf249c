#include "descriptors/soap/soap_calculator.hpp"

#include <algorithm>
#include <stdexcept>

#include "core/neighbors.hpp"
#include "core/species.hpp"
#include "descriptors/soap/real_solid_harmonics.hpp"
#include "descriptors/soap/soap_expansion.hpp"
#include "descriptors/soap/soap_layout.hpp"
#include "descriptors/soap/soap_radial_tables.hpp"
#include "descriptors/soap/soap_validation.hpp"

namespace tandril {
namespace {

// sqrt(2 ln 1000): where a Gaussian of unit width has fallen to 1/1000 of its peak.
constexpr double gaussian_reach = 3.7169221888498383;

std::vector<std::int32_t> species_indices(const StructureBatch& batch, const std::vector<std::int32_t>& species) {
    const SpeciesMap map = build_species_map(species);
    std::vector<std::int32_t> indices(static_cast<std::size_t>(batch.n_atoms));
    for (std::int64_t i = 0; i < batch.n_atoms; ++i) {
        const auto found = map.find(batch.numbers[i]);
        if (found == map.end()) throw std::invalid_argument("batch contains an atomic number outside calculator species");
        indices[static_cast<std::size_t>(i)] = found->second;
    }
    return indices;
}

}  // namespace

SoapCalculator::SoapCalculator(const SoapOptions& options)
    : CalculatorFrame(options, "SOAP calculator is closed", ClosedTest::after_lock) {}

std::int64_t SoapCalculator::feature_count() const { return soap_feature_count(options()); }

std::array<std::int64_t, 2> SoapCalculator::result_shape(const StructureBatch& batch, bool inner_average,
                                                         bool outer_average) const {
    const std::int64_t rows = soap_averages(inner_average, outer_average) ? batch.n_structures : batch.n_atoms;
    return {rows, std::max<std::int64_t>(feature_count(), 0)};
}

void SoapCalculator::compute(const StructureBatch& batch, ComputeControl& control, double* out, bool inner_average,
                             bool outer_average) {
    run_exclusive([&] {
        const SoapOptions& o = options();
        validate_calculator_batch(batch);
        check_batch_species(batch, o.species);
        validate_soap_options(o);
        check_soap_averaging_arguments(o, inner_average, outer_average);
        control.reset(batch.n_structures);

        const std::int64_t features = feature_count();
        if (batch.n_structures == 0) return;

        const SoapRadialTables tables = build_soap_radial_tables(o);
        const RealSolidHarmonics harmonics(o.l_max);
        const std::vector<std::int32_t> species_of_atom = species_indices(batch, o.species);
        const SoapKernel kernel{o,
                                tables,
                                harmonics,
                                species_of_atom,
                                soap_channel_count(o),
                                features,
                                o.compression != 0 || o.inner_average};
        const bool averaged = soap_averages(o.inner_average, o.outer_average);
        NeighborSearchOptions search_options{o.r_cut + gaussian_reach * o.sigma, o.num_threads, false, true};
        NeighborSearch search;
        NeighborGraph graph;

        if (batch.n_structures == 1) {
            SoapWorkspace workspace;  // lives for this call only, caches included
            prepare_soap_workspace(kernel, workspace);
            search.build_batch(batch, &control, search_options, graph);
            soap_structure(kernel, graph, 0, batch.n_atoms, control, workspace, out);
            throw_if_cancelled(&control);
            control.advance();
            return;
        }

        SoapWorkspace& workspace = thread_soap_workspace();
        prepare_soap_workspace(kernel, workspace);
        search_options.num_threads = 1;
        for (std::int64_t s = 0; s < batch.n_structures; ++s) {
            if (control.cancelled()) continue;
            const StructureBatch view = structure_view(batch, s);
            search.build_structure(view, 0, &control, search_options, graph);
            const AtomRange range = structure_range(batch, s);
            double* target = out + (averaged ? s : range.begin) * features;
            soap_structure(kernel, graph, range.begin, range.size(), control, workspace, target);
            // Only finished structures count as completed.
            if (!control.cancelled()) control.advance();
        }
        throw_if_cancelled(&control);
    });
}

}  // namespace tandril
