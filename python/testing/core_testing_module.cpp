// Test harness for internal routines that have no public entry point of
// their own (validation routines, species check, the batch neighbour search
// with all its options, orthonormalisation, the written-out hypot, the
// eigenvalue solver one matrix at a time and in groups).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <stdexcept>
#include <vector>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "core/gauss_legendre.hpp"
#include "core/inline_hypot.hpp"
#include "core/neighbors.hpp"
#include "core/platform_math.hpp"
#include "core/radial_orthonormalisation.hpp"
#include "core/species.hpp"
#include "core/structure_batch.hpp"
#include "descriptors/matrices/symmetric_eigenvalues.hpp"
#include "python/calculator_binding.hpp"
#include "python/compute_frame.hpp"
#include "python/neighbor_arrays.hpp"
#include "python/testing/toy_calculator.hpp"

namespace py = pybind11;
using namespace tandril;
using namespace tandril::python;

namespace {

using Int32 = NumericArray<std::int32_t>;
using Float64 = NumericArray<double>;
using Int64 = NumericArray<std::int64_t>;

template <class Fn>
void def_batch_check(py::module_& m, const char* name, Fn check) {
    m.def(
        name,
        [check](const Int32& numbers, const Float64& positions, const Float64& cells, const Int32& pbc,
                const Int64& offsets) {
            const StructureBatch batch = make_batch(numbers, positions, cells, pbc, offsets);
            py::gil_scoped_release unlocked;
            check(batch);
        },
        py::arg("numbers"), py::arg("positions"), py::arg("cells"), py::arg("pbc"), py::arg("offsets"));
}

}  // namespace

PYBIND11_MODULE(_core_testing, m) {
    py::module_::import("tandril._descriptor_cpp");  // ComputeControl and CancelledError

    def_batch_check(m, "validate_calculator_batch", validate_calculator_batch);
    def_batch_check(m, "validate_descriptor_batch", validate_descriptor_batch);
    def_batch_check(m, "check_batch_offsets", check_batch_offsets);

    m.def(
        "check_batch_species",
        [](const Int32& numbers, const Float64& positions, const Float64& cells, const Int32& pbc,
           const Int64& offsets, const std::vector<std::int32_t>& species) {
            const StructureBatch batch = make_batch(numbers, positions, cells, pbc, offsets);
            py::gil_scoped_release unlocked;
            check_batch_species(batch, species);
        },
        py::arg("numbers"), py::arg("positions"), py::arg("cells"), py::arg("pbc"), py::arg("offsets"),
        py::arg("species"));

    m.def(
        "structure_view",
        [](const Int32& numbers, const Float64& positions, const Float64& cells, const Int32& pbc,
           const Int64& offsets, std::int64_t s) {
            const StructureBatch batch = make_batch(numbers, positions, cells, pbc, offsets);
            check_batch_offsets(batch);
            if (s < 0 || s >= batch.n_structures) throw py::index_error("structure index out of range");
            const AtomRange range = structure_range(batch, s);
            const StructureBatch view = structure_view(batch, s);  // copied on purpose: offsets must follow
            py::dict out;
            out["range"] = py::make_tuple(range.begin, range.end);
            out["n_structures"] = view.n_structures;
            out["n_atoms"] = view.n_atoms;
            out["offsets"] = std::vector<std::int64_t>(view.offsets, view.offsets + 2);
            out["numbers"] = std::vector<std::int32_t>(view.numbers, view.numbers + view.n_atoms);
            out["positions"] = std::vector<double>(view.positions, view.positions + 3 * view.n_atoms);
            out["cell"] = std::vector<double>(view.cells, view.cells + 9);
            out["pbc"] = std::vector<std::int32_t>(view.pbc, view.pbc + 3);
            return out;
        },
        py::arg("numbers"), py::arg("positions"), py::arg("cells"), py::arg("pbc"), py::arg("offsets"),
        py::arg("s"));

    m.def(
        "build_batch_neighbors",
        [](const Int32& numbers, const Float64& positions, const Float64& cells, const Int32& pbc,
           const Int64& offsets, double cutoff, std::int32_t num_threads, bool prune_images, bool store_shifts,
           ControlHandle control) {
            const StructureBatch batch = make_batch(numbers, positions, cells, pbc, offsets);
            NeighborGraph graph;
            {
                py::gil_scoped_release unlocked;
                graph = build_batch_neighbors(batch, control.get(), num_threads, prune_images, store_shifts, cutoff);
            }
            return neighbor_graph_arrays(std::move(graph));
        },
        py::arg("numbers"), py::arg("positions"), py::arg("cells"), py::arg("pbc"), py::arg("offsets"),
        py::arg("cutoff"), py::arg("num_threads") = 0, py::arg("prune_images") = false,
        py::arg("store_shifts") = true, py::arg("control") = py::none());

    m.def(
        "build_structure_neighbors",
        [](const Int32& numbers, const Float64& positions, const Float64& cells, const Int32& pbc,
           const Int64& offsets, std::int64_t s, double cutoff, std::int32_t num_threads, bool prune_images,
           bool store_shifts, ControlHandle control) {
            const StructureBatch batch = make_batch(numbers, positions, cells, pbc, offsets);
            check_batch_offsets(batch);
            if (s < 0 || s >= batch.n_structures) throw py::index_error("structure index out of range");
            NeighborGraph graph;
            {
                py::gil_scoped_release unlocked;
                graph = build_structure_neighbors(batch, s, control.get(), num_threads, prune_images, cutoff,
                                                  store_shifts);
            }
            return neighbor_graph_arrays(std::move(graph));
        },
        py::arg("numbers"), py::arg("positions"), py::arg("cells"), py::arg("pbc"), py::arg("offsets"), py::arg("s"),
        py::arg("cutoff"), py::arg("num_threads") = 0, py::arg("prune_images") = false,
        py::arg("store_shifts") = true, py::arg("control") = py::none());

    m.def(
        "radial_orthonormalisation",
        [](const NumericArray<double>& overlap) {
            if (overlap.ndim() != 2 || overlap.shape(0) != overlap.shape(1))
                throw std::invalid_argument("overlap must be a square matrix");
            const auto n = static_cast<std::int32_t>(overlap.shape(0));
            std::vector<double> t = radial_orthonormalisation(
                n, std::span<const double>(overlap.data(), static_cast<std::size_t>(overlap.size())));
            return adopt_vector(std::move(t), {n, n});
        },
        py::arg("overlap"));

    m.def(
        "gauss_legendre_rule",
        [](std::int32_t n, double a, double b) {
            GaussLegendreRule rule = gauss_legendre_rule(n, a, b);
            return py::make_tuple(adopt_vector(std::move(rule.nodes), {n}), adopt_vector(std::move(rule.weights), {n}));
        },
        py::arg("n"), py::arg("a") = -1.0, py::arg("b") = 1.0);

    m.def("platform_exp", [](double x) { return platform_exp(x); }, py::arg("x"));
    m.def("platform_math_inner_entry", [] { return platform_math().inner_entry; });
    m.def("platform_pow", [](double x, double y) { return platform_pow(x, y); }, py::arg("x"), py::arg("y"));
    m.def("platform_math_inline_hypot", [] { return platform_math().inline_hypot; });
    m.def(
        "hypot_values",
        [](const Float64& x, const Float64& y) {
            if (x.size() != y.size()) throw std::invalid_argument("x and y differ in length");
            const auto count = static_cast<std::size_t>(x.size());
            // library, written out, and written out two lanes at a time (NaN
            // where the lanes hand the pair to the library)
            std::vector<double> values(3 * count, 0.0);
            for (std::size_t k = 0; k < count; ++k) {
                values[k] = std::hypot(x.data()[k], y.data()[k]);
                values[count + k] = inline_hypot(x.data()[k], y.data()[k]);
                values[2 * count + k] = std::nan("");
            }
#if defined(__x86_64__)
            for (std::size_t k = 0; k + 1 < count; k += 2) {
                __m128d r;
                if (inline_hypot_lanes(_mm_loadu_pd(x.data() + k), _mm_loadu_pd(y.data() + k), r))
                    _mm_storeu_pd(values.data() + 2 * count + k, r);
            }
#endif
            return adopt_vector(std::move(values), {3, static_cast<py::ssize_t>(count)});
        },
        py::arg("x"), py::arg("y"));
    m.def(
        "symmetric_eigenvalues",
        [](const std::vector<Float64>& matrices, bool grouped) {
            // QL order, unsorted; a matrix that did not converge gives None
            std::vector<std::vector<double>> eigenvalues(matrices.size());
            std::vector<EigenvalueScratch> scratch(matrices.size());
            std::vector<TridiagonalProblem> problems;
            std::vector<bool> converged(matrices.size(), true);
            for (std::size_t k = 0; k < matrices.size(); ++k) {
                const Float64& a = matrices[k];
                if (a.ndim() != 2 || a.shape(0) != a.shape(1)) throw std::invalid_argument("matrices must be square");
                if (grouped) {
                    problems.push_back(tridiagonal_form(a.data(), a.shape(0), eigenvalues[k], scratch[k]));
                } else {
                    try {
                        symmetric_eigenvalues(a.data(), a.shape(0), eigenvalues[k], scratch[k]);
                    } catch (const std::runtime_error&) {
                        converged[k] = false;
                    }
                }
            }
            if (grouped) {
                tridiagonal_ql(problems);
                for (std::size_t k = 0; k < problems.size(); ++k) converged[k] = problems[k].converged;
            }
            py::list result;
            for (std::size_t k = 0; k < matrices.size(); ++k) {
                if (converged[k])
                    result.append(py::array_t<double>(static_cast<py::ssize_t>(eigenvalues[k].size()), eigenvalues[k].data()));
                else
                    result.append(py::none());
            }
            return result;
        },
        py::arg("matrices"), py::arg("grouped"));

    using tandril::testing::ToyCalculator;
    using tandril::testing::ToyOptions;
    py::class_<ToyOptions>(m, "ToyOptions")
        .def(py::init<>())
        .def_readwrite("cutoff", &ToyOptions::cutoff)
        .def_readwrite("repeat", &ToyOptions::repeat)
        .def_readwrite("species", &ToyOptions::species);
    CalculatorClass<ToyCalculator> toy(m, "ToyCalculator");
    toy.def(py::init<ToyOptions, bool>(), py::arg("options"), py::arg("test_closed_before_lock") = false);
    def_calculator_protocol(toy);
    def_batch_compute(toy);
}
