"""Structures and timing helpers shared by the benchmarks."""

from __future__ import annotations

import time
from collections.abc import Callable

import numpy as np


def diamond_silicon(a: float = 5.43) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    fcc = np.array([[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]])
    return np.full(8, 14), np.concatenate([fcc, fcc + 0.25]) @ (np.eye(3) * a), np.eye(3) * a


def rock_salt(a: float = 5.64, species: tuple[int, int] = (11, 17)) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    fcc = np.array([[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]])
    positions = np.concatenate([fcc, fcc + [0.5, 0, 0]]) @ (np.eye(3) * a)
    return np.array([species[0]] * 4 + [species[1]] * 4), positions, np.eye(3) * a


def repeat(structure, reps: tuple[int, int, int]):
    numbers, positions, cell = structure
    grid = np.array([[i, j, k] for i in range(reps[0]) for j in range(reps[1]) for k in range(reps[2])])
    return (np.tile(numbers, len(grid)), np.concatenate([positions + g @ cell for g in grid]),
            cell * np.array(reps)[:, None])


def rattled(structure, amplitude: float = 0.1, seed: int = 0):
    """Thermal-like displacements, so that no distance sits exactly on a shell."""
    numbers, positions, cell = structure
    rng = np.random.default_rng(seed)
    return numbers, positions + rng.normal(scale=amplitude, size=positions.shape), cell


def silicon_crystal(n_atoms: int, seed: int = 0):
    """A rattled diamond-silicon supercell with close to n_atoms atoms (8 k^3)."""
    k = max(1, round((n_atoms / 8) ** (1 / 3)))
    return rattled(repeat(diamond_silicon(), (k, k, k)), seed=seed)


def batch_of(structures):
    numbers = np.concatenate([s[0] for s in structures]).astype(np.int32)
    positions = np.concatenate([s[1] for s in structures]).astype(np.float64)
    cells = np.array([s[2] for s in structures], dtype=np.float64)
    pbc = np.ones((len(structures), 3), dtype=np.int32)
    offsets = np.concatenate([[0], np.cumsum([len(s[0]) for s in structures])]).astype(np.int64)
    return numbers, positions, cells, pbc, offsets


def best_time(function: Callable[[], object], repeats: int = 5, min_seconds: float = 0.2) -> float:
    """Best wall time of one call over several repeats (first call warms up)."""
    function()
    best = float("inf")
    spent = 0.0
    count = 0
    while count < repeats or spent < min_seconds:
        start = time.perf_counter()
        function()
        elapsed = time.perf_counter() - start
        best = min(best, elapsed)
        spent += elapsed
        count += 1
        if count >= 50:
            break
    return best
