#include "descriptors/ead/ead_parameters.hpp"

#include <stdexcept>

#include "core/memory_guard.hpp"

namespace tandril {
namespace {

bool parameters_are_valid(const EadParameters& p) noexcept {
    return p.max_degree >= 0 && !(p.cutoff <= 0.0) && !p.eta.empty() && !p.rs.empty();
}

}  // namespace

void validate_ead_parameters(const EadParameters& parameters) {
    if (!parameters_are_valid(parameters)) throw std::invalid_argument("invalid EAD parameters");
}

std::int64_t ead_feature_count(const EadParameters& parameters) {
    if (!parameters_are_valid(parameters)) return 0;
    const std::int64_t per_degree = checked_product(static_cast<std::int64_t>(parameters.eta.size()),
                                                    static_cast<std::int64_t>(parameters.rs.size()));
    return checked_product(per_degree, std::int64_t{parameters.max_degree} + 1);
}

}  // namespace tandril
