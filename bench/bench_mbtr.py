"""Throughput of MBTR k2 and k3, global and local (single thread).

For a diamond-silicon crystal of 1,000 atoms (slightly displaced) prints the
number of Gaussian contributions and contributions per second for each term
and form with grid_n 100; then the same with a grid ten times as long at the
same spacing (the cost per contribution must not grow with grid_n: only the
grid points within reach of each Gaussian are evaluated); then atoms per
second for crystals of growing size.
"""

from __future__ import annotations

import time

import numpy as np

import tandril

R_CUT = 5.0


def silicon(reps: int, seed: int = 0):
    a = 5.43
    fcc = np.array([[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]])
    frac = np.concatenate([fcc, fcc + 0.25])
    grid = np.array([[i, j, k] for i in range(reps) for j in range(reps) for k in range(reps)])
    positions = (np.concatenate([frac + g for g in grid]) * a)
    positions += np.random.default_rng(seed).normal(scale=0.05, size=positions.shape)
    cell = np.eye(3) * a * reps
    return np.full(len(positions), 14), positions, cell


def contribution_counts(structure, cutoff: float) -> tuple[int, int]:
    """Pairs (global k2 contributions) and angle triplets (global k3) within the cutoff."""
    numbers, positions, cell = structure
    row_offsets, _, _, _, d2 = tandril.build_neighbor_graph(numbers, positions, cell, [1, 1, 1], cutoff)
    per_atom = np.diff(row_offsets) - 1  # without the atom itself
    return int(per_atom.sum()) // 2, int((per_atom * (per_atom - 1) // 2).sum())


def timed(function, *args, **kwargs) -> float:
    start = time.perf_counter()
    function(*args, **kwargs)
    return time.perf_counter() - start


def main() -> None:
    structure = silicon(5)
    batch = tandril.batch([structure])
    pairs, triplets = contribution_counts(structure, R_CUT)
    cases = [
        ("k2 distance, global", 1, False, pairs, 0.0, R_CUT + 0.5),
        ("k2 distance, local", 1, True, 2 * pairs, 0.0, R_CUT + 0.5),
        ("k3 angle, global", 3, False, triplets, 0.0, 180.0),
        ("k3 angle, local", 3, True, 3 * triplets, 0.0, 180.0),
    ]
    print(f"MBTR, Si crystal of {len(structure[0])} atoms, r_cut {R_CUT}, unity weighting, sigma = 1.5 grid spacings")
    for label, geometry, local, contributions, low, high in cases:
        for grid_n, span in ((100, 1), (1000, 10)):
            spacing = (high - low) / 99
            seconds = timed(tandril.compute_mbtr, *batch, species=[14], geometry=geometry, weighting=0,
                            r_cut=R_CUT, grid_min=low, grid_max=low + spacing * (grid_n - 1), grid_n=grid_n,
                            grid_sigma=1.5 * spacing, local=local)
            print(f"  {label:20s} grid_n {grid_n:5d}: {contributions:9d} contributions in {seconds:7.3f} s,"
                  f" {contributions / seconds / 1e6:6.2f} M contributions/s")

    print("\nDefault parameters (exponential weighting), growing crystals: atoms per second")
    for reps in (4, 5, 8):
        crystal = tandril.batch([silicon(reps)])
        n = len(crystal.numbers)
        for label, geometry, local in (("k2 global", 1, False), ("k2 local", 1, True),
                                       ("k3 global", 3, False), ("k3 local", 3, True)):
            seconds = timed(tandril.compute_mbtr, *crystal, species=[14], geometry=geometry, grid_n=100,
                            grid_max=6.0 if geometry == 1 else 180.0, grid_sigma=0.1 if geometry == 1 else 3.0,
                            local=local)
            print(f"  {n:5d} atoms {label:10s} {seconds:8.3f} s  {n / seconds:10.0f} atoms/s")


if __name__ == "__main__":
    main()
