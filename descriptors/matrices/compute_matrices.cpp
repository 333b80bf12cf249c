#include "descriptors/matrices/compute_matrices.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "core/memory_guard.hpp"
#include "descriptors/matrices/matrix_row.hpp"
#include "descriptors/matrices/structure_matrices.hpp"
#include "descriptors/matrices/structure_rows.hpp"

namespace tandril {
namespace {

bool square_fits(std::int64_t n) noexcept {
    std::int64_t square = 0;
    return !__builtin_mul_overflow(n, n, &square);
}

void check_structure_size(std::int64_t n, std::int64_t n_atoms_max) {
    if (n > n_atoms_max) throw std::invalid_argument("structure exceeds n_atoms_max");
}

// Two passes: every structure's Ewald matrix first, then the rows. A
// structure too large for its row is only checked in the first pass; the
// second reports it.
void compute_ewald_rows(const StructureBatch& batch, const MatrixRequest& request, MatrixPermutation permutation,
                        ComputeControl& control, double* out) {
    const std::int64_t structures = batch.n_structures;
    std::vector<std::int64_t> start(static_cast<std::size_t>(structures) + 1, 0);
    for (std::int64_t s = 0; s < structures; ++s) {
        const std::int64_t n = structure_range(batch, s).size();
        const std::int64_t size = n > request.n_atoms_max ? 0 : n * n;
        if (__builtin_add_overflow(start[s], size, &start[s + 1])) throw std::bad_alloc();
    }
    ensure_allocatable(static_cast<std::uint64_t>(start[structures]), sizeof(double));
    std::vector<double> matrices(static_cast<std::size_t>(start[structures]));

    EwaldWorkspace workspace;
    for (std::int64_t s = 0; s < structures; ++s) {
        if (control.cancelled()) continue;
        const EwaldSetup setup = prepare_ewald(batch, s, request.ewald);
        if (setup.n > request.n_atoms_max) continue;
        ewald_matrix(batch, s, setup, workspace, matrices.data() + start[s]);
    }
    throw_if_cancelled(&control);

    write_structure_rows(batch, request.n_atoms_max, permutation, control, out,
                         [&](std::int64_t s, std::vector<double>& matrix) {
                             const std::int64_t n = structure_range(batch, s).size();
                             check_structure_size(n, request.n_atoms_max);
                             matrix.assign(matrices.data() + start[s], matrices.data() + start[s + 1]);
                             return n;
                         });
}

}  // namespace

std::int64_t coulomb_matrix_width(std::int64_t n_atoms_max, std::string_view permutation) {
    if (n_atoms_max < 1 || !square_fits(n_atoms_max))
        throw std::invalid_argument("n_atoms_max must be a positive value");
    return matrix_row_width(n_atoms_max, parse_matrix_permutation(permutation));
}

std::int64_t matrix_width(std::int64_t n_atoms_max, std::string_view permutation) {
    if (n_atoms_max < 1) return 0;
    return matrix_row_width(n_atoms_max, parse_matrix_permutation(permutation));
}

void check_result_size(std::int64_t rows, std::int64_t width) {
    ensure_allocatable(static_cast<std::uint64_t>(checked_product(rows, width)), sizeof(double));
}

void compute_coulomb_matrix(const StructureBatch& batch, std::int64_t n_atoms_max, std::string_view permutation_name,
                            double exponent, ComputeControl& control, double* out) {
    validate_descriptor_batch(batch);
    const MatrixPermutation permutation = parse_matrix_permutation(permutation_name);
    if (!std::isfinite(exponent) || permutation == MatrixPermutation::unknown)
        throw std::invalid_argument("invalid Coulomb matrix parameters");
    control.reset(batch.n_structures);

    write_structure_rows(batch, n_atoms_max, permutation, control, out,
                         [&](std::int64_t s, std::vector<double>& matrix) {
                             const std::int64_t n = structure_range(batch, s).size();
                             if (n == 0) throw std::invalid_argument("matrix descriptors do not accept empty structures");
                             check_structure_size(n, n_atoms_max);
                             coulomb_matrix(batch, s, exponent, matrix);
                             return n;
                         });
}

void compute_matrix(const StructureBatch& batch, const MatrixRequest& request, ComputeControl& control, double* out) {
    validate_descriptor_batch(batch);
    if (request.n_atoms_max < 1 || !(request.exponent > 0.0) || !std::isfinite(request.exponent))
        throw std::invalid_argument("invalid matrix descriptor parameters");
    const auto kind = static_cast<MatrixKind>(request.kind);
    if (kind != MatrixKind::sine && kind != MatrixKind::ewald && kind != MatrixKind::coulomb)
        throw std::invalid_argument("kind must be 0 (sine matrix), 1 (Ewald sum matrix) or 2 (Coulomb matrix)");
    const double accuracy = request.ewald.accuracy;
    if (kind == MatrixKind::ewald && !(accuracy > 0.0 && accuracy < 1.0))
        throw std::invalid_argument("accuracy must be between zero and one");
    start_unless_cancelled(control, batch.n_structures);

    // Every row is written in full (padding included), so the result needs
    // no zero fill first.
    const MatrixPermutation permutation = parse_matrix_permutation(request.permutation);
    if (kind == MatrixKind::ewald) {
        compute_ewald_rows(batch, request, permutation, control, out);
        return;
    }
    std::vector<double> sine_scratch;
    write_structure_rows(batch, request.n_atoms_max, permutation, control, out,
                         [&](std::int64_t s, std::vector<double>& matrix) {
                             // The size check comes before building, so a structure far
                             // too large is refused without first building its matrix.
                             const std::int64_t n = structure_range(batch, s).size();
                             check_structure_size(n, request.n_atoms_max);
                             if (kind == MatrixKind::sine)
                                 sine_matrix(batch, s, request.exponent, matrix, sine_scratch);
                             else
                                 coulomb_matrix(batch, s, request.exponent, matrix);
                             return n;
                         });
}

}  // namespace tandril
