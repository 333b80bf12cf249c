#pragma once

#include <cstdint>
#include <vector>

#include "core/neighbors.hpp"
#include "descriptors/mbtr/gaussian_grid.hpp"
#include "descriptors/mbtr/mbtr_weighting.hpp"

namespace tandril {

// One structure as the terms see it: its first batch atom, its atom count,
// atomic numbers and species indices by local atom index, and its
// neighbour graph (rows local, neighbour indices batch-global).
struct MbtrStructure {
    std::int64_t first_atom = 0;
    std::int64_t count = 0;
    const std::int32_t* numbers = nullptr;
    const std::int32_t* species = nullptr;
    const NeighborGraph* graph = nullptr;
};

// Adds the contributions of one structure to its row (global form) or to the
// rows of its atoms (local form, `rows` pointing at the first atom's row).
class MbtrTerms {
public:
    MbtrTerms(const MbtrOptions& options, const GaussianGrid& grid, const MbtrWeight& weight);

    void global_k1(const MbtrStructure& structure, double* row) const;
    void local_k1(const MbtrStructure& structure, double* rows, std::int64_t width) const;
    void global_k2(const MbtrStructure& structure, double* row) const;
    void local_k2(const MbtrStructure& structure, double* rows, std::int64_t width) const;
    void global_k3(const MbtrStructure& structure, double* row);
    void local_k3(const MbtrStructure& structure, double* rows, std::int64_t width);

private:
    // A neighbour entry of one centre that takes part in k3.
    struct Arm {
        double r;
        double d2;
        double v[3];
        std::int32_t species;
    };

    [[nodiscard]] double pair_value(double r) const noexcept;
    [[nodiscard]] double angle_value(double c) const noexcept;
    // The entries of local centre m with r > 1e-12, in list order.
    void collect_arms(const MbtrStructure& structure, std::int64_t m);
    double* block(double* row, std::int64_t b) const noexcept { return row + b * grid_.size(); }

    const GaussianGrid& grid_;
    const MbtrWeight& weight_;
    bool inverse_distance_;
    bool cosine_;
    std::int64_t species_count_;
    std::vector<Arm> arms_;
};

}  // namespace tandril
