#include "core/memory_guard.hpp"

#include <unistd.h>


namespace tandril {
namespace {

std::uint64_t physical_memory_bytes() {
    static const std::uint64_t bytes = [] {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page_size = sysconf(_SC_PAGE_SIZE);
        if (pages <= 0 || page_size <= 0) return ~std::uint64_t{0};
        return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
    }();
    return bytes;
}

}  // namespace

void ensure_allocatable(std::uint64_t count, std::uint64_t item_bytes, const char* what) {
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(count, item_bytes, &bytes) || bytes > physical_memory_bytes())
        throw AllocationRefused(what);
}

std::int64_t checked_product(std::int64_t a, std::int64_t b, const char* what) {
    std::int64_t result = 0;
    if (__builtin_mul_overflow(a, b, &result)) throw AllocationRefused(what);
    return result;
}

}  // namespace tandril
