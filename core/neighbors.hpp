#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/compute_control.hpp"
#include "core/default_init_allocator.hpp"
#include "core/structure_batch.hpp"

namespace tandril {

// Per-atom compressed neighbour list. Entries of atom i are
// row_offsets[i] .. row_offsets[i+1]-1; every atom's own zero-shift image is
// included. The entry order is fixed (bin order, then image-record order)
// because downstream sums depend on it in the last bits.
struct NeighborGraph {
    double cutoff = 0.0;
    FillLaterVector<std::int64_t> row_offsets;
    FillLaterVector<std::int32_t> neighbors;
    FillLaterVector<std::int32_t> shifts;  // 3 per entry; empty unless shifts were asked for
    FillLaterVector<double> vectors;       // 3 per entry: neighbour image minus centre
    FillLaterVector<double> distances_squared;

    [[nodiscard]] std::int64_t entry_count() const noexcept {
        return static_cast<std::int64_t>(distances_squared.size());
    }
};

struct NeighborSearchOptions {
    double cutoff = 0.0;
    // The callers' strategy choice (1: single pass, otherwise count then
    // fill). Both give the same graph and notice cancellation per atom, so
    // the search runs one path for either; no thread is ever started.
    std::int32_t num_threads = 0;
    // Keep only images strictly closer than the cutoff to some atom, with
    // shifts negated (the convention of the distribution descriptors).
    bool prune_images = false;
    bool store_shifts = true;
};

class NeighborSearchScratch;

// Reusable neighbour search: owns its scratch buffers so that walking many
// small structures allocates nothing per structure once warmed up.
class NeighborSearch {
public:
    NeighborSearch();
    ~NeighborSearch();
    NeighborSearch(const NeighborSearch&) = delete;
    NeighborSearch& operator=(const NeighborSearch&) = delete;

    // Rows of structure s alone: row_offsets has (atom count)+1 entries
    // starting at 0; neighbour indices index the batch arrays. `graph` is
    // overwritten and its capacity reused.
    void build_structure(const StructureBatch& batch, std::int64_t s, const ComputeControl* control,
                         const NeighborSearchOptions& options, NeighborGraph& graph);

    // Rows of every structure of the batch, rows indexed like the batch atoms.
    void build_batch(const StructureBatch& batch, const ComputeControl* control,
                     const NeighborSearchOptions& options, NeighborGraph& graph);

private:
    // Appends the entries of structure s; row_offsets[0 .. count] receive the
    // running entry totals.
    void append_structure(const StructureBatch& batch, std::int64_t s, const ComputeControl* control,
                          const NeighborSearchOptions& options, NeighborGraph& graph, std::int64_t* row_offsets);

    std::unique_ptr<NeighborSearchScratch> scratch_;
};

[[nodiscard]] NeighborGraph build_batch_neighbors(const StructureBatch& batch, const ComputeControl* control,
                                                  std::int32_t num_threads, bool prune_images, bool store_shifts,
                                                  double cutoff);

[[nodiscard]] NeighborGraph build_structure_neighbors(const StructureBatch& batch, std::int64_t s,
                                                      const ComputeControl* control, std::int32_t num_threads,
                                                      bool prune_images, double cutoff, bool store_shifts);

// The cutoff every search starts by testing.
void check_neighbor_cutoff(double cutoff);

}  // namespace tandril
