#pragma once

#include <cstdint>
#include <vector>

namespace tandril {

// Real solid harmonics r^l Y_lm(r_hat) for l = 0 .. l_max, with Y_lm the real
// spherical harmonics orthonormal on the unit sphere. Output index
// l^2 + l + m for m = -l .. l (m < 0: the sin(|m| phi) function, m > 0: the
// cos(m phi) function, no Condon-Shortley phase). They are polynomials in
// x, y, z, so the origin needs no special case: there only Y_00 survives.
//
// Degrees up to closed_form_degree use closed forms, higher degrees the
// general recurrence. Which formula serves a degree never depends on l_max,
// so a value is bit-for-bit the same whatever l_max a caller asks for.
class RealSolidHarmonics {
public:
    static constexpr std::int32_t closed_form_degree = 3;
    static constexpr std::int32_t largest_degree = 20;

    explicit RealSolidHarmonics(std::int32_t l_max);

    [[nodiscard]] std::int32_t l_max() const noexcept { return l_max_; }
    [[nodiscard]] std::int32_t count() const noexcept { return (l_max_ + 1) * (l_max_ + 1); }

    void evaluate(double x, double y, double z, double* out) const noexcept;

    // Every degree by the general recurrence (the reference the closed forms
    // are checked against).
    void evaluate_by_recurrence(double x, double y, double z, double* out) const noexcept;

private:
    void recurrence(double x, double y, double z, std::int32_t first_degree, double* out) const noexcept;

    std::int32_t l_max_;
    // Per (l, m), triangular index l(l+1)/2 + m.
    std::vector<double> upward_;    // (2l-1)/(l-m)
    std::vector<double> downward_;  // (l+m-1)/(l-m)
    std::vector<double> norm_;      // N_l0 for m = 0, sqrt(2) N_lm for m > 0
};

}  // namespace tandril
