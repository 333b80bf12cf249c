#include "descriptors/nep/nep_calculator.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "core/neighbors.hpp"
#include "descriptors/nep/nep_kernel.hpp"

namespace tandril {
namespace {

// Model type of every atom, all looked up before any row is computed.
std::vector<std::int32_t> atom_types(const NepModel& model, const StructureBatch& batch) {
    std::vector<std::int32_t> types(static_cast<std::size_t>(batch.n_atoms));
    for (std::int64_t i = 0; i < batch.n_atoms; ++i) {
        const auto found = model.type_of_number.find(batch.numbers[i]);
        if (found == model.type_of_number.end())
            throw std::invalid_argument("structure contains an element not present in the NEP model: " +
                                        std::to_string(batch.numbers[i]));
        types[static_cast<std::size_t>(i)] = found->second;
    }
    return types;
}

// Room for the neighbour list of the largest structure, estimated from the
// number density, so that the per-structure search does not grow its arrays
// entry by entry. Only a hint: a list that is longer still grows as usual.
void reserve_structure_graph(const StructureBatch& batch, double cutoff, NeighborGraph& graph) {
    constexpr double max_reserved_entries = 1 << 24;
    const double sphere = 4.0 / 3.0 * 3.141592653589793 * cutoff * cutoff * cutoff;
    double entries = 0.0;
    std::int64_t atoms = 0;
    for (std::int64_t s = 0; s < batch.n_structures; ++s) {
        const std::int64_t count = structure_range(batch, s).size();
        const double volume = std::fabs(cell_determinant(batch.cells + 9 * s));
        if (count == 0 || !(volume > 0.0)) continue;
        const double estimate = count * (1.0 + 1.25 * sphere * static_cast<double>(count) / volume);
        entries = std::max(entries, estimate);
        atoms = std::max(atoms, count);
    }
    if (!(entries < max_reserved_entries)) return;
    const auto n = static_cast<std::size_t>(entries);
    graph.row_offsets.reserve(static_cast<std::size_t>(atoms) + 1);
    graph.neighbors.reserve(n);
    graph.vectors.reserve(3 * n);
    graph.distances_squared.reserve(n);
}

// Bytes of the kept neighbour list above which it is released after a call.
constexpr std::size_t kept_graph_bytes = std::size_t{64} << 20;

std::size_t graph_bytes(const NeighborGraph& graph) {
    return graph.row_offsets.capacity() * sizeof(std::int64_t) + graph.neighbors.capacity() * sizeof(std::int32_t) +
           graph.shifts.capacity() * sizeof(std::int32_t) + graph.vectors.capacity() * sizeof(double) +
           graph.distances_squared.capacity() * sizeof(double);
}

// Releases the list after the call when it is large (also when the call failed).
class GraphRelease {
public:
    explicit GraphRelease(NeighborGraph& graph) noexcept : graph_(graph) {}
    GraphRelease(const GraphRelease&) = delete;
    GraphRelease& operator=(const GraphRelease&) = delete;
    ~GraphRelease() {
        if (graph_bytes(graph_) > kept_graph_bytes) graph_ = NeighborGraph{};
    }

private:
    NeighborGraph& graph_;
};

}  // namespace

NepCalculator::NepCalculator(const NepOptions& options)
    : CalculatorFrame(options, "NEP calculator is closed", ClosedTest::before_lock),
      model_(load_nep_model(options.model_path)) {
    if (options.num_threads < 0) throw std::invalid_argument("NEP num_threads must be non-negative");
}

void NepCalculator::compute(const StructureBatch& batch, ComputeControl& control, double* out) {
    run_exclusive([&] {
        if (batch.n_atoms == 0) return;
        const NepModel& model = *model_;
        const std::vector<std::int32_t> types = atom_types(model, batch);
        check_batch_offsets(batch);
        const auto row_length = static_cast<std::size_t>(model.feature_count);
        if (batch.n_structures == 0) return;
        const std::int32_t num_threads = options().num_threads;
        const NeighborSearchOptions search_options{std::max(model.radial_cutoff, model.angular_cutoff),
                                                   num_threads, false, false};
        NepKernel kernel(model);
        NeighborSearch& search = search_;
        NeighborGraph& graph = graph_;
        const GraphRelease release(graph);
        if (num_threads == 1) {
            // One structure's list at a time.
            reserve_structure_graph(batch, search_options.cutoff, graph);
            for (std::int64_t s = 0; s < batch.n_structures; ++s) {
                if (control.cancelled()) break;
                const AtomRange range = structure_range(batch, s);
                if (range.size() == 0) continue;
                search.build_batch(structure_view(batch, s), &control, search_options, graph);
                const std::int32_t* local_types = types.data() + range.begin;
                for (std::int64_t m = 0; m < range.size(); ++m)
                    kernel.compute_row(local_types[m], graph, m, local_types,
                                       out + static_cast<std::size_t>(range.begin + m) * row_length);
            }
        } else {
            search.build_batch(batch, &control, search_options, graph);
            for (std::int64_t i = 0; i < batch.n_atoms; ++i) {
                if (control.cancelled()) break;
                kernel.compute_row(types[static_cast<std::size_t>(i)], graph, i, types.data(),
                                   out + static_cast<std::size_t>(i) * row_length);
            }
        }
        throw_if_cancelled(&control);
    });
}

}  // namespace tandril
