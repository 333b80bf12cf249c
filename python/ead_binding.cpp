#include "descriptors/ead/ead_compute.hpp"
#include "python/bindings.hpp"
#include "python/compute_frame.hpp"

namespace tandril::python {

namespace py = pybind11;

void bind_ead(py::module_& m) {
    m.def(
        "compute_ead",
        [](const NumericArray<std::int32_t>& numbers, const NumericArray<double>& positions,
           const NumericArray<double>& cells, const NumericArray<std::int32_t>& pbc,
           const NumericArray<std::int64_t>& offsets, std::int32_t max_degree, double cutoff,
           std::vector<double> eta, std::vector<double> rs, ControlHandle control) {
            const StructureBatch batch = make_batch(numbers, positions, cells, pbc, offsets);
            const EadParameters parameters{max_degree, cutoff, std::move(eta), std::move(rs)};
            const std::int64_t width = ead_feature_count(parameters);
            return compute_rows(batch, {static_cast<py::ssize_t>(batch.n_atoms), static_cast<py::ssize_t>(width)},
                                std::move(control), [&](ComputeControl& held, double* data) {
                                    compute_ead(batch, parameters, held, data);
                                });
        },
        py::arg("numbers"), py::arg("positions"), py::arg("cells"), py::arg("pbc"), py::arg("offsets"),
        py::arg("max_degree") = 3, py::arg("cutoff") = 6.0, py::arg("eta"), py::arg("rs"),
        py::arg("control") = py::none());
}

}  // namespace tandril::python
