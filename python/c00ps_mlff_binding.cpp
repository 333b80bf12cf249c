#include "descriptors/c00ps_mlff/c00ps_mlff_calculator.hpp"
#include "python/bindings.hpp"
#include "python/calculator_binding.hpp"

namespace tandril::python {

namespace py = pybind11;

void declare_c00ps_mlff_calculator(py::module_& m) { CalculatorClass<C00PSMlffCalculator>(m, "C00PSMlffCalculator"); }

void bind_c00ps_mlff_calculator(py::module_& m) {
    py::class_<C00PSMlffOptions>(m, "C00PSMlffOptions")
        .def(py::init<>())
        .def_readwrite("species", &C00PSMlffOptions::species)
        .def_readwrite("r_cut", &C00PSMlffOptions::r_cut)
        .def_readwrite("n_radial", &C00PSMlffOptions::n_radial)
        .def_readwrite("l_max", &C00PSMlffOptions::l_max)
        .def_readwrite("cutoff_function", &C00PSMlffOptions::cutoff_function)
        .def_readwrite("include_radial", &C00PSMlffOptions::include_radial)
        .def_readwrite("include_angular", &C00PSMlffOptions::include_angular)
        .def_readwrite("normalize_radial", &C00PSMlffOptions::normalize_radial)
        .def_readwrite("normalize_angular", &C00PSMlffOptions::normalize_angular)
        .def_readwrite("super_vector", &C00PSMlffOptions::super_vector)
        .def_readwrite("radial_weight", &C00PSMlffOptions::radial_weight)
        .def_readwrite("angular_weight", &C00PSMlffOptions::angular_weight)
        .def_readwrite("exclude_self_interaction", &C00PSMlffOptions::exclude_self_interaction)
        .def_readwrite("num_threads", &C00PSMlffOptions::num_threads);

    auto calculator = declared_calculator<C00PSMlffCalculator>(m, "C00PSMlffCalculator");
    calculator.def(py::init<const C00PSMlffOptions&>());
    def_calculator_protocol(calculator);
    calculator.def_property_readonly("radial_counts", [](const C00PSMlffCalculator& c) { return c.radial_counts(); });
    def_batch_compute(calculator);
}

}  // namespace tandril::python
