#include "core/gauss_legendre.hpp"

#include <cmath>
#include <numbers>
#include <stdexcept>

namespace tandril {

GaussLegendreRule gauss_legendre_rule(std::int32_t n) {
    if (n < 1) throw std::invalid_argument("Gauss-Legendre rule needs at least one point");
    GaussLegendreRule rule;
    rule.nodes.assign(static_cast<std::size_t>(n), 0.0);
    rule.weights.assign(static_cast<std::size_t>(n), 0.0);
    for (std::int32_t i = 0; i < (n + 1) / 2; ++i) {
        double x = std::cos((i + 0.75) * std::numbers::pi / (n + 0.5));
        double derivative = 0.0;
        for (int step = 0; step < 100; ++step) {
            double p = 1.0, previous = 0.0;  // P_k and P_(k-1)
            for (std::int32_t k = 1; k <= n; ++k) {
                const double next = ((2.0 * k - 1.0) * x * p - (k - 1.0) * previous) / k;
                previous = p;
                p = next;
            }
            derivative = n * (x * p - previous) / (x * x - 1.0);
            const double change = p / derivative;
            x -= change;
            if (std::fabs(change) < 3e-14) break;
        }
        const double weight = 2.0 / ((1.0 - x * x) * derivative * derivative);
        rule.nodes[i] = -x;
        rule.nodes[n - 1 - i] = x;
        rule.weights[i] = weight;
        rule.weights[n - 1 - i] = weight;
    }
    return rule;
}

GaussLegendreRule gauss_legendre_rule(std::int32_t n, double a, double b) {
    GaussLegendreRule rule = gauss_legendre_rule(n);
    const double half = 0.5 * (b - a), middle = 0.5 * (b + a);
    for (std::size_t k = 0; k < rule.nodes.size(); ++k) {
        rule.nodes[k] = middle + half * rule.nodes[k];
        rule.weights[k] *= half;
    }
    return rule;
}

}  // namespace tandril
