"""EAD throughput (atoms per second, one thread) on rattled two-species crystals of silicon density.

max_degree 3, 8 etas, 8 rs, cutoff 6 Å.
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).parent))
from common import batch_of, best_time, silicon_crystal  # noqa: E402

import tandril  # noqa: E402

CUTOFF = 6.0
MAX_DEGREE = 3
ETA = [0.05, 0.1, 0.2, 0.4, 0.8, 1.6, 3.2, 6.4]
RS = list(np.linspace(0.5, 5.5, 8))


def two_species_crystal(n_atoms: int):
    """Rattled diamond supercell whose second fcc sublattice is carbon (zincblende order)."""
    numbers, positions, cell = silicon_crystal(n_atoms)
    numbers = np.where(np.arange(len(numbers)) % 8 < 4, 14, 6)
    return numbers, positions, cell


def main() -> None:
    print(f"compute_ead, max_degree {MAX_DEGREE}, {len(ETA)} etas, {len(RS)} rs, cutoff {CUTOFF} Å, one thread")
    for n in (250, 1000, 4000):
        batch = batch_of([two_species_crystal(n)])
        seconds = best_time(lambda: tandril.compute_ead(*batch, max_degree=MAX_DEGREE, cutoff=CUTOFF, eta=ETA, rs=RS),
                            repeats=3)
        print(f"  {len(batch[0]):5d} atoms: {len(batch[0]) / seconds:10,.0f} atoms/s")


if __name__ == "__main__":
    main()
