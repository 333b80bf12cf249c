#include "core/structure_batch.hpp"

#include <cmath>
#include <stdexcept>

namespace tandril {
namespace {

bool has_shape(std::span<const std::ptrdiff_t> shape, std::size_t rank, std::ptrdiff_t trailing) {
    if (shape.size() != rank) return false;
    for (std::size_t d = 1; d < rank; ++d)
        if (shape[d] != trailing) return false;
    return true;
}

[[noreturn]] void fail(const char* message) { throw std::invalid_argument(message); }

bool is_singular_determinant(double det) noexcept { return !std::isfinite(det) || std::fabs(det) < 1e-14; }

void check_pointers(const StructureBatch& batch) {
    if (batch.n_structures < 0 || batch.n_atoms < 0 || batch.offsets == nullptr) fail("invalid structure batch");
}

void check_arrays_present(const StructureBatch& batch) {
    if (batch.numbers == nullptr || batch.positions == nullptr || batch.cells == nullptr || batch.pbc == nullptr)
        fail("structure batch contains null arrays");
}

void check_offsets_bounds(const StructureBatch& batch) {
    if (batch.offsets[0] != 0 || batch.offsets[batch.n_structures] != batch.n_atoms)
        fail("offsets do not describe the flattened arrays");
}

void check_structure(const StructureBatch& batch, std::int64_t s) {
    if (batch.offsets[s] > batch.offsets[s + 1]) fail("offsets must be monotonic");
    const std::int32_t* flags = batch.pbc + 3 * s;
    if (flags[0] != 1 || flags[1] != 1 || flags[2] != 1) fail("only fully periodic structures are supported");
    if (cell_is_singular(batch.cells + 9 * s)) fail("cell matrix is singular");
}

}  // namespace

double cell_determinant(const double* c) noexcept {
    return c[0] * (c[4] * c[8] - c[5] * c[7]) - c[1] * (c[3] * c[8] - c[5] * c[6]) +
           c[2] * (c[3] * c[7] - c[4] * c[6]);
}

bool cell_is_singular(const double* cell) noexcept { return is_singular_determinant(cell_determinant(cell)); }

double regular_cell_determinant(const double* cell) {
    const double det = cell_determinant(cell);
    if (is_singular_determinant(det)) fail("cell matrix is singular");
    return det;
}

StructureBatch make_structure_batch(ArrayInput<std::int32_t> numbers, ArrayInput<double> positions,
                                    ArrayInput<double> cells, ArrayInput<std::int32_t> pbc,
                                    ArrayInput<std::int64_t> offsets) {
    if (!has_shape(numbers.shape, 1, 0) || !has_shape(positions.shape, 2, 3) || !has_shape(cells.shape, 3, 3) ||
        !has_shape(pbc.shape, 2, 3) || !has_shape(offsets.shape, 1, 0) || offsets.shape[0] < 1)
        fail("invalid StructureBatch array shapes");
    const std::ptrdiff_t n_structures = offsets.shape[0] - 1;
    if (positions.shape[0] != numbers.shape[0] || cells.shape[0] != n_structures || pbc.shape[0] != n_structures)
        fail("StructureBatch arrays have inconsistent lengths");

    StructureBatch batch;
    batch.numbers = numbers.data;
    batch.positions = positions.data;
    batch.cells = cells.data;
    batch.pbc = pbc.data;
    batch.offsets = offsets.data;
    batch.n_structures = n_structures;
    batch.n_atoms = numbers.shape[0];
    return batch;
}

StructureBatch make_single_structure_batch(ArrayInput<std::int32_t> numbers, ArrayInput<double> positions,
                                           ArrayInput<double> cell, ArrayInput<std::int32_t> pbc) {
    if (cell.shape.size() != 2 || cell.shape[0] != 3 || cell.shape[1] != 3 || pbc.shape.size() != 1 ||
        pbc.shape[0] != 3)
        fail("invalid single-structure neighbor graph shapes");
    if (numbers.shape.empty()) throw std::out_of_range("numbers must be an array of atomic numbers, one per atom");
    const std::ptrdiff_t n = numbers.shape[0];
    if (positions.shape.size() != 2 || positions.shape[1] != 3 || positions.shape[0] != n)
        fail("invalid single-structure neighbor positions");

    StructureBatch batch;
    batch.numbers = numbers.data;
    batch.positions = positions.data;
    batch.cells = cell.data;
    batch.pbc = pbc.data;
    batch.local_offsets = {0, n};
    batch.offsets = batch.local_offsets.data();
    batch.n_structures = 1;
    batch.n_atoms = n;
    return batch;
}

void validate_calculator_batch(const StructureBatch& batch) {
    check_pointers(batch);
    if (batch.n_structures == 0) return;
    check_arrays_present(batch);
    for (std::int64_t s = 0; s < batch.n_structures; ++s) check_structure(batch, s);
    check_offsets_bounds(batch);
    for (std::int64_t k = 0; k < 3 * batch.n_atoms; ++k)
        if (!std::isfinite(batch.positions[k])) fail("positions must be finite");
    for (std::int64_t k = 0; k < 9 * batch.n_structures; ++k)
        if (!std::isfinite(batch.cells[k])) fail("cells must be finite");
}

void validate_descriptor_batch(const StructureBatch& batch) {
    check_pointers(batch);
    if (batch.n_structures == 0) return;
    check_arrays_present(batch);
    check_offsets_bounds(batch);
    for (std::int64_t s = 0; s < batch.n_structures; ++s) check_structure(batch, s);
    for (std::int64_t i = 0; i < batch.n_atoms; ++i) {
        if (batch.numbers[i] < 1) fail("atomic numbers must be positive");
        const double* r = batch.positions + 3 * i;
        if (!std::isfinite(r[0]) || !std::isfinite(r[1]) || !std::isfinite(r[2])) fail("positions must be finite");
    }
}

void check_batch_offsets(const StructureBatch& batch) {
    check_pointers(batch);
    if (batch.n_structures == 0) return;
    for (std::int64_t s = 0; s < batch.n_structures; ++s)
        if (batch.offsets[s] > batch.offsets[s + 1]) fail("offsets must be monotonic");
    check_offsets_bounds(batch);
}

StructureBatch structure_view(const StructureBatch& batch, std::int64_t s) noexcept {
    const AtomRange range = structure_range(batch, s);
    StructureBatch view;
    view.numbers = batch.numbers + range.begin;
    view.positions = batch.positions + 3 * range.begin;
    view.cells = batch.cells + 9 * s;
    view.pbc = batch.pbc + 3 * s;
    view.local_offsets = {0, range.size()};
    view.offsets = view.local_offsets.data();
    view.n_structures = 1;
    view.n_atoms = range.size();
    return view;
}

}  // namespace tandril
