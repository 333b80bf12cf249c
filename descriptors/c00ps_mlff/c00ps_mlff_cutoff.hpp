#pragma once

#include <cstdint>

namespace tandril {

// Cutoff function `kind` at distance r (0 beyond r_cut):
// 0 (cos(pi r / r_cut) + 1) / 2;
// 1 polynomial step: 1 below r_cut / 2, (t^3 - 3t + 2) / 4 with t = 4r / r_cut - 3 above;
// 2 smooth switch from 1 at r_on = r_cut - 0.5 (r_cut / 2 for r_cut <= 0.5) to 0 at r_cut;
// 3 the switch of 2 damped by 1 / (1 + (r/2)^7), r in absolute length units.
// Any other kind: std::invalid_argument "unknown C00PS-MLFF cutoff function".
[[nodiscard]] double c00ps_mlff_cutoff(std::int32_t kind, double r, double r_cut);

}  // namespace tandril
