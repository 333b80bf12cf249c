#pragma once

#include <cstdint>

#include "descriptors/soap/soap_options.hpp"

namespace tandril {

// Length of one SOAP row: (l_max+1) times the values per degree of the
// chosen compression. Computed in 64 bits from the fields as they stand
// (so it may be meaningless for options a computation would refuse);
// std::overflow_error when it does not fit.
[[nodiscard]] std::int64_t soap_feature_count(const SoapOptions& options);

// Density channels: one per species, or a single one for compression 1.
[[nodiscard]] std::int32_t soap_channel_count(const SoapOptions& options);

// Rows of a result: one per structure when averaging, one per atom otherwise.
[[nodiscard]] inline bool soap_averages(bool inner_average, bool outer_average) noexcept {
    return inner_average || outer_average;
}

}  // namespace tandril
