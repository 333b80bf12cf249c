#include "descriptors/mbtr/mbtr_normalization.hpp"

#include <cmath>

#include "descriptors/mbtr/mbtr_layout.hpp"

namespace tandril {
namespace {

constexpr double pi = 3.141592653589793;

void scale_block(double* row, std::int64_t b, std::int32_t grid_n, double factor) {
    double* values = row + b * grid_n;
    for (std::int32_t u = 0; u < grid_n; ++u) values[u] *= factor;
}

}  // namespace

void normalize_mbtr_row(double* row, std::int64_t width, std::int32_t normalization, std::int64_t atom_count) {
    if (normalization == static_cast<std::int32_t>(MbtrNormalization::l2)) {
        double sum = 0.0;
        for (std::int64_t k = 0; k < width; ++k) sum += row[k] * row[k];
        const double norm = std::sqrt(sum);
        if (norm > 0.0)
            for (std::int64_t k = 0; k < width; ++k) row[k] /= norm;
    } else if (normalization == static_cast<std::int32_t>(MbtrNormalization::atom_count) && atom_count > 0) {
        const auto count = static_cast<double>(atom_count);
        for (std::int64_t k = 0; k < width; ++k) row[k] /= count;
    }
}

void valle_oganov_scale(double* row, std::int32_t grid_n, int body_order, double volume,
                        const std::vector<std::int64_t>& counts) {
    const auto species = static_cast<std::int64_t>(counts.size());
    if (body_order == 2) {
        for (std::int64_t p = 0; p < species; ++p)
            for (std::int64_t q = p; q < species; ++q) {
                const auto np = static_cast<double>(counts[p]), nq = static_cast<double>(counts[q]);
                const double f = p == q ? np * np / 2.0 : np * nq;
                if (f > 0.0) scale_block(row, pair_block(p, q, species), grid_n, volume / (f * 4.0 * pi));
            }
    } else if (body_order == 3) {
        const std::int64_t pair_blocks = species * (species + 1) / 2;
        for (std::int64_t j = 0; j < species; ++j)
            for (std::int64_t p = 0; p < species; ++p)
                for (std::int64_t q = p; q < species; ++q) {
                    const double product = static_cast<double>(counts[q]) *
                                           (static_cast<double>(counts[j]) * static_cast<double>(counts[p]));
                    if (product > 0.0)
                        scale_block(row, j * pair_blocks + pair_block(p, q, species), grid_n, volume / product);
                }
    }
}

}  // namespace tandril
