#pragma once

#include <cstdint>
#include <span>
#include <unordered_map>

#include "core/structure_batch.hpp"

namespace tandril {

// Atomic number -> position in a species list (the species index).
using SpeciesMap = std::unordered_map<std::int32_t, std::int32_t>;

// Inserts the entries in list order; a repeated atomic number is refused.
[[nodiscard]] SpeciesMap build_species_map(std::span<const std::int32_t> species);

// Every atom must carry a positive atomic number listed in `species`.
void check_batch_species(const StructureBatch& batch, std::span<const std::int32_t> species);

}  // namespace tandril
