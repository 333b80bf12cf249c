"""Slow, plain NumPy versions of the Coulomb, sine and Ewald sum matrices."""

from __future__ import annotations

import itertools
import math

import numpy as np
from scipy.special import erfc


def coulomb(numbers, positions, exponent=2.4):
    z = np.asarray(numbers, dtype=float)
    n = len(z)
    m = np.empty((n, n))
    for i in range(n):
        for j in range(n):
            m[i, j] = 0.5 * z[i] ** exponent if i == j else z[i] * z[j] / np.linalg.norm(positions[i] - positions[j])
    return m


def sine(numbers, positions, cell, exponent=2.4):
    z = np.asarray(numbers, dtype=float)
    n = len(z)
    inverse = np.linalg.inv(cell)
    m = np.empty((n, n))
    for i in range(n):
        for j in range(n):
            if i == j:
                m[i, j] = 0.5 * z[i] ** exponent
                continue
            f = (positions[i] - positions[j]) @ inverse
            v = np.sin(np.pi * f) ** 2 @ cell
            length = np.linalg.norm(v)
            m[i, j] = z[i] * z[j] / length if length > 1e-14 else 0.0
    return m


def ewald(numbers, positions, cell, accuracy=1e-5, w=1.0, a=0.0):
    """Ewald sum matrix from the textbook split (real, reciprocal, self, background)."""
    z = np.asarray(numbers, dtype=float)
    n = len(z)
    volume = abs(np.linalg.det(cell))
    alpha = a if a > 0 else (n * w / volume**2) ** (1 / 6) * math.sqrt(math.pi)
    root = math.sqrt(-math.log(accuracy))
    r_cut, g_cut = root / alpha, 2 * alpha * root
    reciprocal = 2 * np.pi * np.linalg.inv(cell).T  # rows are the reciprocal vectors
    diffs = positions[:, None, :] - positions[None, :, :]

    real = np.zeros((n, n))
    reach = [int(math.ceil(r_cut / (volume / np.linalg.norm(np.cross(cell[(k + 1) % 3], cell[(k + 2) % 3]))))) + 2
             for k in range(3)]
    for shift in itertools.product(*(range(-r, r + 1) for r in reach)):
        d = np.linalg.norm(diffs + np.asarray(shift) @ cell, axis=2)
        mask = (d > 1e-8) & (d <= r_cut)
        real[mask] += erfc(alpha * d[mask]) / d[mask]

    recip = np.zeros((n, n))
    g_reach = [int(math.ceil(g_cut * np.linalg.norm(cell[k]) / (2 * np.pi))) + 1 for k in range(3)]
    for hkl in itertools.product(*(range(-r, r + 1) for r in g_reach)):
        g = np.asarray(hkl) @ reciprocal
        g2 = g @ g
        if g2 < 1e-24 or g2 > g_cut**2:
            continue
        recip += np.exp(-g2 / (4 * alpha**2)) / g2 * np.cos(diffs @ g)
    recip *= 4 * np.pi / volume

    zz = np.outer(z, z)
    background = -np.pi / (volume * alpha**2) * zz
    matrix = zz * (real + recip) + background
    diagonal = np.diag_indices(n)
    matrix[diagonal] = (0.5 * (real + recip)[diagonal] - alpha / math.sqrt(math.pi)) * z**2 \
        - np.pi * z**2 / (2 * volume * alpha**2)
    return matrix
