#include <pybind11/pybind11.h>

#include "python/bindings.hpp"

// The module's contents are registered in a fixed order: the control types,
// the neighbour graph, the descriptor functions, then the calculator classes
// and after them their options records.
PYBIND11_MODULE(_descriptor_cpp, m) {
    using namespace tandril::python;
    m.doc() = "Tandril periodic SOAP and ACSF CPU descriptors";
    bind_compute_control(m);
    bind_neighbor_graph(m);
    bind_matrices(m);
    bind_mbtr(m);
    bind_ead(m);
    // calculator classes first, then the options records (which the classes' members need)
    declare_soap_calculator(m);
    declare_acsf_calculator(m);
    declare_c00ps_mlff_calculator(m);
    declare_nep_calculator(m);
    bind_soap_calculator(m);
    bind_c00ps_mlff_calculator(m);
    bind_acsf_calculator(m);
    bind_nep_calculator(m);
}
