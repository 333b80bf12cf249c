#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <memory>
#include <utility>
#include <vector>

#include "core/compute_control.hpp"
#include "core/structure_batch.hpp"
#include "python/numeric_array.hpp"

namespace tandril::python {

namespace py = pybind11;

using ControlHandle = std::shared_ptr<ComputeControl>;

template <class T>
ArrayInput<T> array_input(const NumericArray<T>& a) {
    return {a.data(), std::span<const std::ptrdiff_t>(a.array.shape(), static_cast<std::size_t>(a.ndim()))};
}

// The five batch arrays as a view; the arrays must outlive it (they are the
// call's own arguments, referenced until it returns).
inline StructureBatch make_batch(const NumericArray<std::int32_t>& numbers, const NumericArray<double>& positions,
                                 const NumericArray<double>& cells, const NumericArray<std::int32_t>& pbc,
                                 const NumericArray<std::int64_t>& offsets) {
    return make_structure_batch(array_input(numbers), array_input(positions), array_input(cells), array_input(pbc),
                                array_input(offsets));
}

// The caller's control, or a private one nobody else can reach.
inline ControlHandle control_or_private(ControlHandle control) {
    return control ? std::move(control) : std::make_shared<ComputeControl>();
}

// Allocates the float64 result with the interpreter lock held, then runs
// `fill(control, data)` without it. The control share is held for the whole
// computation, so dropping the Python object meanwhile is harmless. A batch
// without structures can still carry atoms; no kernel writes their rows, so
// the result starts as zeros then rather than as stale memory.
template <class Fill>
py::array_t<double> compute_rows(const StructureBatch& batch, const std::vector<py::ssize_t>& shape,
                                 ControlHandle control, Fill&& fill) {
    py::array_t<double> result(shape);
    const ControlHandle held = control_or_private(std::move(control));
    double* data = result.mutable_data();
    if (batch.n_structures == 0) std::fill(data, data + result.size(), 0.0);
    {
        py::gil_scoped_release unlocked;
        fill(*held, data);
    }
    return result;
}

// Hands a vector's storage to NumPy without copying it.
template <class T, class Allocator>
py::array_t<T> adopt_vector(std::vector<T, Allocator>&& values, std::vector<py::ssize_t> shape) {
    using Vector = std::vector<T, Allocator>;
    auto* owned = new Vector(std::move(values));
    py::capsule owner(owned, [](void* p) { delete static_cast<Vector*>(p); });
    return py::array_t<T>(std::move(shape), owned->data(), owner);
}

}  // namespace tandril::python
