#pragma once

#include <cstdint>
#include <vector>

#include "descriptors/soap/radial_row_cache.hpp"

namespace tandril {

// Scratch storage of the SOAP kernel. Its size follows the options and the
// largest neighbour list met, never the number of atoms. Several-structure
// computations reuse one per thread (with its radial caches) across
// structures, calls and calculators; one-structure computations use a fresh
// one.
struct SoapWorkspace {
    // The current atom's neighbour entries, in list order.
    std::vector<double> x, y, z, r_squared, r, weight;
    std::vector<std::int32_t> species;
    std::vector<std::uint8_t> centre;
    // Entry indices grouped by channel (stable), and where each channel starts.
    std::vector<std::int32_t> order;
    std::vector<std::int32_t> channel_start;
    std::vector<std::int32_t> cursor;

    // Per entry of one channel: its harmonics (scaled by f for the
    // polynomial basis), its weighted GTO row, its polynomial cache row.
    std::vector<double> entry_harmonics;
    std::vector<double> entry_radial;
    std::vector<const double*> entry_rows;
    std::vector<double> radial_scratch;  // while a polynomial row is formed
    std::vector<double> sums;         // Q, [lm][n']
    std::vector<double> accumulator;  // A of one channel, [lm][i]

    // Coefficients c[ch][lm][n] of the current atom, their structure sum,
    // the sum over channels (compression 2), one degree's dot products
    // [n][n'] and the averaged feature row.
    std::vector<double> coefficients;
    std::vector<double> coefficient_sum;
    std::vector<double> total_density;
    std::vector<double> dots;
    std::vector<double> feature_row;

    RadialRowCache gto_cache;
    RadialRowCache polynomial_cache;
};

// The calling thread's persistent workspace.
[[nodiscard]] SoapWorkspace& thread_soap_workspace();

}  // namespace tandril
