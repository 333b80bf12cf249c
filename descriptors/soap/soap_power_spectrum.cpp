#include "descriptors/soap/soap_power_spectrum.hpp"

#include <algorithm>

#include "descriptors/soap/soap_radial_tables.hpp"

namespace tandril {
namespace {

struct Shape {
    std::size_t n;        // radial functions
    std::size_t degrees;  // l_max + 1
    std::size_t channel;  // values per channel: (L+1)^2 * N
};

// dots[n'] = sum_k a[l^2+k][n] b[l^2+k][n'] for every n', k ascending.
void degree_dots(const double* a, const double* b, std::size_t l, std::size_t n, const Shape& shape,
                 double* dots) noexcept {
    const std::size_t count = shape.n;
    std::fill(dots, dots + count, 0.0);
    for (std::size_t lm = l * l; lm < (l + 1) * (l + 1); ++lm) {
        const double left = a[lm * count + n];
        const double* right = b + lm * count;
        for (std::size_t j = 0; j < count; ++j) dots[j] += left * right[j];
    }
}

// One species block: for l, n, n' (from n when `upper` only).
double* write_block(const double* a, const double* b, bool upper, const Shape& shape, const double* degree_factor,
                    double* dots, double* out) noexcept {
    for (std::size_t l = 0; l < shape.degrees; ++l) {
        const double factor = degree_factor[l];
        for (std::size_t n = 0; n < shape.n; ++n) {
            degree_dots(a, b, l, n, shape, dots);
            for (std::size_t j = upper ? n : 0; j < shape.n; ++j) *out++ = factor * dots[j];
        }
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
