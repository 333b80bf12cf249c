#include "descriptors/acsf/acsf_validation.hpp"

#include <cmath>
#include <cstddef>
#include <span>
#include <stdexcept>

namespace tandril {
namespace {

// Compared by division so that no count, however large, overflows.
bool holds_groups(const std::vector<double>& values, std::int64_t count, std::size_t group) noexcept {
    return count >= 0 && values.size() % group == 0 && values.size() / group == static_cast<std::uint64_t>(count);
}

void require_finite(std::span<const double> values) {
    for (const double v : values)
        if (!std::isfinite(v)) throw std::invalid_argument("ACSF parameters must be finite");
}

// eta (and zeta) of every (eta, zeta, lambda) triple must be positive.
bool triples_have_positive_eta_and_zeta(std::span<const double> triples) noexcept {
    for (std::size_t k = 0; k + 2 < triples.size(); k += 3)
        if (triples[k] <= 0.0 || triples[k + 1] <= 0.0) return false;
    return true;
}

}  // namespace

bool acsf_parameters_are_consistent(const AcsfOptions& o) noexcept {
    return std::isfinite(o.r_cut) && o.r_cut > 0.0 && holds_groups(o.g2_params, o.n_g2, 2) &&
           holds_groups(o.g3_params, o.n_g3, 1) && holds_groups(o.g4_params, o.n_g4, 3) &&
           holds_groups(o.g5_params, o.n_g5, 3) && o.num_threads >= 0;
}

void validate_acsf_parameters(const AcsfOptions& o) {
    if (!acsf_parameters_are_consistent(o)) throw std::invalid_argument("invalid ACSF parameters");

    require_finite(o.g2_params);
    for (std::size_t k = 0; k < o.g2_params.size(); k += 2)
        if (o.g2_params[k] <= 0.0) throw std::invalid_argument("ACSF G2 eta parameters must be positive");

    require_finite(o.g4_params);
    if (!triples_have_positive_eta_and_zeta(o.g4_params))
        throw std::invalid_argument("ACSF G4 eta and zeta parameters must be positive");

    require_finite(o.g3_params);

    require_finite(o.g5_params);
    if (!triples_have_positive_eta_and_zeta(o.g5_params))
        throw std::invalid_argument("ACSF G5 eta and zeta parameters must be positive");
}

}  // namespace tandril
