#include <string>

#include "descriptors/matrices/compute_matrices.hpp"
#include "python/bindings.hpp"
#include "python/compute_frame.hpp"

namespace tandril::python {

namespace py = pybind11;

namespace {

using Int32 = NumericArray<std::int32_t>;
using Float64 = NumericArray<double>;
using Int64 = NumericArray<std::int64_t>;

std::vector<py::ssize_t> result_shape(std::int64_t rows, std::int64_t width) {
    check_result_size(rows, width);
    return {static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(width)};
}

}  // namespace

void bind_matrices(py::module_& m) {
    m.def(
        "compute_coulomb_matrix",
        [](const Int32& numbers, const Float64& positions, const Float64& cells, const Int32& pbc,
           const Int64& offsets, std::int64_t n_atoms_max, const std::string& permutation, double exponent,
           ControlHandle control) {
            const StructureBatch batch = make_batch(numbers, positions, cells, pbc, offsets);
            const std::int64_t width = coulomb_matrix_width(n_atoms_max, permutation);
            return compute_rows(batch, result_shape(batch.n_structures, width), std::move(control),
                                [&](ComputeControl& held, double* data) {
                                    compute_coulomb_matrix(batch, n_atoms_max, permutation, exponent, held, data);
                                });
        },
        py::arg("numbers"), py::arg("positions"), py::arg("cells"), py::arg("pbc"), py::arg("offsets"),
        py::arg("n_atoms_max"), py::arg("permutation"), py::arg("exponent") = 2.4, py::arg("control") = py::none());

    m.def(
        "compute_matrix",
        [](const Int32& numbers, const Float64& positions, const Float64& cells, const Int32& pbc,
           const Int64& offsets, std::int64_t n_atoms_max, const std::string& permutation, double exponent,
           std::int32_t kind, double accuracy, double w, double r_cut, double g_cut, double a,
           ControlHandle control) {
            const StructureBatch batch = make_batch(numbers, positions, cells, pbc, offsets);
            const std::int64_t width = matrix_width(n_atoms_max, permutation);
            const MatrixRequest request{n_atoms_max, permutation, exponent, kind, {accuracy, w, r_cut, g_cut, a}};
            return compute_rows(batch, result_shape(batch.n_structures, width), std::move(control),
                                [&](ComputeControl& held, double* data) { compute_matrix(batch, request, held, data); });
        },
        py::arg("numbers"), py::arg("positions"), py::arg("cells"), py::arg("pbc"), py::arg("offsets"),
        py::arg("n_atoms_max"), py::arg("permutation"), py::arg("exponent") = 2.4, py::arg("kind") = 0,
        py::arg("accuracy") = 1e-05, py::arg("w") = 1.0, py::arg("r_cut") = 0.0, py::arg("g_cut") = 0.0,
        py::arg("a") = 0.0, py::arg("control") = py::none());
}

}  // namespace tandril::python
