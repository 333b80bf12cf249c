"""Single-thread SOAP throughput (atoms per second) on crystals of growing size.

Rock-salt NaCl (a = 5.64 Å, 0.044 atoms/Å^3) as a perfect crystal and with
every atom displaced by a random 0.1 Å (no two distances alike, as in a
molecular-dynamics snapshot); a denser MgO-like rock salt (a = 4.21 Å, 0.107
atoms/Å^3); and a batch of many small cells. Settings: r_cut 5 Å, n_max 8,
l_max 6, sigma 0.5, compression 0, one row per atom; GTO and polynomial
(100-point grid) bases. Each figure is the best of several runs.

Run with ``make bench`` or ``.venv/bin/python bench/bench_soap.py``.
"""

from __future__ import annotations

import time

import numpy as np

import tandril

R_CUT, N_MAX, L_MAX, SIGMA = 5.0, 8, 6, 0.5


def rock_salt(a: float, repeats: int, species=(11, 17), rattle: float = 0.0, seed: int = 0):
    fcc = np.array([[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]])
    basis = np.concatenate([fcc, fcc + [0.5, 0, 0]])
    numbers = np.array([species[0]] * 4 + [species[1]] * 4)
    grid = np.array([[i, j, k] for i in range(repeats) for j in range(repeats) for k in range(repeats)])
    frac = (basis[None, :, :] + grid[:, None, :]).reshape(-1, 3) / repeats
    cell = np.eye(3) * a * repeats
    positions = frac @ cell
    if rattle:
        positions = positions + np.random.default_rng(seed).normal(scale=rattle / np.sqrt(3), size=positions.shape)
    return np.tile(numbers, len(grid)), positions, cell


def batch_of(structures):
    numbers = np.concatenate([s[0] for s in structures]).astype(np.int32)
    positions = np.concatenate([s[1] for s in structures])
    cells = np.stack([s[2] for s in structures])
    pbc = np.ones((len(structures), 3), dtype=np.int32)
    offsets = np.concatenate([[0], np.cumsum([len(s[0]) for s in structures])]).astype(np.int64)
    return numbers, positions, cells, pbc, offsets


def throughput(calculator, batch, repeats: int) -> float:
    best = np.inf
    for _ in range(repeats):
        start = time.perf_counter()
        calculator.compute(*batch, inner_average=False)
        best = min(best, time.perf_counter() - start)
    return len(batch[0]) / best


def main() -> None:
    print(f"SOAP, one thread: r_cut {R_CUT} Å, n_max {N_MAX}, l_max {L_MAX}, sigma {SIGMA}, compression 0, per-atom rows")
    cases = []
    for repeats in (3, 5, 8):
        cases.append((f"NaCl crystal {8 * repeats**3} atoms", [rock_salt(5.64, repeats)]))
    for repeats in (3, 5, 8):
        cases.append((f"NaCl rattled {8 * repeats**3} atoms", [rock_salt(5.64, repeats, rattle=0.1, seed=repeats)]))
    cases.append(("MgO-like crystal 1000 atoms", [rock_salt(4.21, 5, species=(12, 8))]))
    cases.append(("MgO-like rattled 1000 atoms", [rock_salt(4.21, 5, species=(12, 8), rattle=0.1)]))
    cases.append(("125 NaCl cells of 8 atoms", [rock_salt(5.64, 1, rattle=0.1, seed=s) for s in range(125)]))
    for rbf in ("gto", "polynomial"):
        print(f"\n{rbf} basis")
        for label, structures in cases:
            species = sorted({int(z) for s in structures for z in s[0]})
            calculator = tandril.soap(species, R_CUT, N_MAX, L_MAX, SIGMA, rbf=rbf)
            batch = batch_of(structures)
            repeats = 5 if len(batch[0]) <= 1000 else 3
            print(f"  {label:32s} {throughput(calculator, batch, repeats):10.0f} atoms/s")


if __name__ == "__main__":
    main()
