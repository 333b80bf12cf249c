#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tandril {

// Non-owning view of a batch of periodic structures given as five flat arrays.
// Structure s owns atoms offsets[s] .. offsets[s+1]-1; cells are row-major 3x3
// with the lattice vectors as rows.
struct StructureBatch {
    const std::int32_t* numbers = nullptr;
    const double* positions = nullptr;
    const double* cells = nullptr;
    const std::int32_t* pbc = nullptr;
    const std::int64_t* offsets = nullptr;
    std::int64_t n_structures = 0;
    std::int64_t n_atoms = 0;
    // Backing store for the offsets of a one-structure view ({0, count}).
    std::array<std::int64_t, 2> local_offsets{0, 0};

    StructureBatch() = default;
    // A copied view keeps pointing at its own local offsets, never at the
    // original's (which may be gone).
    StructureBatch(const StructureBatch& other) noexcept { *this = other; }
    StructureBatch& operator=(const StructureBatch& other) noexcept {
        numbers = other.numbers;
        positions = other.positions;
        cells = other.cells;
        pbc = other.pbc;
        n_structures = other.n_structures;
        n_atoms = other.n_atoms;
        local_offsets = other.local_offsets;
        offsets = other.offsets == other.local_offsets.data() ? local_offsets.data() : other.offsets;
        return *this;
    }
};

// One C-ordered input array and its extents.
template <class T>
struct ArrayInput {
    const T* data = nullptr;
    std::span<const std::ptrdiff_t> shape;
};

// Builds the view after checking array ranks and that the lengths agree.
// Nothing about the contents is examined.
StructureBatch make_structure_batch(ArrayInput<std::int32_t> numbers, ArrayInput<double> positions,
                                    ArrayInput<double> cells, ArrayInput<std::int32_t> pbc,
                                    ArrayInput<std::int64_t> offsets);

// One-structure view over a single (n,) numbers, (n, 3) positions, (3, 3)
// cell and (3,) pbc, with offsets {0, n}. Only the length of `numbers` is
// used; a zero-dimensional `numbers` has none (std::out_of_range).
StructureBatch make_single_structure_batch(ArrayInput<std::int32_t> numbers, ArrayInput<double> positions,
                                           ArrayInput<double> cell, ArrayInput<std::int32_t> pbc);

// Structural validation used by the calculators (offset bounds after the
// per-structure loop; cell entries tested for finiteness).
void validate_calculator_batch(const StructureBatch& batch);

// Structural validation used by the descriptor functions (offset bounds before
// the per-structure loop; atomic numbers tested for sign).
void validate_descriptor_batch(const StructureBatch& batch);

// Cheap guard for entry points that run neither validation routine: the
// offsets must be non-decreasing and cover exactly the atom arrays, so that no
// structure is read outside them.
void check_batch_offsets(const StructureBatch& batch);

// Cofactor expansion along the first row of a row-major 3x3 matrix.
[[nodiscard]] double cell_determinant(const double* cell) noexcept;
[[nodiscard]] bool cell_is_singular(const double* cell) noexcept;

// The determinant of a cell that is about to be used; a singular cell (a
// non-finite determinant or one below 1e-14 in magnitude) is refused with
// "cell matrix is singular".
[[nodiscard]] double regular_cell_determinant(const double* cell);

struct AtomRange {
    std::int64_t begin = 0;
    std::int64_t end = 0;
    [[nodiscard]] std::int64_t size() const noexcept { return end - begin; }
};

[[nodiscard]] inline AtomRange structure_range(const StructureBatch& batch, std::int64_t s) noexcept {
    return {batch.offsets[s], batch.offsets[s + 1]};
}

// One-structure view aliasing structure s; atom indices inside it are local.
[[nodiscard]] StructureBatch structure_view(const StructureBatch& batch, std::int64_t s) noexcept;

}  // namespace tandril
