#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "descriptors/nep/nep_calculator.hpp"
#include "python/bindings.hpp"
#include "python/calculator_binding.hpp"

namespace tandril::python {

namespace py = pybind11;

void declare_nep_calculator(py::module_& m) { CalculatorClass<NepCalculator>(m, "NepCalculator"); }

void bind_nep_calculator(py::module_& m) {
    py::class_<NepOptions>(m, "NepOptions")
        .def(py::init<>())
        .def_readwrite("model_path", &NepOptions::model_path)
        .def_readwrite("num_threads", &NepOptions::num_threads);

    auto cls = declared_calculator<NepCalculator>(m, "NepCalculator");
    cls.def(py::init<const NepOptions&>());
    def_calculator_protocol(cls);
    cls.def_property_readonly("model_path", &NepCalculator::model_path)
        .def_property_readonly("radial_cutoff", &NepCalculator::radial_cutoff)
        .def_property_readonly("angular_cutoff", &NepCalculator::angular_cutoff)
        .def_property_readonly("n_max_radial", &NepCalculator::n_max_radial)
        .def_property_readonly("n_max_angular", &NepCalculator::n_max_angular)
        .def_property_readonly("l_max", &NepCalculator::l_max);
    def_batch_compute(cls);
}

}  // namespace tandril::python
