#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <utility>

#include "python/compute_frame.hpp"

namespace tandril::python {

namespace py = pybind11;

template <class Calculator>
using CalculatorClass = py::class_<Calculator, std::shared_ptr<Calculator>>;

// Calculator classes are registered (declared) before all options records,
// but their members need the options types; a family's bind function picks
// its declared class up again with this.
template <class Calculator>
CalculatorClass<Calculator> declared_calculator(py::module_& m, const char* name) {
    return py::reinterpret_borrow<CalculatorClass<Calculator>>(m.attr(name));
}

// Members shared by every calculator class: feature_count, species, close(),
// closed(). The calculator provides feature_count() and species().
template <class Calculator>
void def_calculator_protocol(CalculatorClass<Calculator>& cls) {
    cls.def_property_readonly("feature_count", [](const Calculator& c) { return c.feature_count(); })
        .def_property_readonly("species", [](const Calculator& c) { return c.species(); })
        .def("close", [](Calculator& c) { c.close(); })
        .def("closed", [](const Calculator& c) { return c.closed(); });
}

// compute(numbers, positions, cells, pbc, offsets, control=None) for
// calculators whose result is one float64 matrix: the calculator provides
// result_shape(batch) and compute(batch, control, data).
template <class Calculator>
void def_batch_compute(CalculatorClass<Calculator>& cls) {
    cls.def(
        "compute",
        [](Calculator& c, const NumericArray<std::int32_t>& numbers, const NumericArray<double>& positions,
           const NumericArray<double>& cells, const NumericArray<std::int32_t>& pbc,
           const NumericArray<std::int64_t>& offsets, ControlHandle control) {
            const StructureBatch batch = make_batch(numbers, positions, cells, pbc, offsets);
            const auto shape = c.result_shape(batch);
            return compute_rows(batch, {static_cast<py::ssize_t>(shape[0]), static_cast<py::ssize_t>(shape[1])},
                                std::move(control),
                                [&](ComputeControl& held, double* data) { c.compute(batch, held, data); });
        },
        py::arg("numbers"), py::arg("positions"), py::arg("cells"), py::arg("pbc"), py::arg("offsets"),
        py::arg("control") = py::none());
}

}  // namespace tandril::python
