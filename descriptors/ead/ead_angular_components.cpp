#include "descriptors/ead/ead_angular_components.hpp"

#include <cmath>

#include "core/memory_guard.hpp"

namespace tandril {

std::vector<EadAngularComponent> ead_angular_components(std::int32_t max_degree) {
    const std::int64_t n = std::int64_t{max_degree} + 1;
    const std::int64_t count = checked_product(checked_product(n, n + 1), n + 2) / 6;
    ensure_allocatable(static_cast<std::uint64_t>(count), sizeof(EadAngularComponent));
    std::vector<EadAngularComponent> components;
    components.reserve(static_cast<std::size_t>(count));
    for (std::int32_t degree = 0; degree <= max_degree; ++degree)
        for (std::int32_t a = 0; a <= degree; ++a)
            for (std::int32_t b = 0; b <= degree - a; ++b) {
                const std::int32_t c = degree - a - b;
                const double factorials = std::tgamma(a + 1.0) * std::tgamma(b + 1.0) * std::tgamma(c + 1.0);
                components.push_back({a, b, c, degree, std::sqrt(factorials)});
            }
    return components;
}

}  // namespace tandril
