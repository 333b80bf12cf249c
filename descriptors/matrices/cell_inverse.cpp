#include "descriptors/matrices/cell_inverse.hpp"

namespace tandril {

CellInverse invert_cell(const double* c, double det) noexcept {
    const double adjugate[3][3] = {
        {c[4] * c[8] - c[5] * c[7], c[2] * c[7] - c[1] * c[8], c[1] * c[5] - c[2] * c[4]},
        {c[5] * c[6] - c[3] * c[8], c[0] * c[8] - c[2] * c[6], c[2] * c[3] - c[0] * c[5]},
        {c[3] * c[7] - c[4] * c[6], c[1] * c[6] - c[0] * c[7], c[0] * c[4] - c[1] * c[3]},
    };
    CellInverse inverse;
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k) inverse.m[i][k] = adjugate[i][k] / det;
    return inverse;
}

}  // namespace tandril
