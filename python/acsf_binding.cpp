#include "descriptors/acsf/acsf_calculator.hpp"
#include "python/bindings.hpp"
#include "python/calculator_binding.hpp"

namespace tandril::python {

namespace py = pybind11;

void declare_acsf_calculator(py::module_& m) { CalculatorClass<AcsfCalculator>(m, "AcsfCalculator"); }

void bind_acsf_calculator(py::module_& m) {
    py::class_<AcsfOptions>(m, "AcsfOptions")
        .def(py::init<>())
        .def_readwrite("species", &AcsfOptions::species)
        .def_readwrite("r_cut", &AcsfOptions::r_cut)
        .def_readwrite("g2_params", &AcsfOptions::g2_params)
        .def_readwrite("g3_params", &AcsfOptions::g3_params)
        .def_readwrite("g4_params", &AcsfOptions::g4_params)
        .def_readwrite("g5_params", &AcsfOptions::g5_params)
        .def_readwrite("n_g2", &AcsfOptions::n_g2)
        .def_readwrite("n_g3", &AcsfOptions::n_g3)
        .def_readwrite("n_g4", &AcsfOptions::n_g4)
        .def_readwrite("n_g5", &AcsfOptions::n_g5)
        .def_readwrite("num_threads", &AcsfOptions::num_threads);

    auto calculator = declared_calculator<AcsfCalculator>(m, "AcsfCalculator");
    calculator.def(py::init<const AcsfOptions&>());
    def_calculator_protocol(calculator);
    def_batch_compute(calculator);
}

}  // namespace tandril::python
