"""C00PS-MLFF: construction time of the radial basis and throughput (atoms per second, one thread).

Default options (n_radial 8, l_max 4, cosine cutoff) with 2 species at r_cut
6 Å, on rattled two-species crystals of silicon density.
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).parent))
from common import batch_of, best_time, silicon_crystal  # noqa: E402

import tandril  # noqa: E402

SPECIES = [14, 6]


def two_species_crystal(n_atoms: int):
    """Rattled diamond supercell whose second fcc sublattice is carbon (zincblende order)."""
    numbers, positions, cell = silicon_crystal(n_atoms)
    numbers = np.where(np.arange(len(numbers)) % 8 < 4, SPECIES[0], SPECIES[1])
    return numbers, positions, cell


def options(**fields) -> tandril.C00PSMlffOptions:
    record = tandril.C00PSMlffOptions()
    record.species = SPECIES
    record.num_threads = 1
    for name, value in fields.items():
        setattr(record, name, value)
    return record


def construction_ms(record: tandril.C00PSMlffOptions) -> float:
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        tandril.C00PSMlffCalculator(record)
        best = min(best, time.perf_counter() - start)
    return 1e3 * best


def main() -> None:
    record = options()
    calc = tandril.C00PSMlffCalculator(record)
    print(f"C00PS-MLFF defaults, 2 species, r_cut {record.r_cut} Å, radial_counts {calc.radial_counts}, "
          f"{calc.feature_count} features, one thread")
    print(f"  construction (basis): {construction_ms(record):.2f} ms")
    for l_max, n_radial in ((8, 12), (12, 16)):
        print(f"  construction with l_max {l_max}, n_radial {n_radial}: "
              f"{construction_ms(options(l_max=l_max, n_radial=n_radial)):.2f} ms")
    for n in (250, 1000, 4000):
        batch = batch_of([two_species_crystal(n)])
        seconds = best_time(lambda: calc.compute(*batch), repeats=3)
        print(f"  {len(batch[0]):5d} atoms: {len(batch[0]) / seconds:10,.0f} atoms/s")


if __name__ == "__main__":
    main()
