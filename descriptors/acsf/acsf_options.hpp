#pragma once

#include <cstdint>
#include <vector>

namespace tandril {

// Parameters of an ACSF calculator. Nothing is checked when a field is set;
// the calculator checks everything at the start of each computation.
struct AcsfOptions {
    std::vector<std::int32_t> species;  // position = species index of the layout
    double r_cut = 6.0;                 // cutoff radius, also the neighbour search cutoff
    std::vector<double> g2_params;      // (eta, R_s) pairs, flattened
    std::vector<double> g3_params;      // one kappa per G3 function
    std::vector<double> g4_params;      // (eta, zeta, lambda) triples, flattened
    std::vector<double> g5_params;      // (eta, zeta, lambda) triples, flattened
    std::int64_t n_g2 = 0;
    std::int64_t n_g3 = 0;
    std::int64_t n_g4 = 0;
    std::int64_t n_g5 = 0;
    std::int32_t num_threads = 0;  // reaches only the neighbour search
};

}  // namespace tandril
