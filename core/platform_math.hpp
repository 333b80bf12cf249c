#pragma once

namespace tandril {

// The platform's exp and pow, entered past glibc's outer wrapper, which only
// adds errno handling around the routine that does the work: the same bits,
// at about two thirds of the cost. Elsewhere these are std::exp and std::pow.
using ExpFunction = double (*)(double) noexcept;
using PowFunction = double (*)(double, double) noexcept;

struct PlatformMath {
    ExpFunction exp;
    PowFunction pow;
    bool inner_entry;   // false where the plain library functions are used
    bool inline_hypot;  // inline_hypot gives the library's hypot bit for bit
};

// Looked up once; hot loops keep the pointers in a local.
[[nodiscard]] const PlatformMath& platform_math() noexcept;

[[nodiscard]] inline double platform_exp(double x) noexcept { return platform_math().exp(x); }
[[nodiscard]] inline double platform_pow(double x, double y) noexcept { return platform_math().pow(x, y); }

}  // namespace tandril
