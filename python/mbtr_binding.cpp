#include <vector>

#include "descriptors/mbtr/compute_mbtr.hpp"
#include "python/bindings.hpp"
#include "python/compute_frame.hpp"

namespace tandril::python {

namespace py = pybind11;

void bind_mbtr(py::module_& m) {
    m.def(
        "compute_mbtr",
        [](const NumericArray<std::int32_t>& numbers, const NumericArray<double>& positions,
           const NumericArray<double>& cells, const NumericArray<std::int32_t>& pbc,
           const NumericArray<std::int64_t>& offsets, std::vector<std::int32_t> species, std::int32_t geometry,
           std::int32_t weighting, std::int32_t normalization, double grid_min, double grid_max, double grid_sigma,
           std::int32_t grid_n, bool normalize_gaussians, double scale, double threshold, double r_cut,
           double sharpness, bool local, ControlHandle control) {
            const StructureBatch batch = make_batch(numbers, positions, cells, pbc, offsets);
            const MbtrOptions options{std::move(species), geometry,  weighting, normalization,       grid_min,
                                      grid_max,           grid_sigma, grid_n,   normalize_gaussians, scale,
                                      threshold,          r_cut,      sharpness, local};
            const MbtrShape shape = mbtr_result_shape(batch, options);
            return compute_rows(batch, {static_cast<py::ssize_t>(shape.rows), static_cast<py::ssize_t>(shape.width)},
                                std::move(control),
                                [&](ComputeControl& held, double* data) { compute_mbtr(batch, options, held, data); });
        },
        py::arg("numbers"), py::arg("positions"), py::arg("cells"), py::arg("pbc"), py::arg("offsets"),
        py::arg("species"), py::arg("geometry") = 1, py::arg("weighting") = 1, py::arg("normalization") = 0,
        py::arg("grid_min") = 0.0, py::arg("grid_max") = 6.0, py::arg("grid_sigma") = 0.1, py::arg("grid_n") = 50,
        py::arg("normalize_gaussians") = true, py::arg("scale") = 0.5, py::arg("threshold") = 0.001,
        py::arg("r_cut") = 6.0, py::arg("sharpness") = 2.0, py::arg("local") = false,
        py::arg("control") = py::none());
}

}  // namespace tandril::python
