"""Throughput of the Coulomb, sine and Ewald sum matrices (single thread).

Prints the time for 10,000 random structures of 20 to 50 atoms per entry point
and permutation, the Ewald sum matrix of cells of growing size, and atoms per
second for single structures of growing size.
"""

from __future__ import annotations

import time

import numpy as np

import tandril


def random_structure(rng: np.random.Generator, n_atoms: int, volume_per_atom: float = 12.0):
    cell = np.eye(3) + rng.uniform(-0.2, 0.2, size=(3, 3))
    cell *= (volume_per_atom * n_atoms / abs(np.linalg.det(cell))) ** (1 / 3)
    numbers = rng.choice([1, 6, 7, 8, 16], size=n_atoms)
    return numbers, rng.random((n_atoms, 3)) @ cell, cell


def best_of(repeats: int, function, *args, **kwargs) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        function(*args, **kwargs)
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    rng = np.random.default_rng(1)
    sizes = rng.integers(20, 51, size=10_000)
    batch = tandril.batch([random_structure(rng, int(n)) for n in sizes])
    atoms = len(batch.numbers)
    print(f"10,000 structures of 20 to 50 atoms ({atoms} atoms), n_atoms_max 50 (target: < 1 s each)")
    entries = [
        ("compute_coulomb_matrix", tandril.compute_coulomb_matrix, {}),
        ("compute_matrix kind 0 (sine)", tandril.compute_matrix, {"kind": 0}),
        ("compute_matrix kind 2 (Coulomb)", tandril.compute_matrix, {"kind": 2}),
    ]
    for permutation in ("none", "sorted_l2", "eigenspectrum"):
        for label, function, extra in entries:
            seconds = best_of(3, function, *batch, n_atoms_max=50, permutation=permutation, **extra)
            print(f"  {label:34s} {permutation:14s} {seconds:7.3f} s  {atoms / seconds:12.0f} atoms/s")

    print("\nEwald sum matrix (kind 1, accuracy 1e-5), one structure (target: 64 atoms < 20 ms)")
    for n in (64, 128, 256, 512):
        structure = tandril.batch([random_structure(np.random.default_rng(n), n)])
        seconds = best_of(5, tandril.compute_matrix, *structure, n_atoms_max=n, permutation="none", kind=1,
                          accuracy=1e-5)
        print(f"  {n:5d} atoms: {1e3 * seconds:8.2f} ms  {n / seconds:10.0f} atoms/s")

    print("\nSingle structures of growing size, 'sorted_l2' (cost per atom grows with n: the matrix has n^2 entries)")
    for n in (250, 1000, 4000):
        structure = tandril.batch([random_structure(np.random.default_rng(n), n)])
        for label, function, extra in entries:
            seconds = best_of(3, function, *structure, n_atoms_max=n, permutation="sorted_l2", **extra)
            print(f"  {n:5d} atoms {label:34s} {1e3 * seconds:9.2f} ms  {n / seconds:10.0f} atoms/s")


if __name__ == "__main__":
    main()
