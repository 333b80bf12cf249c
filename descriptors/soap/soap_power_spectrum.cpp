#include "descriptors/soap/soap_power_spectrum.hpp"

#include <algorithm>

#include "descriptors/soap/ordered_products.hpp"
#include "descriptors/soap/soap_radial_tables.hpp"

namespace tandril {
namespace {

struct Shape {
    std::size_t n;        // radial functions
    std::size_t degrees;  // l_max + 1
    std::size_t channel;  // values per channel: (L+1)^2 * N
};

// One species block: for l, n, n' (from n when `upper`), norm_l times
// sum_k a[l^2+k][n] b[l^2+k][n'] with k ascending.
double* write_block(const double* a, const double* b, bool upper, const Shape& shape, const double* degree_factor,
                    double* dots, double* out) noexcept {
    const std::size_t n = shape.n;
    const auto width = static_cast<std::int32_t>(n);
    for (std::size_t l = 0; l < shape.degrees; ++l) {
        const std::size_t first_lm = l * l;
        ordered_products(
            static_cast<std::int64_t>(2 * l + 1), width, width,
            [&](std::int32_t i, std::int64_t k) { return a[(first_lm + k) * n + i]; },
            [&](std::int64_t k) { return b + (first_lm + k) * n; }, dots, n);
        const double factor = degree_factor[l];
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = upper ? i : 0; j < n; ++j) *out++ = factor * dots[i * n + j];
    }
    return out;
}

}  // namespace

std::int64_t write_soap_power_spectrum(const double* c, std::int32_t compression, std::int32_t channels,
                                       const SoapRadialTables& tables, SoapWorkspace& ws, double* row) {
    const auto degrees = static_cast<std::size_t>(tables.l_max) + 1;
    const Shape shape{static_cast<std::size_t>(tables.n_max), degrees, degrees * degrees * tables.n_max};
    const double* factor = tables.degree_factor.data();
    double* dots = ws.dots.data();
    double* out = row;
    const auto channel = [&](std::int32_t ch) { return c + ch * shape.channel; };
    switch (compression) {
        case 1: out = write_block(channel(0), channel(0), true, shape, factor, dots, out); break;
        case 2: {
            double* total = ws.total_density.data();
            std::fill(total, total + shape.channel, 0.0);
            for (std::int32_t ch = 0; ch < channels; ++ch) {
                const double* values = channel(ch);
                for (std::size_t j = 0; j < shape.channel; ++j) total[j] += values[j];
            }
            for (std::int32_t a = 0; a < channels; ++a) out = write_block(channel(a), total, false, shape, factor, dots, out);
            break;
        }
        case 3:
            for (std::int32_t a = 0; a < channels; ++a) out = write_block(channel(a), channel(a), true, shape, factor, dots, out);
            break;
        default:
            for (std::int32_t a = 0; a < channels; ++a)
                for (std::int32_t b = a; b < channels; ++b)
                    out = write_block(channel(a), channel(b), a == b, shape, factor, dots, out);
    }
    return out - row;
}

}  // namespace tandril
