#pragma once

#include <cstdint>
#include <vector>

namespace tandril {

// Parameters of a SOAP calculator. A plain record: nothing is checked when a
// field is set; a computation checks everything before it starts.
struct SoapOptions {
    std::vector<std::int32_t> species;  // position = species index
    double r_cut = 6.0;
    std::int32_t n_max = 8;
    std::int32_t l_max = 6;
    double sigma = 1.0;
    std::int32_t radial_basis = 0;  // 0: Gaussian-type orbitals, 1: polynomial on a grid
    std::vector<double> alphas;          // (l_max+1) * n_max, index l*N + n
    std::vector<double> betas;           // (l_max+1) * n_max^2, index (l*N + n)*N + n'
    std::vector<double> radial_grid;     // G abscissae
    std::vector<double> radial_weights;  // G quadrature weights
    std::vector<double> radial_values;   // n_max * G, index n*G + i
    std::int32_t weighting_function = 0;
    bool weighting_has_w0 = false;
    bool weighting_has_function = false;
    double weighting_r0 = 1.0;
    double weighting_c = 1.0;
    double weighting_d = 0.0;
    double weighting_m = 1.0;
    double weighting_threshold = 0.01;  // kept for the caller; nothing reads it
    double weighting_w0 = 1.0;
    std::vector<double> species_weights;
    std::int32_t compression = 0;  // 0 full, 1 species merged, 2 against the total, 3 same species
    bool inner_average = true;
    bool outer_average = false;
    std::int32_t num_threads = 0;
};

}  // namespace tandril
