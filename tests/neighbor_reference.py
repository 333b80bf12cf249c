"""Slow NumPy versions of the periodic neighbour search, used as references.

``ordered_graph`` follows the documented algorithm step by step (image
records, bins at least one cutoff wide, stable bin sort, z/y/x scan) so that
the exact entry order can be compared; ``brute_force_pairs`` enumerates every
image in a generous shift range and is the completeness reference.
"""

from __future__ import annotations

import itertools
import math

import numpy as np


def reciprocal_rows(cell: np.ndarray) -> np.ndarray:
    c = cell.reshape(-1)
    det = c[0] * (c[4] * c[8] - c[5] * c[7]) - c[1] * (c[3] * c[8] - c[5] * c[6]) + c[2] * (c[3] * c[7] - c[4] * c[6])
    a = cell
    return np.array([np.cross(a[(i + 1) % 3], a[(i + 2) % 3]) / det for i in range(3)])


def ordered_graph(positions: np.ndarray, cell: np.ndarray, cutoff: float, first_atom: int = 0):
    """Entries (centre, neighbour, shift, vector, d2) of one in-cell structure, in order."""
    b = reciprocal_rows(cell)
    ranges = [int(math.floor(cutoff * math.sqrt(b[i] @ b[i]) + 1.0)) for i in range(3)]
    records = []
    for n1 in range(-ranges[0], ranges[0] + 1):
        for n2 in range(-ranges[1], ranges[1] + 1):
            for n3 in range(-ranges[2], ranges[2] + 1):
                for j, r in enumerate(positions):
                    p = tuple(r[k] + n1 * cell[0, k] + n2 * cell[1, k] + n3 * cell[2, k] for k in range(3))
                    records.append((first_atom + j, (n1, n2, n3), p))
    pts = np.array([rec[2] for rec in records]).reshape(-1, 3)
    lo = pts.min(axis=0) - 1e-10
    hi = pts.max(axis=0) + 1e-10
    extent = hi - lo
    counts = [max(1, int(extent[k] / cutoff)) for k in range(3)]
    widths = [max(extent[k] / counts[k], cutoff) for k in range(3)]

    def axis_bin(x, k):
        return max(0, min(int((x - lo[k]) / widths[k]), counts[k] - 1))

    bins: dict[tuple[int, int, int], list[int]] = {}
    for index, rec in enumerate(records):
        key = tuple(axis_bin(rec[2][k], k) for k in range(3))
        bins.setdefault(key, []).append(index)
    entries = []
    c2 = cutoff * cutoff
    for m, r in enumerate(positions):
        c = [axis_bin(r[k], k) for k in range(3)]
        for z in range(max(c[2] - 1, 0), min(c[2] + 1, counts[2] - 1) + 1):
            for y in range(max(c[1] - 1, 0), min(c[1] + 1, counts[1] - 1) + 1):
                for x in range(max(c[0] - 1, 0), min(c[0] + 1, counts[0] - 1) + 1):
                    for index in bins.get((x, y, z), []):
                        j, shift, p = records[index]
                        v = (p[0] - r[0], p[1] - r[1], p[2] - r[2])
                        d2 = v[0] * v[0] + v[1] * v[1] + v[2] * v[2]
                        if d2 <= c2:
                            entries.append((first_atom + m, j, shift, v, d2))
    return entries


def brute_force_pairs(positions: np.ndarray, cell: np.ndarray, cutoff: float, margin: float = 1e-9):
    """Set of (i, j, shift) with |r_j + shift.A - r_i| <= cutoff, and the pairs within `margin` of the cutoff."""
    b = reciprocal_rows(cell)
    frac = positions @ b.T
    spread = frac.max(axis=0) - frac.min(axis=0) if len(positions) else np.zeros(3)
    ranges = [int(math.ceil(cutoff * np.linalg.norm(b[k]) + spread[k])) + 1 for k in range(3)]
    shifts = np.array(list(itertools.product(*[range(-n, n + 1) for n in ranges])))
    translations = shifts @ cell
    inside, borderline = set(), set()
    for i, ri in enumerate(positions):
        for j, rj in enumerate(positions):
            d = np.linalg.norm(rj + translations - ri, axis=1)
            for s in np.nonzero(d <= cutoff)[0]:
                inside.add((i, j, tuple(shifts[s])))
            for s in np.nonzero(np.abs(d - cutoff) < margin)[0]:
                borderline.add((i, j, tuple(shifts[s])))
    return inside, borderline


def graph_entries(graph) -> list[tuple]:
    """(centre, neighbour, shift) triples of a graph returned as five arrays."""
    row_offsets, neighbors, shifts, _, _ = graph
    out = []
    for i in range(len(row_offsets) - 1):
        for e in range(row_offsets[i], row_offsets[i + 1]):
            out.append((i, int(neighbors[e]), tuple(int(x) for x in shifts[e])))
    return out
