#pragma once

#include <pybind11/pybind11.h>

// Registration functions of the binding files, called by the module in the
// order its contents must appear:
//   1. bind_compute_control, bind_neighbor_graph, then one bind_<family> per
//      descriptor function family;
//   2. declare_<family>_calculator for every calculator class (class object
//      only, so the names appear before any options record);
//   3. bind_<family>_calculator in options-record order: registers the
//      options record and defines the members of both classes (see
//      calculator_binding.hpp).
namespace tandril::python {

void bind_compute_control(pybind11::module_& m);
void bind_neighbor_graph(pybind11::module_& m);
void bind_matrices(pybind11::module_& m);
void bind_mbtr(pybind11::module_& m);
void bind_ead(pybind11::module_& m);
void declare_acsf_calculator(pybind11::module_& m);
void declare_c00ps_mlff_calculator(pybind11::module_& m);
void bind_c00ps_mlff_calculator(pybind11::module_& m);
void bind_acsf_calculator(pybind11::module_& m);

void declare_nep_calculator(pybind11::module_& m);
void bind_nep_calculator(pybind11::module_& m);

void declare_soap_calculator(pybind11::module_& m);
void bind_soap_calculator(pybind11::module_& m);

}  // namespace tandril::python
