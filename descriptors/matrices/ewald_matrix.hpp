#pragma once

#include <cstdint>
#include <vector>

#include "core/structure_batch.hpp"
#include "descriptors/matrices/cell_inverse.hpp"

namespace tandril {

// Caller's Ewald parameters: r_cut and g_cut both <= 0 derive the cutoffs
// from `accuracy`; `a` <= 0 derives the screening parameter from `w`.
struct EwaldParameters {
    double accuracy = 1e-5;
    double w = 1.0;
    double r_cut = 0.0;
    double g_cut = 0.0;
    double a = 0.0;
};

// What one structure's sum uses, after the checks.
struct EwaldSetup {
    std::int64_t n = 0;
    double volume = 0.0;  // signed determinant of the cell
    double alpha = 0.0;
    double r_cut = 0.0;
    double g_cut = 0.0;
    CellInverse inverse{};
};

// Checks the cell and derives the parameters of structure s. Throws
// std::invalid_argument for a singular cell, for cutoffs of which only one
// is positive (also a derived g_cut of zero), and for parameters that would
// make the sum non-finite.
[[nodiscard]] EwaldSetup prepare_ewald(const StructureBatch& batch, std::int64_t s, const EwaldParameters& parameters);

// Scratch of one Ewald sum, reused from one structure to the next.
struct EwaldWorkspace {
    std::vector<double> charges;        // atomic numbers as float64
    std::vector<double> wrapped;        // 3 per atom
    std::vector<double> reciprocal;     // 4 per kept G: Gx, Gy, Gz, X_G
    std::vector<double> translations;   // 3 per lattice translation of one centre
    std::vector<double> sine, cosine;   // per atom, for one G
    std::vector<double> sum_sc, diff_sc;
    std::vector<double> real_part, reciprocal_part;
};

// The n x n Ewald sum matrix of structure s (row-major, into `matrix`):
// screened real-space sum, reciprocal-space sum, self and background terms.
void ewald_matrix(const StructureBatch& batch, std::int64_t s, const EwaldSetup& setup, EwaldWorkspace& workspace,
                  double* matrix);

}  // namespace tandril
