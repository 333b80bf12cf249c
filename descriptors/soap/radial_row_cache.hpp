#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "descriptors/soap/soap_radial_tables.hpp"

namespace tandril {

// Memo of radial rows keyed by the exact bit pattern of a distance, for one
// basis (its tag). Bounded: when the row cap is reached the cache is emptied
// and refilled, so a long stream of structures with ever new distances
// cannot exhaust memory. Rows are computed by the same code whether cached
// or not, so results never depend on the cache.
class RadialRowCache {
public:
    // Keeps the rows when `tag` is the basis they were made for; otherwise
    // empties the cache and adopts the new basis and row length.
    void adopt(const RadialCacheTag& tag, std::size_t row_length);

    // The row stored under `key`, or null.
    [[nodiscard]] const double* find(std::uint64_t key) const noexcept;

    // Storage for the row of a key not present. Rows never move: a pointer
    // stays valid until the cache is emptied, which happens only in
    // adopt(), make_room() or an insert into a full cache.
    [[nodiscard]] double* insert(std::uint64_t key);

    // Empties the cache if fewer than `rows` inserts are left before the cap,
    // so that the next `rows` (at most max_rows()) inserts keep every row
    // handed out in between.
    void make_room(std::size_t rows) noexcept;

    [[nodiscard]] std::size_t size() const noexcept { return count_; }
    [[nodiscard]] std::size_t max_rows() const noexcept { return max_rows_; }

    // Cap on the rows of one cache: about 64 MiB of values, between 256 and
    // 262144 rows.
    [[nodiscard]] static std::size_t row_cap(std::size_t row_length) noexcept;

private:
    void clear() noexcept;
    void grow_table();
    [[nodiscard]] std::size_t home(std::uint64_t key) const noexcept;
    [[nodiscard]] double* row(std::size_t index) const noexcept {
        return blocks_[index / block_rows].get() + (index % block_rows) * row_length_;
    }

    static constexpr std::size_t block_rows = 64;

    RadialCacheTag tag_;
    bool has_tag_ = false;
    std::size_t row_length_ = 0;
    std::size_t max_rows_ = 0;
    std::size_t count_ = 0;
    // Open addressing with linear probing; slot value = row index + 1, 0 = empty.
    std::vector<std::uint64_t> keys_;
    std::vector<std::uint32_t> slots_;
    int shift_ = 64;
    // Rows in fixed blocks, kept (and reused) when the cache is emptied.
    std::vector<std::unique_ptr<double[]>> blocks_;
};

}  // namespace tandril
