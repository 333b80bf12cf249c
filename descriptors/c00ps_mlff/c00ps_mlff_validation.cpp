#include "descriptors/c00ps_mlff/c00ps_mlff_validation.hpp"

#include <cmath>
#include <stdexcept>

#include "core/species.hpp"

namespace tandril {
namespace {

bool finite_non_negative(double w) noexcept { return std::isfinite(w) && w >= 0.0; }

}  // namespace

void validate_c00ps_mlff_options(const C00PSMlffOptions& o) {
    if (o.species.empty()) throw std::invalid_argument("C00PS-MLFF species must not be empty");
    if (!(std::isfinite(o.r_cut) && o.r_cut > 0.0) || o.n_radial < 1 || o.l_max < 0)
        throw std::invalid_argument("invalid C00PS-MLFF radial or angular parameters");
    if (o.cutoff_function < 0 || o.cutoff_function > 3)
        throw std::invalid_argument("invalid C00PS-MLFF cutoff function");
    if (!finite_non_negative(o.radial_weight) || !finite_non_negative(o.angular_weight))
        throw std::invalid_argument("C00PS-MLFF weights must be finite and non-negative");
    for (const std::int32_t z : o.species)
        if (z < 1) throw std::invalid_argument("C00PS-MLFF species must be positive");
    (void)build_species_map(o.species);  // refuses duplicates
    if (!o.include_radial && !o.include_angular)
        throw std::invalid_argument("at least one C00PS-MLFF descriptor block must be enabled");
}

}  // namespace tandril
