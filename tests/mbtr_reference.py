"""Slow, plain NumPy version of MBTR, with periodic images found by brute force."""

from __future__ import annotations

import itertools
import math

import numpy as np
from scipy.special import erf


def neighbor_cutoff(geometry, weighting, r_cut, scale, threshold, grid_max):
    base = r_cut if r_cut > 0 else (grid_max if weighting == 0 else 0.0)
    if weighting == 1 and scale > 0:
        base = max(-math.log(threshold) * (0.5 if geometry >= 3 else 1.0) / scale, base)
    return base if base > 0 else grid_max


def image_entries(positions, cell, cutoff):
    """Per centre: (neighbour, shift, vector) of every image within the cutoff, self excluded."""
    inverse = np.linalg.inv(cell)
    reach = [int(math.ceil(cutoff * np.linalg.norm(inverse[:, k]))) + 1 for k in range(3)]
    shifts = np.array(list(itertools.product(*(range(-r, r + 1) for r in reach))))
    rows = []
    for i, ri in enumerate(positions):
        row = []
        for j, rj in enumerate(positions):
            vectors = rj + shifts @ cell - ri
            d = np.linalg.norm(vectors, axis=1)
            for s, v, dist in zip(shifts, vectors, d):
                if 1e-12 < dist <= cutoff:
                    row.append((j, tuple(s), v))
        rows.append(row)
    return rows


class Grid:
    def __init__(self, grid_min, grid_max, sigma, n, unit_area=True):
        self.n, self.sigma, self.unit_area = n, sigma, unit_area
        self.dx = (grid_max - grid_min) / (n - 1)
        self.lower = np.arange(n) * self.dx + (self.dx * -0.5 + grid_min)
        self.low, self.high = grid_min - 8 * sigma, grid_max + 8 * sigma

    def gaussian(self, x, w):
        if w == 0 or x < self.low or x > self.high:
            return np.zeros(self.n)
        s = self.sigma * math.sqrt(2)
        delta = (erf((self.lower + self.dx - x) / s) - erf((self.lower - x) / s)) * 0.5 / self.dx
        return delta * w * (1.0 if self.unit_area else self.sigma * math.sqrt(2 * math.pi))


def pair_weight(r, weighting, scale, threshold, r_cut, sharpness):
    if weighting == 1:
        w = math.exp(-scale * r)
        return 0.0 if w < threshold else w
    if weighting == 2:
        return 1 / max(1e-30, r * r) if r <= r_cut else 0.0
    if weighting == 3:
        if not (r <= r_cut and r_cut >= 0):
            return 0.0
        t = min(max(r / r_cut, 0.0), 1.0)
        return 1 + sharpness * t ** (sharpness + 1) - (sharpness + 1) * t**sharpness
    return 1.0


def triplet_weight(ra, rb, rab, weighting, scale, threshold, r_cut, sharpness):
    if weighting == 1:
        w = math.exp(-scale * (ra + rb + rab))
        return 0.0 if w < threshold else w
    if weighting == 2:  # the nearer end, so that the order of the two arms does not matter
        return pair_weight(min(ra, rb), 2, scale, threshold, r_cut, sharpness)
    if weighting == 3:
        if not (ra <= r_cut and rb <= r_cut):
            return 0.0
        return pair_weight(ra, 3, scale, threshold, r_cut, sharpness) * pair_weight(rb, 3, scale, threshold, r_cut,
                                                                                    sharpness)
    return 1.0


def tri(p, q, count):
    return p * count - p * (p + 1) // 2 + q


def angle_value(c, geometry):
    c = min(max(c, -1.0), 1.0)
    return c if geometry == 4 else math.degrees(math.acos(c))


def mbtr(structure, species, geometry=1, weighting=1, normalization=0, grid_min=0.0, grid_max=6.0, grid_sigma=0.1,
         grid_n=50, normalize_gaussians=True, scale=0.5, threshold=0.001, r_cut=6.0, sharpness=2.0, local=False):
    """Rows of one structure: one row (global) or one per atom (local)."""
    numbers, positions, cell = structure
    positions = np.asarray(positions, dtype=float)
    cell = np.asarray(cell, dtype=float)
    grid = Grid(grid_min, grid_max, grid_sigma, grid_n, normalize_gaussians)
    index = {z: k for k, z in enumerate(species)}
    kind = [index[z] for z in numbers]
    n, S = len(numbers), len(species)
    wargs = (weighting, scale, threshold, r_cut, sharpness)

    if geometry == 0:
        blocks = S
    elif geometry in (1, 2):
        blocks = S + 1 if local else S * (S + 1) // 2
    else:
        blocks = (S + 1) * (3 * (S + 1) - 1) // 2 if local else S * S * (S + 1) // 2
    rows = np.zeros((n if local else 1, blocks, grid_n))

    if geometry == 0:
        for i in range(n):
            rows[i if local else 0, kind[i]] += grid.gaussian(float(numbers[i]), 1.0)
    else:
        cutoff = neighbor_cutoff(geometry, weighting, r_cut, scale, threshold, grid_max)
        entries = image_entries(positions, cell, cutoff)
        for i in range(n):
            row = rows[i if local else 0]
            arms = [(kind[j], shift, v, np.linalg.norm(v)) for j, shift, v in entries[i]]
            if geometry in (1, 2):
                for (j, shift, v), (sj, _, _, r) in zip(entries[i], arms):
                    x = r if geometry == 1 else 1 / r
                    w = pair_weight(r, *wargs)
                    if local:
                        row[sj + 1] += grid.gaussian(x, w)
                        continue
                    if shift == (0, 0, 0) and j < i:
                        continue
                    factor = 1.0 if shift == (0, 0, 0) else 0.5
                    row[tri(min(kind[i], sj), max(kind[i], sj), S)] += grid.gaussian(x, factor * w)
                continue
            for a, b in itertools.combinations(range(len(arms)), 2):
                sa, _, va, ra = arms[a]
                sb, _, vb, rb = arms[b]
                rab = np.linalg.norm(va - vb)
                w = triplet_weight(ra, rb, rab, *wargs)
                if not local:
                    c = (ra * ra + rb * rb - rab * rab) / (2 * ra * rb)
                    row[kind[i] * S * (S + 1) // 2 + tri(min(sa, sb), max(sa, sb), S)] += \
                        grid.gaussian(angle_value(c, geometry), w)
                    continue
                V = S + 1
                ends = V * (V + 1) // 2 + 1
                cos_centre = (rb * rb + ra * ra - rab * rab) / (2 * ra * rb)
                cos_a = (rab * rab + ra * ra - rb * rb) / (2 * ra * rab) if rab > 0 else 1.0
                cos_b = (rb * rb + rab * rab - ra * ra) / (2 * rb * rab) if rab > 0 else 1.0
                row[tri(min(sa, sb) + 1, max(sa, sb) + 1, V)] += grid.gaussian(angle_value(cos_centre, geometry), w)
                row[ends + V * sa + sb] += grid.gaussian(angle_value(cos_a, geometry), w)
                row[ends + V * sb + sa] += grid.gaussian(angle_value(cos_b, geometry), w)

    if normalization == 3 and not local and geometry > 0:
        volume = abs(np.linalg.det(cell))
        counts = [sum(1 for k in kind if k == p) for p in range(S)]
        if geometry in (1, 2):
            for p in range(S):
                for q in range(p, S):
                    f = counts[p] ** 2 / 2 if p == q else counts[p] * counts[q]
                    if f > 0:
                        rows[0, tri(p, q, S)] *= volume / (4 * math.pi * f)
        else:
            for j in range(S):
                for p in range(S):
                    for q in range(p, S):
                        product = counts[q] * counts[j] * counts[p]
                        if product > 0:
                            rows[0, j * S * (S + 1) // 2 + tri(p, q, S)] *= volume / product
    rows = rows.reshape(len(rows), -1)
    if normalization == 1:
        norms = np.linalg.norm(rows, axis=1)
        rows[norms > 0] /= norms[norms > 0, None]
    elif normalization == 2 and n > 0:
        rows /= n
    return rows
