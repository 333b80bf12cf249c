#pragma once

#include <cstdint>
#include <string_view>

namespace tandril {

// Atomic number of a standard chemical symbol, H (1) to Pu (94), matched
// exactly and case-sensitively; 0 for anything else.
[[nodiscard]] std::int32_t atomic_number_of_symbol(std::string_view symbol) noexcept;

}  // namespace tandril
