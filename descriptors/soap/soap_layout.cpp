#include "descriptors/soap/soap_layout.hpp"

#include <stdexcept>

namespace tandril {
namespace {

std::int64_t product(std::int64_t a, std::int64_t b) {
    std::int64_t result = 0;
    if (__builtin_mul_overflow(a, b, &result)) throw std::overflow_error("SOAP feature count does not fit in 64 bits");
    return result;
}

std::int64_t sum(std::int64_t a, std::int64_t b) {
    std::int64_t result = 0;
    if (__builtin_add_overflow(a, b, &result)) throw std::overflow_error("SOAP feature count does not fit in 64 bits");
    return result;
}

}  // namespace

std::int64_t soap_feature_count(const SoapOptions& options) {
    const auto s = static_cast<std::int64_t>(options.species.size());
    const std::int64_t n = options.n_max;
    const std::int64_t degrees = std::int64_t{options.l_max} + 1;
    std::int64_t per_degree = 0;
    switch (options.compression) {
        case 1: per_degree = product(n, sum(n, 1)) / 2; break;
        case 2: per_degree = product(s, product(n, n)); break;
        case 3: per_degree = product(s, product(n, sum(n, 1)) / 2); break;
        default: {
            const std::int64_t sn = product(s, n);
            per_degree = product(sn, sum(sn, 1)) / 2;
        }
    }
    return product(degrees, per_degree);
}

std::int32_t soap_channel_count(const SoapOptions& options) {
    return options.compression == 1 ? 1 : static_cast<std::int32_t>(options.species.size());
}

}  // namespace tandril
