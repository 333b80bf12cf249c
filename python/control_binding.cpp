#include <memory>

#include "core/compute_control.hpp"
#include "python/bindings.hpp"

namespace tandril::python {

namespace py = pybind11;

void bind_compute_control(py::module_& m) {
    // Translated ahead of the generic std::runtime_error mapping; a subclass
    // of Exception, not of RuntimeError.
    py::register_exception<CancelledError>(m, "CancelledError", PyExc_Exception);

    py::class_<ComputeControl, std::shared_ptr<ComputeControl>>(m, "ComputeControl")
        .def(py::init<>())
        .def("cancel", &ComputeControl::cancel)
        .def("cancelled", &ComputeControl::cancelled)
        .def("completed", &ComputeControl::completed)
        .def("total", &ComputeControl::total)
        .def("reset", &ComputeControl::reset);
}

}  // namespace tandril::python
