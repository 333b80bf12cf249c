#include "descriptors/matrices/matrix_row.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

namespace tandril {
namespace {

// A total order for sort keys: NaN (which no finite input produces) sorts
// last instead of breaking the comparison.
double ordering_key(double value) noexcept { return std::isnan(value) ? -INFINITY : value; }

void order_by_row_norm(const double* matrix, std::int64_t n, MatrixRowScratch& scratch) {
    std::vector<double>& norms = scratch.values;
    norms.resize(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) {
        const double* r = matrix + i * n;
        double sum = 0.0;
        for (std::int64_t j = 0; j < n; ++j) sum += r[j] * r[j];
        norms[i] = ordering_key(std::sqrt(sum));
    }
    std::stable_sort(scratch.order.begin(), scratch.order.end(),
                     [&norms](std::int64_t a, std::int64_t b) { return norms[a] > norms[b]; });
}

}  // namespace

void write_spectrum_row(std::vector<double>& values, std::int64_t n_atoms_max, double* row) {
    // Decreasing magnitude; of a pair +x, -x the positive value comes first,
    // so the row does not depend on the order the iteration found them in.
    std::sort(values.begin(), values.end(), [](double a, double b) {
        const double ka = ordering_key(std::fabs(a)), kb = ordering_key(std::fabs(b));
        if (ka != kb) return ka > kb;
        return ordering_key(a) > ordering_key(b);
    });
    std::copy(values.begin(), values.end(), row);
    std::fill(row + values.size(), row + n_atoms_max, 0.0);
}

void write_matrix_row(const double* matrix, std::int64_t n, std::int64_t n_atoms_max,
                      MatrixPermutation permutation, double* row, MatrixRowScratch& scratch) {
    if (n > n_atoms_max) throw std::invalid_argument("structure exceeds n_atoms_max");
    if (permutation == MatrixPermutation::eigenspectrum) {
        symmetric_eigenvalues(matrix, n, scratch.values, scratch.eigen);
        write_spectrum_row(scratch.values, n_atoms_max, row);
        return;
    }
    if (permutation == MatrixPermutation::unknown)
        throw std::invalid_argument("permutation must be 'none', 'sorted_l2', or 'eigenspectrum'");

    std::vector<std::int64_t>& order = scratch.order;
    order.resize(static_cast<std::size_t>(n));
    std::iota(order.begin(), order.end(), std::int64_t{0});
    if (permutation == MatrixPermutation::sorted_l2) order_by_row_norm(matrix, n, scratch);

    for (std::int64_t i = 0; i < n; ++i) {
        const double* source = matrix + order[i] * n;
        double* target = row + i * n_atoms_max;
        for (std::int64_t j = 0; j < n; ++j) target[j] = source[order[j]];
        std::fill(target + n, target + n_atoms_max, 0.0);
    }
    std::fill(row + n * n_atoms_max, row + n_atoms_max * n_atoms_max, 0.0);
}

}  // namespace tandril
