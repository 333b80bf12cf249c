#include "descriptors/soap/real_solid_harmonics.hpp"

#include <array>
#include <cmath>
#include <utility>
#include <stdexcept>

namespace tandril {
namespace {

constexpr double four_pi = 12.566370614359172;

// sqrt of 1/(4 pi), 3/(4 pi), 5/(16 pi), 15/(4 pi), 15/(16 pi), 7/(16 pi),
// 21/(32 pi), 105/(16 pi), 35/(32 pi): the normalisations of the closed forms.
constexpr double y00 = 0.28209479177387814;
constexpr double c1 = 0.4886025119029199;
constexpr double c20 = 0.31539156525252;
constexpr double c21 = 1.0925484305920792;
constexpr double c22 = 0.5462742152960396;
constexpr double c30 = 0.3731763325901154;
constexpr double c31 = 0.4570457994644657;
constexpr double c32 = 1.4453057213202771;
constexpr double c33 = 0.5900435899266435;

constexpr std::size_t triangle(std::int32_t l, std::int32_t m) noexcept {
    return static_cast<std::size_t>(l) * (l + 1) / 2 + m;
}

}  // namespace

RealSolidHarmonics::RealSolidHarmonics(std::int32_t l_max) : l_max_(l_max) {
    if (l_max < 0 || l_max > largest_degree) throw std::invalid_argument("real solid harmonics need 0 <= l_max <= 20");
    const std::size_t size = triangle(l_max + 1, 0);
    upward_.assign(size, 0.0);
    downward_.assign(size, 0.0);
    norm_.assign(size, 0.0);
    for (std::int32_t l = 0; l <= l_max; ++l)
        for (std::int32_t m = 0; m <= l; ++m) {
            const std::size_t t = triangle(l, m);
            if (m < l) {
                upward_[t] = (2.0 * l - 1.0) / (l - m);
                downward_[t] = (l + m - 1.0) / (l - m);
            }
            const double ratio = std::exp(std::lgamma(l - m + 1.0) - std::lgamma(l + m + 1.0));
            const double n = std::sqrt((2.0 * l + 1.0) / four_pi * ratio);
            norm_[t] = m == 0 ? n : std::sqrt(2.0) * n;
        }
}

namespace {

// The recurrence with the degree known at compile time, so that every loop
// is unrolled; `first_degree` only selects which degrees are written.
template <std::int32_t L>
void solid_harmonics_upwards(const double* upward, const double* downward, const double* norm, double x, double y,
                             double z, std::int32_t first_degree, double* out) noexcept {
    // r^l P_l^m(cos theta) = rho^m Pi_l^m(z, r^2), rho^m cos(m phi) = C_m and
    // rho^m sin(m phi) = S_m: all polynomials, built upwards.
    double pi_lm[triangle(L + 1, 0)];
    double c[L + 1], s[L + 1];
    const double r2 = x * x + y * y + z * z;
    c[0] = 1.0;
    s[0] = 0.0;
#pragma GCC unroll 32
    for (std::int32_t m = 1; m <= L; ++m) {
        c[m] = x * c[m - 1] - y * s[m - 1];
        s[m] = x * s[m - 1] + y * c[m - 1];
    }
    pi_lm[0] = 1.0;
#pragma GCC unroll 32
    for (std::int32_t l = 1; l <= L; ++l) {
        const std::size_t row = triangle(l, 0), previous = triangle(l - 1, 0);
#pragma GCC unroll 32
        for (std::int32_t m = 0; m <= l - 2; ++m)
            pi_lm[row + m] = upward[row + m] * z * pi_lm[previous + m] -
                             downward[row + m] * r2 * pi_lm[triangle(l - 2, 0) + m];
        pi_lm[row + l - 1] = (2.0 * l - 1.0) * z * pi_lm[previous + l - 1];
        pi_lm[row + l] = (2.0 * l - 1.0) * pi_lm[previous + l - 1];
    }
#pragma GCC unroll 32
    for (std::int32_t l = 0; l <= L; ++l) {
        if (l < first_degree) continue;
        const std::size_t row = triangle(l, 0);
        double* degree = out + l * l + l;  // m = 0
        degree[0] = norm[row] * pi_lm[row];
#pragma GCC unroll 32
        for (std::int32_t m = 1; m <= l; ++m) {
            const double radial = norm[row + m] * pi_lm[row + m];
            degree[m] = radial * c[m];
            degree[-m] = radial * s[m];
        }
    }
}

using UpwardsFunction = void (*)(const double*, const double*, const double*, double, double, double, std::int32_t,
                                 double*) noexcept;

template <std::int32_t... L>
constexpr auto make_upwards_table(std::integer_sequence<std::int32_t, L...>) {
    return std::array<UpwardsFunction, sizeof...(L)>{&solid_harmonics_upwards<L>...};
}

constexpr auto upwards_by_degree =
    make_upwards_table(std::make_integer_sequence<std::int32_t, RealSolidHarmonics::largest_degree + 1>{});

}  // namespace

void RealSolidHarmonics::recurrence(double x, double y, double z, std::int32_t first_degree,
                                    double* out) const noexcept {
    upwards_by_degree[static_cast<std::size_t>(l_max_)](upward_.data(), downward_.data(), norm_.data(), x, y, z,
                                                         first_degree, out);
}

void RealSolidHarmonics::evaluate_by_recurrence(double x, double y, double z, double* out) const noexcept {
    recurrence(x, y, z, 0, out);
}

void RealSolidHarmonics::evaluate(double x, double y, double z, double* out) const noexcept {
    out[0] = y00;
    if (l_max_ >= 1) {
        out[1] = c1 * y;
        out[2] = c1 * z;
        out[3] = c1 * x;
    }
    if (l_max_ >= 2) {
        const double xx = x * x, yy = y * y, zz = z * z;
        out[4] = c21 * (x * y);
        out[5] = c21 * (y * z);
        out[6] = c20 * (2.0 * zz - xx - yy);
        out[7] = c21 * (x * z);
        out[8] = c22 * (xx - yy);
        if (l_max_ >= 3) {
            const double lateral = 4.0 * zz - xx - yy;
            out[9] = c33 * (y * (3.0 * xx - yy));
            out[10] = c32 * (2.0 * (x * y) * z);
            out[11] = c31 * (y * lateral);
            out[12] = c30 * (z * (2.0 * zz - 3.0 * xx - 3.0 * yy));
            out[13] = c31 * (x * lateral);
            out[14] = c32 * (z * (xx - yy));
            out[15] = c33 * (x * (xx - 3.0 * yy));
        }
    }
    if (l_max_ > closed_form_degree) recurrence(x, y, z, closed_form_degree + 1, out);
}

}  // namespace tandril
