#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "core/platform_math.hpp"

namespace tandril {

// The (eta, zeta, lambda) terms of one angular family (G4 or G5), reduced to
// their distinct etas and distinct (zeta, lambda) shapes, each in order of
// first occurrence (exact equality). Per neighbour pair the exponential is
// then evaluated once per distinct eta and the angular power once per
// distinct shape, whatever the number of terms sharing them; the values are
// those of evaluating every term on its own.
struct AcsfAngularTerms {
    std::vector<double> etas;            // distinct
    std::vector<double> zetas;           // distinct shapes: zeta ...
    std::vector<double> lambdas;         // ... and lambda
    std::vector<std::int32_t> eta_of;    // per term: index into etas
    std::vector<std::int32_t> shape_of;  // per term: index into zetas/lambdas

    [[nodiscard]] std::size_t size() const noexcept { return eta_of.size(); }
};

// `triples` holds (eta, zeta, lambda) per term, flattened.
[[nodiscard]] AcsfAngularTerms make_acsf_angular_terms(std::span<const double> triples);

// A = x^zeta with x = (1 + lambda cos) / 2; zeta 1 and 2 (for x >= 0) avoid
// the general power function. 2 x^zeta equals 2^(1-zeta) (1 + lambda cos)^zeta.
[[nodiscard]] inline double acsf_angular_power(double cos_theta, double zeta, double lambda) {
    const double x = (1.0 + lambda * cos_theta) / 2.0;
    if (zeta == 1.0) return x;
    if (zeta == 2.0 && x >= 0.0) return x * x;
    return platform_pow(x, zeta);
}

}  // namespace tandril
