#pragma once

#include <cstdint>
#include <vector>

namespace tandril {

// One Cartesian angular moment x^a y^b z^c of degree a + b + c, with its
// normalisation sqrt(a! b! c!).
struct EadAngularComponent {
    std::int32_t a = 0, b = 0, c = 0;
    std::int32_t degree = 0;
    double norm = 1.0;
};

// Every (a, b, c) with a + b + c = L for L = 0 .. max_degree: degree by
// degree, then a ascending, then b ascending (c = L - a - b).
[[nodiscard]] std::vector<EadAngularComponent> ead_angular_components(std::int32_t max_degree);

}  // namespace tandril
