#pragma once

#include <cstddef>
#include <cstdint>

#include <new>

namespace tandril {

// An allocation refused before it was attempted, with the reason. Reaches
// Python as MemoryError carrying the message.
class AllocationRefused : public std::bad_alloc {
public:
    explicit AllocationRefused(const char* reason) noexcept : reason_(reason) {}
    [[nodiscard]] const char* what() const noexcept override { return reason_; }

private:
    const char* reason_;  // a string literal
};

// Throws AllocationRefused when `count` items of `item_bytes` each cannot be
// held by this machine (or the byte count overflows). Called before
// allocations whose size follows from user input, so a hopeless request fails
// at once instead of growing until the process is killed.
void ensure_allocatable(std::uint64_t count, std::uint64_t item_bytes,
                        const char* what = "result does not fit in memory");

// Product of non-negative factors; AllocationRefused when it overflows int64.
[[nodiscard]] std::int64_t checked_product(std::int64_t a, std::int64_t b,
                                           const char* what = "result does not fit in memory");

}  // namespace tandril
