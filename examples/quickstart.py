"""Quick tour of tandril on a few crystals built in code (no downloads).

Run with ``make demo``. Each section computes one kind of result for the same
structures and prints its shape and how long it took.
"""

from __future__ import annotations

import time

import numpy as np

import tandril


def rock_salt(a: float = 5.64) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    fcc = np.array([[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]])
    cell = np.eye(3) * a
    return np.array([11] * 4 + [17] * 4), np.concatenate([fcc, fcc + [0.5, 0, 0]]) @ cell, cell


def diamond_silicon(a: float = 5.43) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    fcc = np.array([[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]])
    return np.full(8, 14), np.concatenate([fcc, fcc + 0.25]) @ (np.eye(3) * a), np.eye(3) * a


def triclinic_water_like(seed: int = 7) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    cell = np.array([[6.1, 0.0, 0.0], [1.3, 5.8, 0.0], [-0.9, 1.1, 6.4]])
    return np.array([8, 1, 1] * 6), rng.random((18, 3)) @ cell, cell


def repeat(structure, reps: tuple[int, int, int]):
    numbers, positions, cell = structure
    grid = np.array([[i, j, k] for i in range(reps[0]) for j in range(reps[1]) for k in range(reps[2])])
    return np.tile(numbers, len(grid)), np.concatenate([positions + g @ cell for g in grid]), cell * np.array(reps)[:, None]


STRUCTURES = {
    "rock salt NaCl (8 atoms)": rock_salt(),
    "diamond Si (8 atoms)": diamond_silicon(),
    "triclinic H2O-like (18 atoms)": triclinic_water_like(),
    "Si supercell (1000 atoms)": repeat(diamond_silicon(), (5, 5, 5)),
}


def timed(label: str, function, *args, **kwargs):
    start = time.perf_counter()
    result = function(*args, **kwargs)
    print(f"  {label}: {1e3 * (time.perf_counter() - start):.2f} ms")
    return result


def demo_neighbors(cutoff: float = 5.0) -> None:
    print(f"Neighbour graphs (cutoff {cutoff} Å)")
    for name, (numbers, positions, cell) in STRUCTURES.items():
        row_offsets, neighbors, shifts, vectors, d2 = timed(
            name, tandril.build_neighbor_graph, numbers, positions, cell, [1, 1, 1], cutoff
        )
        counts = np.diff(row_offsets) - 1  # without each atom's own entry
        nearest = np.sqrt(d2[d2 > 0].min())
        print(f"    neighbours per atom: mean {counts.mean():.1f}, min {counts.min()}, max {counts.max()};"
              f" nearest distance {nearest:.3f} Å")


def demo_soap(r_cut: float = 5.0, n_max: int = 8, l_max: int = 6, sigma: float = 0.5) -> None:
    print(f"\nSOAP power spectra (r_cut {r_cut} Å, n_max {n_max}, l_max {l_max}, sigma {sigma} Å)")
    structures = list(STRUCTURES.values())
    species = sorted({int(z) for numbers, _, _ in structures for z in numbers})
    batch = tandril.batch(structures)
    for rbf in ("gto", "polynomial"):
        # Radial tables are built for you; one row per atom.
        calculator = tandril.soap(species, r_cut, n_max, l_max, sigma, rbf=rbf)
        rows = timed(f"{rbf} basis, {len(batch.numbers)} atoms", calculator.compute, *batch, inner_average=False)
        print(f"    rows {rows.shape}; species blocks ordered as {calculator.species}")
    # One averaged row per structure, all species in one density channel so
    # that structures of different elements compare by geometry alone. The
    # compute arguments repeat the stored averaging flags.
    averaged = tandril.soap(species, r_cut, n_max, l_max, sigma, average="inner", compression="species_merged")
    means = timed("inner average per structure, species merged", averaged.compute, *batch, inner_average=True)
    unit = means / np.linalg.norm(means, axis=1, keepdims=True)
    names = list(STRUCTURES)
    print("    cosine similarity of the structure averages:")
    for name, similarities in zip(names, unit @ unit.T):
        print(f"      {name:32s} " + " ".join(f"{value:5.2f}" for value in similarities))


def main() -> None:
    batch = tandril.batch(list(STRUCTURES.values()))
    print(f"tandril {tandril.__version__}: {len(batch.offsets) - 1} structures, {len(batch.numbers)} atoms\n")
    demo_neighbors()
    demo_soap()


if __name__ == "__main__":
    main()
