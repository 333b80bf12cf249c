#pragma once

// A minimal calculator built on the shared frame, so that the frame itself
// (closed flag, mutex, lock-free compute, cancellation, progress) is tested
// independently of any descriptor family. Each row holds the number of
// neighbours of an atom within the cutoff and the sum of their distances;
// `repeat` repeats the work to make computations long enough to interrupt.

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/calculator_frame.hpp"
#include "core/neighbors.hpp"
#include "core/species.hpp"
#include "core/structure_batch.hpp"

namespace tandril::testing {

struct ToyOptions {
    double cutoff = 3.0;
    std::int32_t repeat = 1;
    std::vector<std::int32_t> species;
};

class ToyCalculator : public CalculatorFrame<ToyOptions> {
public:
    explicit ToyCalculator(ToyOptions options, bool test_closed_before_lock)
        : CalculatorFrame(std::move(options), "toy calculator is closed",
                          test_closed_before_lock ? ClosedTest::before_lock : ClosedTest::after_lock) {}

    [[nodiscard]] std::int64_t feature_count() const noexcept { return 2; }
    [[nodiscard]] std::vector<std::int32_t> species() const { return options().species; }
    [[nodiscard]] std::array<std::int64_t, 2> result_shape(const StructureBatch& batch) const {
        return {batch.n_atoms, 2};
    }

    void compute(const StructureBatch& batch, ComputeControl& control, double* out) {
        run_exclusive([&] {
            validate_calculator_batch(batch);
            check_batch_species(batch, options().species);
            control.reset(batch.n_structures);
            NeighborSearch search;
            NeighborGraph graph;
            const NeighborSearchOptions search_options{options().cutoff, 1, false, false};
            for (std::int64_t s = 0; s < batch.n_structures; ++s) {
                throw_if_cancelled(&control);
                const AtomRange range = structure_range(batch, s);
                for (std::int32_t pass = 0; pass < options().repeat; ++pass) {
                    search.build_structure(batch, s, &control, search_options, graph);
                    for (std::int64_t m = 0; m < range.size(); ++m) {
                        double* row = out + 2 * (range.begin + m);
                        row[0] = 0.0;
                        row[1] = 0.0;
                        for (std::int64_t e = graph.row_offsets[m]; e < graph.row_offsets[m + 1]; ++e) {
                            if (graph.distances_squared[e] == 0.0) continue;
                            row[0] += 1.0;
                            row[1] += std::sqrt(graph.distances_squared[e]);
                        }
                    }
                }
                control.advance();
            }
        });
    }
};

}  // namespace tandril::testing
