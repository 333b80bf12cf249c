#pragma once

#include <cstdint>
#include <vector>

namespace tandril {

// Arguments of an embedded-atom-density computation besides the batch.
struct EadParameters {
    std::int32_t max_degree = 3;
    double cutoff = 6.0;
    std::vector<double> eta;
    std::vector<double> rs;
};

// Throws std::invalid_argument "invalid EAD parameters" for a negative
// degree, a cutoff <= 0 or an empty eta or rs list. A NaN or infinite
// cutoff is left to the neighbour search, which refuses it.
void validate_ead_parameters(const EadParameters& parameters);

// Values per atom: eta count x (max_degree + 1) x rs count; 0 while the
// parameters are invalid, so that the computation reports them rather than
// the allocation of the result.
[[nodiscard]] std::int64_t ead_feature_count(const EadParameters& parameters);

}  // namespace tandril
