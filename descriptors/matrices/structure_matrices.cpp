#include "descriptors/matrices/structure_matrices.hpp"

#include <cmath>
#include <stdexcept>

#include "core/memory_guard.hpp"
#include "descriptors/matrices/cell_inverse.hpp"

namespace tandril {
namespace {

constexpr double pi = 3.141592653589793;

// Sizes the matrix and writes the diagonal; returns the atom count.
std::int64_t start_matrix(const StructureBatch& batch, std::int64_t s, double exponent, std::vector<double>& matrix) {
    const AtomRange range = structure_range(batch, s);
    const std::int64_t n = range.size();
    const std::int64_t size = checked_product(n, n);
    ensure_allocatable(static_cast<std::uint64_t>(size), sizeof(double));
    matrix.resize(static_cast<std::size_t>(size));
    const std::int32_t* numbers = batch.numbers + range.begin;
    for (std::int64_t i = 0; i < n; ++i)
        matrix[i * n + i] = 0.5 * std::pow(static_cast<double>(numbers[i]), exponent);
    return n;
}

}  // namespace

void coulomb_matrix(const StructureBatch& batch, std::int64_t s, double exponent, std::vector<double>& matrix) {
    const std::int64_t n = start_matrix(batch, s, exponent, matrix);
    const AtomRange range = structure_range(batch, s);
    const std::int32_t* numbers = batch.numbers + range.begin;
    const double* positions = batch.positions + 3 * range.begin;
    for (std::int64_t i = 0; i < n; ++i) {
        const double* ri = positions + 3 * i;
        const double zi = numbers[i];
        for (std::int64_t j = i + 1; j < n; ++j) {
            const double* rj = positions + 3 * j;
            const double dx = ri[0] - rj[0], dy = ri[1] - rj[1], dz = ri[2] - rj[2];
            const double value = zi * static_cast<double>(numbers[j]) / std::sqrt(dx * dx + dy * dy + dz * dz);
            matrix[i * n + j] = value;
            matrix[j * n + i] = value;
        }
    }
}

void sine_matrix(const StructureBatch& batch, std::int64_t s, double exponent, std::vector<double>& matrix,
                 std::vector<double>& scratch) {
    const double* cell = batch.cells + 9 * s;
    const double det = regular_cell_determinant(cell);
    const CellInverse inverse = invert_cell(cell, det);

    const std::int64_t n = start_matrix(batch, s, exponent, matrix);
    const AtomRange range = structure_range(batch, s);
    const std::int32_t* numbers = batch.numbers + range.begin;
    const double* positions = batch.positions + 3 * range.begin;
    scratch.resize(3 * static_cast<std::size_t>(n));
    double* weights = scratch.data();  // sin^2(pi f_k) per partner, 3 per atom
    // Entry (j, i) uses the exact negation of the difference of (i, j), so
    // every fractional coordinate is negated exactly and sin^2 gives the same
    // bits: each pair is computed once and stored on both sides. Each row runs
    // in three sweeps (fractional coordinates, sines, lengths) so that the
    // arithmetic around the sine calls can use vector registers.
    for (std::int64_t i = 0; i < n; ++i) {
        const double* ri = positions + 3 * i;
        const double zi = numbers[i];
        for (std::int64_t j = i + 1; j < n; ++j) {
            const double* rj = positions + 3 * j;
            const double d[3] = {ri[0] - rj[0], ri[1] - rj[1], ri[2] - rj[2]};
            inverse.fractional(d, weights + 3 * j);
        }
        for (std::int64_t k = 3 * (i + 1); k < 3 * n; ++k) {
            const double sine = std::sin(pi * weights[k]);
            weights[k] = sine * sine;
        }
        for (std::int64_t j = i + 1; j < n; ++j) {
            const double* w = weights + 3 * j;
            double v[3];
            for (int x = 0; x < 3; ++x) v[x] = w[0] * cell[x] + w[1] * cell[3 + x] + w[2] * cell[6 + x];
            const double length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
            const double value = length > 1e-14 ? zi * static_cast<double>(numbers[j]) / length : 0.0;
            matrix[i * n + j] = value;
            matrix[j * n + i] = value;
        }
    }
}

}  // namespace tandril
