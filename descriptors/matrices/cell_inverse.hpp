#pragma once

namespace tandril {

// Inverse of a row-major 3x3 cell (lattice vectors as rows) as adjugate over
// `determinant`. Column k is the reciprocal vector b_k (a_i . b_k = delta_ik),
// so the fractional coordinates of a Cartesian row vector d are d . inverse.
struct CellInverse {
    double m[3][3];

    // f_k = d_0 m[0][k] + d_1 m[1][k] + d_2 m[2][k].
    void fractional(const double* d, double* f) const noexcept {
        for (int k = 0; k < 3; ++k) f[k] = d[0] * m[0][k] + d[1] * m[1][k] + d[2] * m[2][k];
    }
};

[[nodiscard]] CellInverse invert_cell(const double* cell, double determinant) noexcept;

}  // namespace tandril
