"""Brute-force periodic neighbour environments, the common ground of the slow NumPy references.

Every image of every atom within the cutoff is found by trying all integer
shifts in a generous range, independently of the library's neighbour search.
"""

from __future__ import annotations

import itertools
import math

import numpy as np


def neighbour_environment(positions, cell, cutoff: float, centre: int):
    """Vectors to, and atom indices of, every periodic image within `cutoff` of atom `centre`.

    The atom's own zero-shift image is left out; its other images are included.
    """
    positions = np.asarray(positions, dtype=float)
    cell = np.asarray(cell, dtype=float)
    reciprocal = np.linalg.inv(cell).T
    frac = positions @ reciprocal.T
    spread = frac.max(axis=0) - frac.min(axis=0)
    ranges = [int(math.ceil(cutoff * np.linalg.norm(reciprocal[k]) + spread[k])) + 1 for k in range(3)]
    shifts = np.array(list(itertools.product(*[range(-n, n + 1) for n in ranges])))
    translations = shifts @ cell
    vectors, atoms = [], []
    for j, rj in enumerate(positions):
        v = rj + translations - positions[centre]
        inside = np.einsum("ij,ij->i", v, v) <= cutoff * cutoff
        if j == centre:
            inside &= np.any(shifts != 0, axis=1)
        vectors.append(v[inside])
        atoms.extend([j] * int(inside.sum()))
    return np.concatenate(vectors).reshape(-1, 3), np.array(atoms, dtype=int)
