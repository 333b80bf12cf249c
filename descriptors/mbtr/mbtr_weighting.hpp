#pragma once

#include "descriptors/mbtr/mbtr_options.hpp"

namespace tandril {

// Weight of one contribution, from the options' weighting code.
class MbtrWeight {
public:
    explicit MbtrWeight(const MbtrOptions& options) noexcept
        : code_(static_cast<MbtrWeighting>(options.weighting)),
          scale_(options.scale),
          threshold_(options.threshold),
          r_cut_(options.r_cut),
          sharpness_(options.sharpness) {}

    // One distance r (k2).
    [[nodiscard]] double pair(double r) const noexcept;

    // Distances r_a, r_b from the vertex and r_ab between the ends (k3);
    // symmetric in r_a and r_b.
    [[nodiscard]] double triplet(double r_a, double r_b, double r_ab) const noexcept;

private:
    [[nodiscard]] double exponential(double length) const noexcept;
    [[nodiscard]] double smooth_cutoff(double r) const noexcept;

    MbtrWeighting code_;
    double scale_;
    double threshold_;
    double r_cut_;
    double sharpness_;
};

}  // namespace tandril
