#include "descriptors/soap/radial_row_cache.hpp"

#include <algorithm>

namespace tandril {
namespace {

constexpr std::size_t value_budget = std::size_t{8} << 20;  // doubles: 64 MiB
constexpr std::size_t fewest_rows = 256;
constexpr std::size_t most_rows = 262144;
constexpr int initial_bits = 10;

}  // namespace

std::size_t RadialRowCache::row_cap(std::size_t row_length) noexcept {
    const std::size_t by_budget = row_length == 0 ? most_rows : value_budget / row_length;
    return std::clamp(by_budget, fewest_rows, most_rows);
}

void RadialRowCache::adopt(const RadialCacheTag& tag, std::size_t row_length) {
    if (has_tag_ && row_length == row_length_ && tag == tag_) return;
    if (row_length != row_length_) blocks_.clear();
    tag_ = tag;
    has_tag_ = true;
    row_length_ = row_length;
    max_rows_ = row_cap(row_length);
    clear();
}

void RadialRowCache::clear() noexcept {
    count_ = 0;
    std::fill(slots_.begin(), slots_.end(), 0u);
}

std::size_t RadialRowCache::home(std::uint64_t key) const noexcept {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> shift_);
}

const double* RadialRowCache::find(std::uint64_t key) const noexcept {
    if (slots_.empty()) return nullptr;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t s = home(key);; s = (s + 1) & mask) {
        const std::uint32_t slot = slots_[s];
        if (slot == 0) return nullptr;
        if (keys_[s] == key) return row(slot - 1);
    }
}

void RadialRowCache::grow_table() {
    const int bits = slots_.empty() ? initial_bits : 65 - shift_;
    shift_ = 64 - bits;
    const std::vector<std::uint64_t> old_keys = std::move(keys_);
    const std::vector<std::uint32_t> old_slots = std::move(slots_);
    keys_.assign(std::size_t{1} << bits, 0);
    slots_.assign(std::size_t{1} << bits, 0u);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t s = 0; s < old_slots.size(); ++s) {
        if (old_slots[s] == 0) continue;
        std::size_t t = home(old_keys[s]);
        while (slots_[t] != 0) t = (t + 1) & mask;
        keys_[t] = old_keys[s];
        slots_[t] = old_slots[s];
    }
}

double* RadialRowCache::insert(std::uint64_t key) {
    if (count_ >= max_rows_) clear();
    // Load factor at most 1/2.
    if (2 * (count_ + 1) > slots_.size()) grow_table();
    const std::size_t mask = slots_.size() - 1;
    std::size_t s = home(key);
    while (slots_[s] != 0) s = (s + 1) & mask;
    keys_[s] = key;
    slots_[s] = static_cast<std::uint32_t>(count_ + 1);
    if (count_ / block_rows >= blocks_.size()) blocks_.push_back(std::make_unique_for_overwrite<double[]>(block_rows * row_length_));
    return row(count_++);
}

void RadialRowCache::make_room(std::size_t rows) noexcept {
    if (count_ + rows > max_rows_) clear();
}

}  // namespace tandril
