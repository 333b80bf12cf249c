#include "core/species.hpp"

#include <stdexcept>

namespace tandril {

SpeciesMap build_species_map(std::span<const std::int32_t> species) {
    SpeciesMap map;
    map.reserve(species.size());
    for (std::size_t k = 0; k < species.size(); ++k)
        if (!map.emplace(species[k], static_cast<std::int32_t>(k)).second)
            throw std::invalid_argument("species must not contain duplicates");
    return map;
}

void check_batch_species(const StructureBatch& batch, std::span<const std::int32_t> species) {
    const SpeciesMap map = build_species_map(species);
    for (std::int64_t i = 0; i < batch.n_atoms; ++i) {
        const std::int32_t z = batch.numbers[i];
        if (z <= 0) throw std::invalid_argument("atomic numbers must be positive");
        if (!map.contains(z)) throw std::invalid_argument("batch contains an atomic number outside calculator species");
    }
}

}  // namespace tandril
