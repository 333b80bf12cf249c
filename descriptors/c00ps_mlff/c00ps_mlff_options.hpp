#pragma once

#include <cstdint>
#include <vector>

namespace tandril {

// Parameters of a C00PS-MLFF calculator; checked when the calculator is built.
struct C00PSMlffOptions {
    std::vector<std::int32_t> species;  // position = species index
    double r_cut = 6.0;
    std::int32_t n_radial = 8;         // spherical Bessel zeros sought per degree
    std::int32_t l_max = 4;
    std::int32_t cutoff_function = 0;  // 0 cosine, 1 polynomial step, 2 smooth switch, 3 damped smooth switch
    bool include_radial = true;
    bool include_angular = true;
    bool normalize_radial = false;
    bool normalize_angular = false;
    bool super_vector = false;
    double radial_weight = 1.0;
    double angular_weight = 1.0;
    bool exclude_self_interaction = true;
    std::int32_t num_threads = 0;  // reaches only the neighbour search
};

}  // namespace tandril
