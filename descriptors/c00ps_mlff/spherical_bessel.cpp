#include "descriptors/c00ps_mlff/spherical_bessel.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>

namespace tandril {
namespace {

constexpr double tiny_argument = 1e-4;

// Leading terms used for |x| < 1e-4.
double small_argument_series(std::int32_t l, double x) {
    const double x2 = x * x;
    if (l == 0) return 1.0 - x2 / 6.0 + x2 * x2 / 120.0;
    double double_factorial = 1.0;  // (2l+1)!!
    for (std::int32_t k = 3; k <= 2 * l + 1; k += 2) double_factorial *= k;
    return std::pow(x, l) / double_factorial * (1.0 - x2 / (4.0 * l + 6.0));
}

// x^l / (2l+1)!! * sum_k (-x^2/2)^k / (k! (2l+3)(2l+5)...(2l+2k+1)), summed
// until the terms no longer change the sum; the prefactor is built as a
// product so that it neither overflows nor loses precision for large l.
double full_power_series(std::int32_t l, double x) {
    double prefactor = 1.0;
    for (std::int32_t k = 1; k <= l; ++k) prefactor *= x / (2.0 * k + 1.0);
    const double step = -0.5 * x * x;
    double term = 1.0, sum = 1.0;
    for (std::int32_t k = 1; k < 1000; ++k) {
        term *= step / (k * (2.0 * l + 2.0 * k + 1.0));
        const double next = sum + term;
        if (next == sum) break;
        sum = next;
    }
    return prefactor * sum;
}

double upward_recurrence(std::int32_t l, double x) {
    const double s = std::sin(x), c = std::cos(x);
    double previous = s / x;
    if (l == 0) return previous;
    double current = s / (x * x) - c / x;
    for (std::int32_t k = 1; k < l; ++k) {
        const double next = (2.0 * k + 1.0) * current / x - previous;
        previous = current;
        current = next;
    }
    return current;
}

// x where eps (2l+1)!! (2l-1)!! / x^(2l+1) = 1e-10 (logarithms, so that
// large l does not overflow).
double series_limit_formula(std::int32_t l) {
    if (l == 0) return 0.0;
    const double log_odd_factorial_upper = std::lgamma(2.0 * l + 2.0) - l * std::numbers::ln2 - std::lgamma(l + 1.0);
    const double log_odd_factorial_lower = log_odd_factorial_upper - std::log(2.0 * l + 1.0);
    const double log_ratio = std::log(std::numeric_limits<double>::epsilon() / 1e-10);
    return std::exp((log_ratio + log_odd_factorial_upper + log_odd_factorial_lower) / (2.0 * l + 1.0));
}

constexpr std::int32_t tabulated_limits = 128;

const std::array<double, tabulated_limits>& series_limits() {
    static const std::array<double, tabulated_limits> limits = [] {
        std::array<double, tabulated_limits> table{};
        for (std::int32_t l = 0; l < tabulated_limits; ++l) table[l] = series_limit_formula(l);
        return table;
    }();
    return limits;
}

}  // namespace

double spherical_bessel_series_limit(std::int32_t l) {
    return l < tabulated_limits ? series_limits()[l] : series_limit_formula(l);
}

double spherical_bessel_j(std::int32_t l, double x) {
    const double magnitude = std::fabs(x);
    if (magnitude < tiny_argument) return small_argument_series(l, x);
    if (magnitude < spherical_bessel_series_limit(l)) return full_power_series(l, x);
    return upward_recurrence(l, x);
}

void spherical_bessel_j(std::int32_t l, const double* x, double* out, std::int32_t count) {
    if (l <= 1) {
        for (std::int32_t i = 0; i < count; ++i) out[i] = spherical_bessel_j(l, x[i]);
        return;
    }
    // Arguments that take the recurrence are gathered so that one step is
    // taken for all of them at a time.
    constexpr std::int32_t chunk = 16;
    const double limit = std::max(tiny_argument, spherical_bessel_series_limit(l));
    for (std::int32_t first = 0; first < count; first += chunk) {
        const std::int32_t last = std::min(count, first + chunk);
        double arg[chunk], previous[chunk], current[chunk];
        std::int32_t slot[chunk];
        std::int32_t n = 0;
        for (std::int32_t i = first; i < last; ++i) {
            if (std::fabs(x[i]) < limit) {
                out[i] = spherical_bessel_j(l, x[i]);
                continue;
            }
            const double s = std::sin(x[i]), c = std::cos(x[i]);
            arg[n] = x[i];
            previous[n] = s / x[i];
            current[n] = s / (x[i] * x[i]) - c / x[i];
            slot[n++] = i;
        }
        for (std::int32_t k = 1; k < l; ++k) {
            const double factor = 2.0 * k + 1.0;
            for (std::int32_t e = 0; e < n; ++e) {
                const double next = factor * current[e] / arg[e] - previous[e];
                previous[e] = current[e];
                current[e] = next;
            }
        }
        for (std::int32_t e = 0; e < n; ++e) out[slot[e]] = current[e];
    }
}

std::vector<double> spherical_bessel_zeros(std::int32_t l, std::int32_t count, double scan_end) {
    constexpr double first_point = 0.39279908169872413;  // 1e-4 + pi/8
    constexpr double step = 0.39269908169872414;         // pi/8
    std::vector<double> zeros;
    if (count <= 0) return zeros;
    zeros.reserve(static_cast<std::size_t>(count));
    double previous = spherical_bessel_j(l, tiny_argument);
    for (double d = first_point; d < scan_end; d += step) {
        const double value = spherical_bessel_j(l, d);
        if (previous == 0.0 || (previous < 0.0 && value > 0.0) || (previous > 0.0 && value < 0.0)) {
            double lower = d - step, upper = d, lower_value = spherical_bessel_j(l, lower), middle = lower;
            for (int halving = 0; halving < 64; ++halving) {
                middle = 0.5 * (lower + upper);
                const double middle_value = spherical_bessel_j(l, middle);
                if (lower_value * middle_value <= 0.0) {
                    upper = middle;
                } else {
                    lower = middle;
                    lower_value = middle_value;
                }
            }
            zeros.push_back(middle);
            if (static_cast<std::int32_t>(zeros.size()) == count) break;
        }
        previous = value;
    }
    return zeros;
}

}  // namespace tandril
