#pragma once

#include <cstdint>
#include <vector>

namespace tandril {

// n-point Gauss-Legendre rule on [-1, 1], nodes ascending.
struct GaussLegendreRule {
    std::vector<double> nodes;
    std::vector<double> weights;
};

// Newton iteration on P_n from x = cos((i + 0.75) pi / (n + 0.5)) for the
// (n+1)/2 non-negative roots, until a step is below 3e-14 or after 100 steps;
// the pair -x, +x is stored at positions i and n-1-i with the weight
// 2 / ((1 - x^2) P_n'(x)^2) taken from the last Newton step.
[[nodiscard]] GaussLegendreRule gauss_legendre_rule(std::int32_t n);

// The same rule mapped linearly onto [a, b].
[[nodiscard]] GaussLegendreRule gauss_legendre_rule(std::int32_t n, double a, double b);

}  // namespace tandril
