#pragma once

#include <cstddef>
#include <cstdint>

namespace tandril {

// out[i][j] (+)= sum_k a(i, k) * b(k)[j] for i < m, j < n, every sum taken
// in ascending k from 0 (or from the value already in out), exactly as a
// plain triple loop would: results do not depend on the blocking, which
// only keeps a 2 x 8 tile of sums in registers. `a(i, k)` returns a value,
// `b(k)` a pointer to a row of n contiguous values.
namespace ordered_products_detail {

// Two doubles per register; the compiler's generic vectors keep this
// portable and exact (element-wise multiply and add, nothing fused).
typedef double pair __attribute__((vector_size(16)));

inline pair load_pair(const double* p) noexcept {
    pair v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

inline void store_pair(double* p, pair v) noexcept { __builtin_memcpy(p, &v, sizeof v); }

template <int Rows, int Cols, class A, class B>
inline void tile(std::int64_t k_count, std::int32_t i0, std::int32_t j0, const A& a, const B& b, double* out,
                 std::size_t out_stride, bool accumulate) {
    if constexpr (Cols % 2 == 0) {
        constexpr int Pairs = Cols / 2;
        pair sum[Rows][Pairs];
        for (int r = 0; r < Rows; ++r)
            for (int c = 0; c < Pairs; ++c)
                sum[r][c] = accumulate ? load_pair(out + (i0 + r) * out_stride + j0 + 2 * c) : pair{0.0, 0.0};
        for (std::int64_t k = 0; k < k_count; ++k) {
            const double* row = b(k) + j0;
            pair right[Pairs];
            for (int c = 0; c < Pairs; ++c) right[c] = load_pair(row + 2 * c);
            for (int r = 0; r < Rows; ++r) {
                const double value = a(i0 + r, k);
                const pair left = {value, value};
                for (int c = 0; c < Pairs; ++c) sum[r][c] += left * right[c];
            }
        }
        for (int r = 0; r < Rows; ++r)
            for (int c = 0; c < Pairs; ++c) store_pair(out + (i0 + r) * out_stride + j0 + 2 * c, sum[r][c]);
    } else {
        double sum[Rows][Cols];
        for (int r = 0; r < Rows; ++r)
            for (int c = 0; c < Cols; ++c) sum[r][c] = accumulate ? out[(i0 + r) * out_stride + j0 + c] : 0.0;
        for (std::int64_t k = 0; k < k_count; ++k) {
            const double* row = b(k) + j0;
            for (int r = 0; r < Rows; ++r) {
                const double left = a(i0 + r, k);
                for (int c = 0; c < Cols; ++c) sum[r][c] += left * row[c];
            }
        }
        for (int r = 0; r < Rows; ++r)
            for (int c = 0; c < Cols; ++c) out[(i0 + r) * out_stride + j0 + c] = sum[r][c];
    }
}

template <int Rows, class A, class B>
inline void tile_row(std::int64_t k_count, std::int32_t i0, std::int32_t n, const A& a, const B& b, double* out,
                     std::size_t out_stride, bool accumulate) {
    std::int32_t j = 0;
    for (; j + 8 <= n; j += 8) tile<Rows, 8>(k_count, i0, j, a, b, out, out_stride, accumulate);
    if (j + 4 <= n) {
        tile<Rows, 4>(k_count, i0, j, a, b, out, out_stride, accumulate);
        j += 4;
    }
    if (j + 2 <= n) {
        tile<Rows, 2>(k_count, i0, j, a, b, out, out_stride, accumulate);
        j += 2;
    }
    if (j < n) tile<Rows, 1>(k_count, i0, j, a, b, out, out_stride, accumulate);
}

}  // namespace ordered_products_detail

template <class A, class B>
inline void ordered_products(std::int64_t k_count, std::int32_t m, std::int32_t n, const A& a, const B& b, double* out,
                             std::size_t out_stride, bool accumulate = false) {
    std::int32_t i = 0;
    for (; i + 2 <= m; i += 2) ordered_products_detail::tile_row<2>(k_count, i, n, a, b, out, out_stride, accumulate);
    if (i < m) ordered_products_detail::tile_row<1>(k_count, i, n, a, b, out, out_stride, accumulate);
}

}  // namespace tandril
