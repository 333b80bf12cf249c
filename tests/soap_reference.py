"""Slow, plain NumPy SOAP written from the definitions, used as the reference.

Neighbours come from a brute-force image enumeration, harmonics from SciPy's
associated Legendre functions, the polynomial radial integrals from SciPy's
scaled Bessel functions: nothing is shared with the native kernel.
"""

from __future__ import annotations

import itertools
import math

import numpy as np
from scipy.special import gammaln, ive, lpmv

PI_THREE_HALVES = math.pi**1.5
GAUSSIAN_REACH = math.sqrt(2.0 * math.log(1000.0))


def real_harmonics(l_max: int, vectors: np.ndarray) -> np.ndarray:
    """Y_lm(r_hat), orthonormal real harmonics, index l^2 + l + m; zero vectors give Y_00 only."""
    vectors = np.atleast_2d(np.asarray(vectors, dtype=float))
    r = np.linalg.norm(vectors, axis=1)
    safe = np.where(r > 0, r, 1.0)
    cos_theta = np.clip(vectors[:, 2] / safe, -1.0, 1.0)
    phi = np.arctan2(vectors[:, 1], vectors[:, 0])
    out = np.zeros((len(vectors), (l_max + 1) ** 2))
    for l in range(l_max + 1):
        for m in range(l + 1):
            norm = math.sqrt((2 * l + 1) / (4 * math.pi) * math.exp(gammaln(l - m + 1) - gammaln(l + m + 1)))
            p = lpmv(m, l, cos_theta)
            if m == 0:
                out[:, l * l + l] = norm * p
            else:
                out[:, l * l + l + m] = math.sqrt(2) * norm * p * np.cos(m * phi)
                out[:, l * l + l - m] = math.sqrt(2) * norm * p * np.sin(m * phi)
    out[r == 0, 1:] = 0.0
    return out


def neighbour_entries(positions: np.ndarray, cell: np.ndarray, cutoff: float):
    """For each atom: (neighbour indices, vectors, is-centre flags) of every image within the cutoff."""
    positions = np.asarray(positions, dtype=float).reshape(-1, 3)
    cell = np.asarray(cell, dtype=float)
    reciprocal = np.linalg.inv(cell).T
    reach = [int(math.ceil(cutoff * np.linalg.norm(reciprocal[:, k]))) + 1 for k in range(3)]
    shifts = np.array(list(itertools.product(*[range(-n, n + 1) for n in reach])))
    translations = shifts @ cell
    zero = np.all(shifts == 0, axis=1)
    out = []
    for i, ri in enumerate(positions):
        js, vs, cs = [], [], []
        for j, rj in enumerate(positions):
            v = rj + translations - ri
            inside = np.einsum("ij,ij->i", v, v) <= cutoff * cutoff
            js.extend([j] * int(inside.sum()))
            vs.append(v[inside])
            cs.extend((zero[inside] & (i == j)).tolist())
        out.append((np.array(js, dtype=int), np.concatenate(vs).reshape(-1, 3), np.array(cs, dtype=bool)))
    return out


def entry_weights(o, r: np.ndarray, centre: np.ndarray, species: np.ndarray) -> np.ndarray:
    w = np.ones_like(r)
    if o.weighting_has_function:
        x = r / o.weighting_r0
        f = o.weighting_function
        with np.errstate(divide="ignore"):
            if f == 1:
                w = np.where(r > o.weighting_r0, 0.0, o.weighting_c * np.maximum(0.0, 1 - 3 * x**2 + 2 * x**3) ** o.weighting_m)
            elif f == 2:
                w = o.weighting_c / (x**o.weighting_m + o.weighting_d)
            else:
                w = o.weighting_c / (np.exp(-x) + o.weighting_d)
    if o.weighting_has_w0:
        w = np.where(centre, o.weighting_w0, w)
    if len(o.species_weights):
        w = w * np.asarray(o.species_weights)[species]
    return w


def bessel_products(l_max: int, grid: np.ndarray, r: float, sigma: float) -> np.ndarray:
    """I_l(r_i; r) = exp(-(r_i^2 + r^2)/(2 sigma^2)) i_l(r_i r / sigma^2), shape (l_max + 1, G)."""
    k = 1.0 / (2 * sigma * sigma)
    out = np.zeros((l_max + 1, len(grid)))
    if r <= 1e-14:
        out[0] = np.exp(-k * grid**2)
        return out
    a = 2 * k * grid * r
    positive = a > 0
    for l in range(l_max + 1):
        # i_l(a) = sqrt(pi / (2a)) I_(l+1/2)(a); ive carries the factor exp(-a).
        values = np.exp(-k * (grid - r) ** 2) * np.sqrt(np.pi / (2 * np.where(positive, a, 1.0))) * ive(l + 0.5, a)
        out[l] = np.where(positive, values, np.exp(-k * r * r) if l == 0 else 0.0)
    return out


def atom_coefficients(o, numbers, positions, cell):
    """Coefficients c[atom][channel][n][lm] of every atom of one structure."""
    species_index = {z: k for k, z in enumerate(o.species)}
    numbers = np.asarray(numbers)
    species_of = np.array([species_index[int(z)] for z in numbers], dtype=int)
    n_max, l_max, sigma = o.n_max, o.l_max, o.sigma
    channels = 1 if o.compression == 1 else len(o.species)
    k = 1.0 / (2 * sigma * sigma)
    if o.radial_basis == 0:
        alphas = np.asarray(o.alphas).reshape(l_max + 1, n_max)
        betas = np.asarray(o.betas).reshape(l_max + 1, n_max, n_max)
        ls = np.arange(l_max + 1)[:, None]
        scale = k**ls * (alphas + k) ** (-(ls + 1.5))
        decay = alphas * k / (alphas + k)
    else:
        grid = np.asarray(o.radial_grid)
        projection = (np.asarray(o.radial_weights) * grid**2)[:, None] * np.asarray(o.radial_values).reshape(n_max, -1).T
    cutoff = o.r_cut + GAUSSIAN_REACH * sigma
    result = np.zeros((len(numbers), channels, n_max, (l_max + 1) ** 2))
    for i, (js, vectors, centre) in enumerate(neighbour_entries(positions, cell, cutoff)):
        r = np.linalg.norm(vectors, axis=1) if len(vectors) else np.zeros(0)
        weights = entry_weights(o, r, centre, species_of[js])
        harmonics = real_harmonics(l_max, vectors)
        for e in range(len(js)):
            ch = 0 if o.compression == 1 else species_of[js[e]]
            for l in range(l_max + 1):
                block = slice(l * l, (l + 1) ** 2)
                if o.radial_basis == 0:
                    radial = scale[l] * np.exp(-decay[l] * r[e] ** 2)  # over n'
                    solid = r[e] ** l * harmonics[e, block]
                    result[i, ch, :, block] += PI_THREE_HALVES * weights[e] * np.outer(betas[l] @ radial, solid)
                else:
                    values = bessel_products(l_max, grid, r[e], sigma)[l]
                    result[i, ch, :, block] += 4 * np.pi * weights[e] * np.outer(projection.T @ values, harmonics[e, block])
    return result


def power_spectrum(o, c: np.ndarray) -> np.ndarray:
    """One row from coefficients c[channel][n][lm] in the layout of the compression."""
    l_max, n_max = o.l_max, o.n_max
    factors = [math.pi * math.sqrt(8.0 / (2 * l + 1)) for l in range(l_max + 1)]

    def block(a, b, upper):
        values = []
        for l in range(l_max + 1):
            p = factors[l] * a[:, l * l : (l + 1) ** 2] @ b[:, l * l : (l + 1) ** 2].T
            for n in range(n_max):
                values.extend(p[n, n if upper else 0 :])
        return values

    row: list[float] = []
    s = c.shape[0]
    if o.compression == 1:
        row = block(c[0], c[0], True)
    elif o.compression == 2:
        total = c.sum(axis=0)
        for a in range(s):
            row += block(c[a], total, False)
    elif o.compression == 3:
        for a in range(s):
            row += block(c[a], c[a], True)
    else:
        for a in range(s):
            for b in range(a, s):
                row += block(c[a], c[b], a == b)
    return np.array(row)


def soap_rows(o, structures) -> np.ndarray:
    """Reference result of SoapCalculator(o).compute for structures [(numbers, positions, cell)], averaging as stored."""
    rows = []
    for numbers, positions, cell in structures:
        coefficients = atom_coefficients(o, numbers, positions, cell)
        if o.inner_average or o.outer_average:
            if len(numbers) == 0:
                rows.append(None)
            elif o.inner_average:
                rows.append(power_spectrum(o, coefficients.mean(axis=0)))
            else:
                rows.append(np.mean([power_spectrum(o, c) for c in coefficients], axis=0))
        else:
            rows.extend(power_spectrum(o, c) for c in coefficients)
    width = next((len(r) for r in rows if r is not None), 0)
    return np.array([np.zeros(width) if r is None else r for r in rows]).reshape(len(rows), -1)
