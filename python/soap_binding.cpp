#include "descriptors/soap/soap_calculator.hpp"
#include "python/bindings.hpp"
#include "python/calculator_binding.hpp"

namespace tandril::python {

namespace py = pybind11;

void declare_soap_calculator(py::module_& m) { CalculatorClass<SoapCalculator>(m, "SoapCalculator"); }

void bind_soap_calculator(py::module_& m) {
    py::class_<SoapOptions>(m, "SoapOptions")
        .def(py::init<>())
        .def_readwrite("species", &SoapOptions::species)
        .def_readwrite("r_cut", &SoapOptions::r_cut)
        .def_readwrite("n_max", &SoapOptions::n_max)
        .def_readwrite("l_max", &SoapOptions::l_max)
        .def_readwrite("sigma", &SoapOptions::sigma)
        .def_readwrite("radial_basis", &SoapOptions::radial_basis)
        .def_readwrite("alphas", &SoapOptions::alphas)
        .def_readwrite("betas", &SoapOptions::betas)
        .def_readwrite("radial_grid", &SoapOptions::radial_grid)
        .def_readwrite("radial_weights", &SoapOptions::radial_weights)
        .def_readwrite("radial_values", &SoapOptions::radial_values)
        .def_readwrite("weighting_function", &SoapOptions::weighting_function)
        .def_readwrite("weighting_has_w0", &SoapOptions::weighting_has_w0)
        .def_readwrite("weighting_has_function", &SoapOptions::weighting_has_function)
        .def_readwrite("weighting_r0", &SoapOptions::weighting_r0)
        .def_readwrite("weighting_c", &SoapOptions::weighting_c)
        .def_readwrite("weighting_d", &SoapOptions::weighting_d)
        .def_readwrite("weighting_m", &SoapOptions::weighting_m)
        .def_readwrite("weighting_threshold", &SoapOptions::weighting_threshold)
        .def_readwrite("weighting_w0", &SoapOptions::weighting_w0)
        .def_readwrite("species_weights", &SoapOptions::species_weights)
        .def_readwrite("compression", &SoapOptions::compression)
        .def_readwrite("inner_average", &SoapOptions::inner_average)
        .def_readwrite("outer_average", &SoapOptions::outer_average)
        .def_readwrite("num_threads", &SoapOptions::num_threads);

    auto cls = declared_calculator<SoapCalculator>(m, "SoapCalculator");
    cls.def(py::init<const SoapOptions&>());
    def_calculator_protocol(cls);
    cls.def(
        "compute",
        [](SoapCalculator& c, const NumericArray<std::int32_t>& numbers, const NumericArray<double>& positions,
           const NumericArray<double>& cells, const NumericArray<std::int32_t>& pbc,
           const NumericArray<std::int64_t>& offsets, ControlHandle control, std::int32_t /*num_threads*/,
           bool inner_average, bool outer_average) {
            const StructureBatch batch = make_batch(numbers, positions, cells, pbc, offsets);
            const auto shape = c.result_shape(batch, inner_average, outer_average);
            return compute_rows(batch, {static_cast<py::ssize_t>(shape[0]), static_cast<py::ssize_t>(shape[1])},
                                std::move(control), [&](ComputeControl& held, double* data) {
                                    c.compute(batch, held, data, inner_average, outer_average);
                                });
        },
        py::arg("numbers"), py::arg("positions"), py::arg("cells"), py::arg("pbc"), py::arg("offsets"),
        py::arg("control") = py::none(), py::arg("num_threads") = 0, py::arg("inner_average") = true,
        py::arg("outer_average") = false);
}

}  // namespace tandril::python
