#pragma once

#include <cstdint>
#include <vector>

#include "core/neighbors.hpp"
#include "descriptors/nep/nep_model.hpp"

namespace tandril {

// Per-atom NEP descriptor: radial sums of Chebyshev-type basis functions and
// angular sums of spherical-harmonic polynomials over one atom's neighbour
// list, contracted into rotation invariants and scaled. Owns the scratch of
// one computation (allocated once, cleared per atom), so one kernel serves
// one thread.
class NepKernel {
public:
    explicit NepKernel(const NepModel& model);
    NepKernel(const NepKernel&) = delete;
    NepKernel& operator=(const NepKernel&) = delete;

    // Writes the feature_count values of the atom whose neighbour list is row
    // `row` of `graph`. `types[j]` is the model type of the graph's atom j.
    void compute_row(std::int32_t centre_type, const NeighborGraph& graph, std::int64_t row,
                     const std::int32_t* types, double* out);

    // Neighbours of one centre within one of the two pair cutoffs, kept in
    // list order, with everything that depends on the distance alone.
    struct Contributions {
        std::vector<double> distance;
        std::vector<double> cutoff;
        std::vector<std::int32_t> type;
        std::vector<std::int64_t> entry;
        // Angular only: position in the radial list of the same neighbour when
        // both pair cutoffs are equal (its cutoff function is reused), else -1.
        std::vector<std::int64_t> radial_index;
        std::vector<double> cutoff_function;
        std::vector<double> basis;      // (basis size + 1) values per neighbour
        std::vector<double> expansion;  // angular only: sum_k c(n, k) f[k], padded n count per neighbour
        std::vector<double> factors;    // angular only: polynomial factors, angular_stride per neighbour
        std::int64_t count = 0;
    };

    struct Scratch {
        // Coefficients of each ordered type pair with the descriptor index
        // innermost: c(n, k) at k (N+1) + n.
        std::vector<double> radial_coefficients;
        std::vector<double> angular_coefficients;
        // The same for two neighbours side by side (empty for many types).
        std::vector<double> paired_radial;
        std::vector<double> paired_angular;
        // Per centre type: some neighbour type has equal radial and angular
        // cutoffs, so angular entries may reuse a radial cutoff function.
        std::vector<char> shares_cutoffs;
        std::vector<double> radial_sums;   // n_max_radial + 1, padded to even
        std::vector<double> angular_sums;  // angular_stride per angular index
        Contributions radial;
        Contributions angular;
        std::int64_t capacity = 0;         // neighbours the contribution lists can hold
        int angular_stride = 0;
    };

private:
    using RowFunction = void (*)(const NepModel&, Scratch&, std::int32_t, const NeighborGraph&, std::int64_t,
                                 const std::int32_t*, double*);

    const NepModel& model_;
    Scratch scratch_;
    RowFunction row_function_;
};

}  // namespace tandril
