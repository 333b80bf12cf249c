#include "descriptors/c00ps_mlff/c00ps_mlff_cutoff.hpp"

#include <cmath>
#include <numbers>
#include <stdexcept>

namespace tandril {
namespace {

double smooth_switch(double r, double r_cut) {
    const double r_on = r_cut > 0.5 ? r_cut - 0.5 : r_cut / 2.0;
    if (r <= r_on) return 1.0;
    const double rc2 = r_cut * r_cut, r2 = r * r, on2 = r_on * r_on;
    const double rise = 2.0 * r2 + rc2 - 3.0 * on2;
    const double fall = rc2 - r2;
    const double span = rc2 - on2;
    return rise * (fall * fall) / (span * span * span);
}

}  // namespace

double c00ps_mlff_cutoff(std::int32_t kind, double r, double r_cut) {
    if (kind < 0 || kind > 3) throw std::invalid_argument("unknown C00PS-MLFF cutoff function");
    if (r > r_cut) return 0.0;
    switch (kind) {
        case 0:
            return (std::cos(std::numbers::pi * r / r_cut) + 1.0) / 2.0;
        case 1: {
            const double t = 4.0 * r / r_cut - 3.0;
            if (t < -1.0) return 1.0;
            if (t < 1.0) return (t * t * t - 3.0 * t + 2.0) / 4.0;
            return 0.0;
        }
        case 2:
            return smooth_switch(r, r_cut);
        default:
            return smooth_switch(r, r_cut) / (1.0 + std::pow(r / 2.0, 7.0));
    }
}

}  // namespace tandril
