"""ACSF throughput (atoms per second, one thread) on rattled two-species crystals of silicon density.

The main parameter set has 8 G2, 4 G3, 8 G4 and 4 G5 terms at r_cut 6 Å.
A second table shows that the G4 cost per neighbour pair follows the number
of distinct etas and (zeta, lambda) shapes, not the number of terms.
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).parent))
from common import batch_of, best_time, silicon_crystal  # noqa: E402

import tandril  # noqa: E402

R_CUT = 6.0
SPECIES = [14, 6]
G2 = [(2.0, r_s) for r_s in np.linspace(1.5, 5.0, 8)]
G3 = [1.0, 2.0, 3.0, 4.0]
G4 = [(eta, zeta, lam) for eta in (0.005, 0.05) for zeta in (1.0, 4.0) for lam in (-1.0, 1.0)]
G5 = [(eta, 1.0, lam) for eta in (0.005, 0.05) for lam in (-1.0, 1.0)]


def two_species_crystal(n_atoms: int):
    """Rattled diamond supercell whose second fcc sublattice is carbon (zincblende order)."""
    numbers, positions, cell = silicon_crystal(n_atoms)
    numbers = np.where(np.arange(len(numbers)) % 8 < 4, SPECIES[0], SPECIES[1])
    return numbers, positions, cell


def calculator(g2=G2, g3=G3, g4=G4, g5=G5) -> tandril.AcsfCalculator:
    options = tandril.AcsfOptions()
    options.species = SPECIES
    options.r_cut = R_CUT
    options.g2_params = [v for term in g2 for v in term]
    options.g3_params = list(g3)
    options.g4_params = [v for term in g4 for v in term]
    options.g5_params = [v for term in g5 for v in term]
    options.n_g2, options.n_g3, options.n_g4, options.n_g5 = len(g2), len(g3), len(g4), len(g5)
    options.num_threads = 1
    return tandril.AcsfCalculator(options)


def throughput(calc: tandril.AcsfCalculator, batch) -> float:
    return len(batch[0]) / best_time(lambda: calc.compute(*batch), repeats=3)


def main() -> None:
    calc = calculator()
    print(f"ACSF, 2 species, {len(G2)} G2 + {len(G3)} G3 + {len(G4)} G4 + {len(G5)} G5, r_cut {R_CUT} Å, "
          f"{calc.feature_count} features, one thread")
    for n in (250, 1000, 4000):
        batch = batch_of([two_species_crystal(n)])
        print(f"  {len(batch[0]):5d} atoms: {throughput(calc, batch):10,.0f} atoms/s")

    batch = batch_of([two_species_crystal(1000)])
    print("G4 alone on the 1000-atom crystal (zeta 4, lambda 1 unless stated):")
    cases = {
        "1 term": [(0.01, 4.0, 1.0)],
        "8 terms, one eta, one shape": [(0.01, 4.0, 1.0)] * 8,
        "8 terms, 8 etas, one shape": [(0.01 * (k + 1), 4.0, 1.0) for k in range(8)],
        "8 terms, one eta, 8 shapes": [(0.01, 1.5 + k, 1.0) for k in range(8)],
    }
    for label, g4 in cases.items():
        rate = throughput(calculator(g2=[], g3=[], g4=g4, g5=[]), batch)
        print(f"  {label:30s} {rate:10,.0f} atoms/s")


if __name__ == "__main__":
    main()
