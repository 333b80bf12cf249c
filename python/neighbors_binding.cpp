#include "core/neighbors.hpp"
#include "python/bindings.hpp"
#include "python/compute_frame.hpp"
#include "python/neighbor_arrays.hpp"

namespace tandril::python {

namespace py = pybind11;

void bind_neighbor_graph(py::module_& m) {
    m.def(
        "build_neighbor_graph",
        [](const NumericArray<std::int32_t>& numbers, const NumericArray<double>& positions,
           const NumericArray<double>& cell, const NumericArray<std::int32_t>& pbc, double cutoff) {
            const StructureBatch batch = make_single_structure_batch(array_input(numbers), array_input(positions),
                                                                     array_input(cell), array_input(pbc));
            NeighborGraph graph;
            {
                py::gil_scoped_release unlocked;
                graph = build_batch_neighbors(batch, nullptr, 0, false, true, cutoff);
            }
            return neighbor_graph_arrays(std::move(graph));
        },
        py::arg("numbers"), py::arg("positions"), py::arg("cell"), py::arg("pbc"), py::arg("cutoff"));
}

}  // namespace tandril::python
