#pragma once

#include <utility>

#include "core/neighbors.hpp"
#include "python/compute_frame.hpp"

namespace tandril::python {

// (row_offsets, neighbors, shifts, vectors, squared distances), taking over
// the graph's storage.
inline pybind11::tuple neighbor_graph_arrays(NeighborGraph&& graph) {
    namespace py = pybind11;
    const auto entries = static_cast<py::ssize_t>(graph.entry_count());
    const auto rows = static_cast<py::ssize_t>(graph.row_offsets.size());
    if (graph.shifts.empty()) graph.shifts.resize(3 * graph.neighbors.size(), 0);
    return py::make_tuple(adopt_vector(std::move(graph.row_offsets), {rows}),
                          adopt_vector(std::move(graph.neighbors), {entries}),
                          adopt_vector(std::move(graph.shifts), {entries, 3}),
                          adopt_vector(std::move(graph.vectors), {entries, 3}),
                          adopt_vector(std::move(graph.distances_squared), {entries}));
}

}  // namespace tandril::python
