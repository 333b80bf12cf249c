#include "core/platform_math.hpp"

#include <cmath>
#include <initializer_list>

#if defined(__GLIBC__)
#include <dlfcn.h>
#endif

namespace tandril {
namespace {

double library_exp(double x) noexcept { return std::exp(x); }
double library_pow(double x, double y) noexcept { return std::pow(x, y); }

#if defined(__GLIBC__)
// The inner entry points keep their old exported names as compatibility
// versions (2.15 on x86-64, 2.17 on 64-bit Arm).
template <class Function>
Function inner_entry(const char* name) noexcept {
    for (const char* version : {"GLIBC_2.15", "GLIBC_2.17"})
        if (void* symbol = dlvsym(RTLD_DEFAULT, name, version)) return reinterpret_cast<Function>(symbol);
    return nullptr;
}

// Used only when it gives exactly the library's results on a spread of
// arguments, special values included.
bool agrees(ExpFunction exp, PowFunction pow) noexcept {
    static constexpr double samples[] = {-745.2, -700.0, -20.5, -1.0, -1e-300, 0.0, 1e-17, 0.3, 1.0, 2.5, 88.7, 709.7, 710.0};
    for (const double x : samples) {
        const double expected = std::exp(x), got = exp(x);
        if (!(expected == got)) return false;
        for (const double y : {0.5, -1.5, 3.0, 7.25}) {
            const double base = std::fabs(x);
            const double p = std::pow(base, y), q = pow(base, y);
            if (!(p == q || (std::isnan(p) && std::isnan(q)))) return false;
        }
    }
    return std::isnan(exp(std::nan(""))) && exp(-INFINITY) == 0.0 && exp(INFINITY) == INFINITY;
}
#endif

PlatformMath look_up() noexcept {
#if defined(__GLIBC__)
    const auto exp = inner_entry<ExpFunction>("__exp_finite");
    const auto pow = inner_entry<PowFunction>("__pow_finite");
    if (exp != nullptr && pow != nullptr && agrees(exp, pow)) return {exp, pow, true};
#endif
    return {library_exp, library_pow, false};
}

}  // namespace

const PlatformMath& platform_math() noexcept {
    static const PlatformMath functions = look_up();
    return functions;
}

}  // namespace tandril
