#include "descriptors/soap/soap_validation.hpp"

#include <cmath>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>

#include "descriptors/soap/soap_radial_tables.hpp"

namespace tandril {
namespace {

bool all_finite(std::span<const double> values) noexcept {
    for (const double v : values)
        if (!std::isfinite(v)) return false;
    return true;
}

bool finite_non_negative(double v) noexcept { return std::isfinite(v) && v >= 0.0; }

// n * m as a table length; a product past int64 can never match a real table.
bool size_matches(std::size_t size, std::int64_t n, std::int64_t m) noexcept {
    std::int64_t expected = 0;
    if (__builtin_mul_overflow(n, m, &expected)) return false;
    return static_cast<std::uint64_t>(expected) == size;
}

void require(bool condition, const char* message) {
    if (!condition) throw std::invalid_argument(message);
}

void check_parameters(const SoapOptions& o) {
    require(std::isfinite(o.r_cut) && o.r_cut > 0.0 && std::isfinite(o.sigma) && o.sigma > 0.0 && o.n_max >= 1 &&
                o.l_max >= 0 && o.l_max <= 20 && o.num_threads >= 0 && (o.radial_basis == 0 || o.radial_basis == 1) &&
                o.compression >= 0 && o.compression <= 3 && o.species_weights.size() == o.species.size(),
            "invalid SOAP parameters");
}

void check_basis_sizes(const SoapOptions& o) {
    const std::int64_t n = o.n_max;
    const std::int64_t degrees = std::int64_t{o.l_max} + 1;
    if (o.radial_basis == 1) {
        const std::size_t g = o.radial_grid.size();
        require(g >= 2 && o.radial_weights.size() == g && size_matches(o.radial_values.size(), n, static_cast<std::int64_t>(g)),
                "invalid SOAP polynomial radial basis size");
    } else {
        std::int64_t n_squared = 0;
        const bool fits = !__builtin_mul_overflow(n, n, &n_squared);
        require(size_matches(o.alphas.size(), degrees, n) && fits && size_matches(o.betas.size(), degrees, n_squared),
                "invalid SOAP radial basis size");
    }
}

void check_weighting(const SoapOptions& o) {
    if (o.weighting_has_function) {
        const std::int32_t f = o.weighting_function;
        bool valid = (f == 1 || f == 2 || f == 3) && std::isfinite(o.weighting_r0) && o.weighting_r0 > 0.0 &&
                     finite_non_negative(o.weighting_c) && finite_non_negative(o.weighting_d) &&
                     finite_non_negative(o.weighting_m);
        // c / (x^m + d) at the centre (x = 0) is c / 0 when d = 0 and m > 0:
        // an infinite weight in every row, unless w0 replaces it.
        if (f == 2 && o.weighting_d == 0.0 && o.weighting_m > 0.0 && !o.weighting_has_w0) valid = false;
        require(valid, "invalid SOAP weighting parameters");
    }
    if (o.weighting_has_w0) require(finite_non_negative(o.weighting_w0), "invalid SOAP w0 weighting");
}

}  // namespace

void validate_soap_options(const SoapOptions& o) {
    check_parameters(o);
    check_basis_sizes(o);
    require(all_finite(o.alphas) && all_finite(o.betas), "SOAP radial basis must be finite");
    for (const double r : o.radial_grid)
        require(std::isfinite(r) && r >= 0.0 && r <= o.r_cut, "SOAP polynomial radial grid must be finite and in range");
    for (const double w : o.radial_weights)
        require(std::isfinite(w) && w > 0.0, "SOAP polynomial radial weights must be positive and finite");
    require(all_finite(o.radial_values), "SOAP polynomial radial basis must be finite");
    require(all_finite(o.species_weights), "SOAP species weights must be finite");
    check_weighting(o);
    // An exponent at or below -1/(2 sigma^2) makes the overlap with a
    // neighbour's Gaussian diverge (NaN or infinite factors in every row).
    if (o.radial_basis == 0)
        require(gto_radial_factors_finite(o), "SOAP GTO radial factors must be finite (alphas must exceed -1/(2 sigma^2))");
}

void check_soap_averaging_arguments(const SoapOptions& o, bool inner_average, bool outer_average) {
    if (inner_average == o.inner_average && outer_average == o.outer_average) return;
    const auto flag = [](bool b) { return b ? std::string("True") : std::string("False"); };
    throw std::invalid_argument("SOAP compute averaging arguments must match the calculator's options: pass inner_average=" +
                                flag(o.inner_average) + " and outer_average=" + flag(o.outer_average));
}

}  // namespace tandril
