// Native helpers behind the Python conveniences of the package: ready-made
// SOAP radial tables (and the harmonics they are used with, for tests).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <utility>

#include "descriptors/soap/basis_tables.hpp"
#include "descriptors/soap/real_solid_harmonics.hpp"
#include "python/compute_frame.hpp"
#include "python/numeric_array.hpp"

namespace py = pybind11;
using namespace tandril;
using namespace tandril::python;

PYBIND11_MODULE(_tables_cpp, m) {
    m.def(
        "soap_gto_basis",
        [](double r_cut, std::int32_t n_max, std::int32_t l_max) {
            GtoBasisTables tables;
            {
                py::gil_scoped_release unlocked;
                tables = soap_gto_basis_tables(r_cut, n_max, l_max);
            }
            const py::ssize_t degrees = l_max + 1, n = n_max;
            return py::make_tuple(adopt_vector(std::move(tables.alphas), {degrees, n}),
                                  adopt_vector(std::move(tables.betas), {degrees, n, n}));
        },
        py::arg("r_cut"), py::arg("n_max"), py::arg("l_max"));

    m.def(
        "soap_polynomial_basis",
        [](double r_cut, std::int32_t n_max, std::int32_t grid_size) {
            PolynomialBasisTables tables;
            {
                py::gil_scoped_release unlocked;
                tables = soap_polynomial_basis_tables(r_cut, n_max, grid_size);
            }
            const py::ssize_t g = grid_size, n = n_max;
            return py::make_tuple(adopt_vector(std::move(tables.grid), {g}), adopt_vector(std::move(tables.weights), {g}),
                                  adopt_vector(std::move(tables.values), {n, g}));
        },
        py::arg("r_cut"), py::arg("n_max"), py::arg("grid_size"));

    // r^l Y_lm at each point (rows of an (n, 3) array), by the production
    // path or by the general recurrence alone; lets the tests check both.
    m.def(
        "_real_solid_harmonics",
        [](const NumericArray<double>& points, std::int32_t l_max, bool recurrence_only) {
            if (points.ndim() != 2 || points.shape(1) != 3)
                throw std::invalid_argument("points must have shape (n, 3)");
            const RealSolidHarmonics harmonics(l_max);
            const py::ssize_t count = points.shape(0), width = harmonics.count();
            py::array_t<double> out({count, width});
            double* data = out.mutable_data();
            const double* p = points.data();
            for (py::ssize_t k = 0; k < count; ++k) {
                if (recurrence_only) harmonics.evaluate_by_recurrence(p[3 * k], p[3 * k + 1], p[3 * k + 2], data + k * width);
                else harmonics.evaluate(p[3 * k], p[3 * k + 1], p[3 * k + 2], data + k * width);
            }
            return out;
        },
        py::arg("points"), py::arg("l_max"), py::arg("recurrence_only") = false);
}
