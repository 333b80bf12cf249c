#include "core/distance_matching.hpp"

#include <array>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tandril {
namespace {

std::size_t match_scalar(const double* x, const double* y, const double* z, std::int32_t begin, std::int32_t end,
                         const double centre[3], double cutoff_squared, std::int32_t* out, std::size_t found) {
    const double cx = centre[0], cy = centre[1], cz = centre[2];
    for (std::int32_t r = begin; r < end; ++r) {
        const double vx = x[r] - cx, vy = y[r] - cy, vz = z[r] - cz;
        const double d2 = vx * vx + vy * vy + vz * vz;
        out[found] = r;  // written always, kept only on a match
        found += d2 <= cutoff_squared;
    }
    return found;
}

#if defined(__x86_64__)

// Byte shuffles that move the lanes set in a 4-bit mask to the front
// (-1 clears the rest).
constexpr std::array<std::array<std::int8_t, 16>, 16> make_pack_table() {
    std::array<std::array<std::int8_t, 16>, 16> table{};
    for (int mask = 0; mask < 16; ++mask) {
        int slot = 0;
        for (int lane = 0; lane < 4; ++lane)
            if ((mask >> lane) & 1) {
                for (int byte = 0; byte < 4; ++byte) table[mask][4 * slot + byte] = static_cast<std::int8_t>(4 * lane + byte);
                ++slot;
            }
        for (int byte = 4 * slot; byte < 16; ++byte) table[mask][byte] = -1;
    }
    return table;
}

alignas(16) constexpr auto pack_table = make_pack_table();

// Four candidates per step; the matching indices are packed with a shuffle
// chosen by the comparison mask.
__attribute__((target("avx2"))) std::size_t match_avx2(const double* x, const double* y, const double* z,
                                                        std::int32_t begin, std::int32_t end, const double centre[3],
                                                        double cutoff_squared, std::int32_t* out, std::size_t found) {
    const __m256d cx = _mm256_set1_pd(centre[0]), cy = _mm256_set1_pd(centre[1]), cz = _mm256_set1_pd(centre[2]);
    const __m256d limit = _mm256_set1_pd(cutoff_squared);
    const __m128i step = _mm_setr_epi32(0, 1, 2, 3);
    std::int32_t r = begin;
    for (; r + 4 <= end; r += 4) {
        const __m256d vx = _mm256_sub_pd(_mm256_loadu_pd(x + r), cx);
        const __m256d vy = _mm256_sub_pd(_mm256_loadu_pd(y + r), cy);
        const __m256d vz = _mm256_sub_pd(_mm256_loadu_pd(z + r), cz);
        const __m256d d2 =
            _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(vx, vx), _mm256_mul_pd(vy, vy)), _mm256_mul_pd(vz, vz));
        const int mask = _mm256_movemask_pd(_mm256_cmp_pd(d2, limit, _CMP_LE_OQ));
        const __m128i indices = _mm_add_epi32(_mm_set1_epi32(r), step);
        const __m128i packed =
            _mm_shuffle_epi8(indices, _mm_load_si128(reinterpret_cast<const __m128i*>(pack_table[mask].data())));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + found), packed);
        found += static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned>(mask)));
    }
    return match_scalar(x, y, z, r, end, centre, cutoff_squared, out, found);
}

bool has_avx2() {
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported;
}

#endif

}  // namespace

std::size_t match_within_cutoff(const double* x, const double* y, const double* z, std::int32_t begin,
                                std::int32_t end, const double centre[3], double cutoff_squared, std::int32_t* out,
                                std::size_t found) {
#if defined(__x86_64__)
    if (has_avx2()) return match_avx2(x, y, z, begin, end, centre, cutoff_squared, out, found);
#endif
    return match_scalar(x, y, z, begin, end, centre, cutoff_squared, out, found);
}

}  // namespace tandril
