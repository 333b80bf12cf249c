#pragma once

#include <cstddef>
#include <cstdint>

namespace tandril {

// Throws std::bad_alloc when `count` items of `item_bytes` each cannot be held
// by this machine (or the byte count overflows). Called before allocations
// whose size follows from user input, so a hopeless request fails at once
// instead of growing until the process is killed.
void ensure_allocatable(std::uint64_t count, std::uint64_t item_bytes);

// Product of non-negative factors; std::bad_alloc when it overflows int64.
[[nodiscard]] std::int64_t checked_product(std::int64_t a, std::int64_t b);

}  // namespace tandril
