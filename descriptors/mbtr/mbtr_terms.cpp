#include "descriptors/mbtr/mbtr_terms.hpp"

#include <algorithm>
#include <cmath>

#include "descriptors/mbtr/mbtr_layout.hpp"

namespace tandril {
namespace {

constexpr double pi = 3.141592653589793;
constexpr double min_distance = 1e-12;

double neighbor_distance(double d2) noexcept { return std::sqrt(std::max(d2, 0.0)); }

double distance_between(const double* a, const double* b) noexcept {
    const double x = a[0] - b[0], y = a[1] - b[1], z = a[2] - b[2];
    return std::sqrt(x * x + y * y + z * z);
}

// c = (p^2 + q^2 - o^2) / (2 p q) for the angle between sides p and q
// opposite side o; 1 when the denominator is not positive.
double law_of_cosines(double p_squared, double q_squared, double o_squared, double denominator) noexcept {
    if (!(denominator > 0.0)) return 1.0;
    return (p_squared + q_squared - o_squared) / denominator;
}

}  // namespace

MbtrTerms::MbtrTerms(const MbtrOptions& options, const GaussianGrid& grid, const MbtrWeight& weight)
    : grid_(grid),
      weight_(weight),
      inverse_distance_(options.geometry == static_cast<std::int32_t>(MbtrGeometry::inverse_distance)),
      cosine_(options.geometry == static_cast<std::int32_t>(MbtrGeometry::cosine)),
      species_count_(static_cast<std::int64_t>(options.species.size())) {}

double MbtrTerms::pair_value(double r) const noexcept { return inverse_distance_ ? 1.0 / r : r; }

double MbtrTerms::angle_value(double c) const noexcept {
    c = std::clamp(c, -1.0, 1.0);
    return cosine_ ? c : std::acos(c) * 180.0 / pi;
}

void MbtrTerms::global_k1(const MbtrStructure& st, double* row) const {
    for (std::int64_t m = 0; m < st.count; ++m) grid_.add(st.numbers[m], 1.0, block(row, st.species[m]));
}

void MbtrTerms::local_k1(const MbtrStructure& st, double* rows, std::int64_t width) const {
    for (std::int64_t m = 0; m < st.count; ++m) grid_.add(st.numbers[m], 1.0, block(rows + m * width, st.species[m]));
}

void MbtrTerms::global_k2(const MbtrStructure& st, double* row) const {
    const NeighborGraph& g = *st.graph;
    for (std::int64_t m = 0; m < st.count; ++m) {
        const std::int64_t centre = st.first_atom + m;
        const std::int32_t si = st.species[m];
        for (std::int64_t e = g.row_offsets[m]; e < g.row_offsets[m + 1]; ++e) {
            const double r = neighbor_distance(g.distances_squared[e]);
            if (r <= min_distance) continue;
            const std::int32_t j = g.neighbors[e];
            const std::int32_t* shift = g.shifts.data() + 3 * e;
            const bool in_cell = shift[0] == 0 && shift[1] == 0 && shift[2] == 0;
            // An in-cell pair is met from both ends and counted once; an image
            // pair is counted half from each end.
            if (in_cell && j < centre) continue;
            const double factor = in_cell ? 1.0 : 0.5;
            const std::int32_t sj = st.species[j - st.first_atom];
            const double w = factor * weight_.pair(r);
            grid_.add(pair_value(r), w, block(row, pair_block(std::min(si, sj), std::max(si, sj), species_count_)));
        }
    }
}

void MbtrTerms::local_k2(const MbtrStructure& st, double* rows, std::int64_t width) const {
    const NeighborGraph& g = *st.graph;
    for (std::int64_t m = 0; m < st.count; ++m) {
        double* row = rows + m * width;
        for (std::int64_t e = g.row_offsets[m]; e < g.row_offsets[m + 1]; ++e) {
            const double r = neighbor_distance(g.distances_squared[e]);
            if (r <= min_distance) continue;
            const std::int32_t sj = st.species[g.neighbors[e] - st.first_atom];
            grid_.add(pair_value(r), weight_.pair(r), block(row, sj + 1));
        }
    }
}

void MbtrTerms::collect_arms(const MbtrStructure& st, std::int64_t m) {
    const NeighborGraph& g = *st.graph;
    arms_.clear();
    for (std::int64_t e = g.row_offsets[m]; e < g.row_offsets[m + 1]; ++e) {
        const double d2 = g.distances_squared[e];
        const double r = neighbor_distance(d2);
        if (r <= min_distance) continue;
        const double* v = g.vectors.data() + 3 * e;
        arms_.push_back({r, d2, {v[0], v[1], v[2]}, st.species[g.neighbors[e] - st.first_atom]});
    }
}

void MbtrTerms::global_k3(const MbtrStructure& st, double* row) {
    const std::int64_t pair_blocks = species_count_ * (species_count_ + 1) / 2;
    for (std::int64_t m = 0; m < st.count; ++m) {
        collect_arms(st, m);
        double* vertex_blocks = block(row, st.species[m] * pair_blocks);
        const std::size_t count = arms_.size();
        for (std::size_t a = 0; a < count; ++a) {
            const Arm& arm_a = arms_[a];
            for (std::size_t b = a + 1; b < count; ++b) {
                const Arm& arm_b = arms_[b];
                const double r_ab = distance_between(arm_a.v, arm_b.v);
                const double w = weight_.triplet(arm_a.r, arm_b.r, r_ab);
                if (w == 0.0) continue;
                const double c = (arm_a.d2 + arm_b.d2 - r_ab * r_ab) / (2.0 * arm_a.r * arm_b.r);
                const std::int32_t p = std::min(arm_a.species, arm_b.species);
                const std::int32_t q = std::max(arm_a.species, arm_b.species);
                grid_.add(angle_value(c), w, block(vertex_blocks, pair_block(p, q, species_count_)));
            }
        }
    }
}

void MbtrTerms::local_k3(const MbtrStructure& st, double* rows, std::int64_t width) {
    // The centre is pseudo-species 0, species s is s + 1.
    const std::int64_t kinds = species_count_ + 1;
    const std::int64_t end_blocks = kinds * (kinds + 1) / 2 + 1;
    for (std::int64_t m = 0; m < st.count; ++m) {
        collect_arms(st, m);
        double* row = rows + m * width;
        const std::size_t count = arms_.size();
        for (std::size_t a = 0; a < count; ++a) {
            const Arm& arm_a = arms_[a];
            const double ra2 = arm_a.r * arm_a.r;
            for (std::size_t b = a + 1; b < count; ++b) {
                const Arm& arm_b = arms_[b];
                const double r_ab = distance_between(arm_a.v, arm_b.v);
                const double w = weight_.triplet(arm_a.r, arm_b.r, r_ab);
                if (w == 0.0) continue;
                const double rb2 = arm_b.r * arm_b.r;
                const double rab2 = r_ab * r_ab;
                const std::int32_t sa = arm_a.species, sb = arm_b.species;

                const double at_centre = law_of_cosines(rb2, ra2, rab2, 2.0 * arm_a.r * arm_b.r);
                grid_.add(angle_value(at_centre), w,
                          block(row, pair_block(std::min(sa, sb) + 1, std::max(sa, sb) + 1, kinds)));
                const double at_a = law_of_cosines(rab2, ra2, rb2, 2.0 * arm_a.r * r_ab);
                grid_.add(angle_value(at_a), w, block(row, end_blocks + kinds * sa + sb));
                const double at_b = law_of_cosines(rb2, rab2, ra2, 2.0 * arm_b.r * r_ab);
                grid_.add(angle_value(at_b), w, block(row, end_blocks + kinds * sb + sa));
            }
        }
    }
}

}  // namespace tandril
