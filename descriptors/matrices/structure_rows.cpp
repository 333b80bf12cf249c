#include "descriptors/matrices/structure_rows.hpp"

#include <exception>

#include "descriptors/matrices/matrix_row.hpp"
#include "descriptors/matrices/symmetric_eigenvalues.hpp"

namespace tandril {
namespace {

// How many structures' spectra are computed together: enough that the two
// lanes of the QL iteration rarely run alone, few enough that the matrices
// stay in cache.
constexpr std::size_t spectra_per_group = 16;
constexpr std::int64_t group_matrix_elements = 1 << 16;

struct PendingSpectrum {
    std::vector<double> matrix;
    std::vector<double> eigenvalues;
    EigenvalueScratch scratch;
    std::exception_ptr refused;
};

// The structures from `first` that form one group (at least one).
std::int64_t group_end(const StructureBatch& batch, std::int64_t first) {
    std::int64_t elements = 0;
    std::int64_t s = first;
    for (; s < batch.n_structures && s - first < static_cast<std::int64_t>(spectra_per_group); ++s) {
        const std::int64_t n = structure_range(batch, s).size();
        const std::int64_t room = group_matrix_elements - elements;
        if (n > 0 && n > room / n) break;
        elements += n * n;
    }
    return s == first ? first + 1 : s;
}

void write_spectra(const StructureBatch& batch, std::int64_t n_atoms_max, ComputeControl& control, double* out,
                   const BuildStructureMatrix& build) {
    std::vector<PendingSpectrum> pending(spectra_per_group);
    std::vector<TridiagonalProblem> problems;
    problems.reserve(spectra_per_group);
    for (std::int64_t first = 0; first < batch.n_structures;) {
        const std::int64_t end = group_end(batch, first);
        throw_if_cancelled(&control);
        // The first structure's refusal is reported at once; a later one's
        // after the rows before it. Nothing after a refused structure is built.
        std::int64_t built = first;
        problems.clear();
        const auto prepare = [&](PendingSpectrum& slot, std::int64_t s) {
            const std::int64_t n = build(s, slot.matrix);
            problems.push_back(tridiagonal_form(slot.matrix.data(), n, slot.eigenvalues, slot.scratch));
        };
        for (; built < end; ++built) {
            PendingSpectrum& slot = pending[built - first];
            slot.refused = nullptr;
            if (built == first) {
                prepare(slot, built);
                continue;
            }
            try {
                prepare(slot, built);
            } catch (...) {
                slot.refused = std::current_exception();
                ++built;
                break;
            }
        }
        tridiagonal_ql(problems);

        for (std::int64_t s = first; s < built; ++s) {
            PendingSpectrum& slot = pending[s - first];
            if (s > first) throw_if_cancelled(&control);
            if (slot.refused) std::rethrow_exception(slot.refused);
            if (!problems[s - first].converged) throw_not_converged();
            write_spectrum_row(slot.eigenvalues, n_atoms_max, out + s * n_atoms_max);
            control.advance();
        }
        first = built;
    }
}

}  // namespace

void write_structure_rows(const StructureBatch& batch, std::int64_t n_atoms_max, MatrixPermutation permutation,
                          ComputeControl& control, double* out, const BuildStructureMatrix& build) {
    if (permutation == MatrixPermutation::eigenspectrum) {
        write_spectra(batch, n_atoms_max, control, out, build);
        return;
    }
    const std::int64_t width = matrix_row_width(n_atoms_max, permutation);
    std::vector<double> matrix;
    MatrixRowScratch scratch;
    for (std::int64_t s = 0; s < batch.n_structures; ++s) {
        throw_if_cancelled(&control);
        const std::int64_t n = build(s, matrix);
        write_matrix_row(matrix.data(), n, n_atoms_max, permutation, out + s * width, scratch);
        control.advance();
    }
}

}  // namespace tandril
