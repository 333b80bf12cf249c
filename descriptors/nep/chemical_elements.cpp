#include "descriptors/nep/chemical_elements.hpp"

#include <array>

namespace tandril {
namespace {

// Index + 1 is the atomic number.
constexpr std::array<std::string_view, 94> element_symbols = {
    "H",  "He", "Li", "Be", "B",  "C",  "N",  "O",  "F",  "Ne", "Na", "Mg", "Al", "Si", "P",  "S",
    "Cl", "Ar", "K",  "Ca", "Sc", "Ti", "V",  "Cr", "Mn", "Fe", "Co", "Ni", "Cu", "Zn", "Ga", "Ge",
    "As", "Se", "Br", "Kr", "Rb", "Sr", "Y",  "Zr", "Nb", "Mo", "Tc", "Ru", "Rh", "Pd", "Ag", "Cd",
    "In", "Sn", "Sb", "Te", "I",  "Xe", "Cs", "Ba", "La", "Ce", "Pr", "Nd", "Pm", "Sm", "Eu", "Gd",
    "Tb", "Dy", "Ho", "Er", "Tm", "Yb", "Lu", "Hf", "Ta", "W",  "Re", "Os", "Ir", "Pt", "Au", "Hg",
    "Tl", "Pb", "Bi", "Po", "At", "Rn", "Fr", "Ra", "Ac", "Th", "Pa", "U",  "Np", "Pu"};

}  // namespace

std::int32_t atomic_number_of_symbol(std::string_view symbol) noexcept {
    for (std::size_t i = 0; i < element_symbols.size(); ++i)
        if (element_symbols[i] == symbol) return static_cast<std::int32_t>(i + 1);
    return 0;
}

}  // namespace tandril
