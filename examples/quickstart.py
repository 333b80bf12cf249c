"""Quick tour of tandril on a few crystals built in code (no downloads).

Run with ``make demo``. Each section computes one kind of result for the same
structures and prints its shape and how long it took.
"""

from __future__ import annotations

import tempfile
import time
from pathlib import Path

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


def demo_matrices(n_atoms_max: int = 20) -> None:
    print(f"\nCoulomb, sine and Ewald sum matrices (n_atoms_max {n_atoms_max}, eigenvalue spectra)")
    small = [s for s in STRUCTURES.values() if len(s[0]) <= n_atoms_max]
    batch = tandril.batch(small)
    spectra = {
        "Coulomb": timed("Coulomb", tandril.compute_coulomb_matrix, *batch, n_atoms_max=n_atoms_max,
                         permutation="eigenspectrum"),
        "sine": timed("sine", tandril.compute_matrix, *batch, n_atoms_max=n_atoms_max, permutation="eigenspectrum",
                      kind=0),
        "Ewald": timed("Ewald", tandril.compute_matrix, *batch, n_atoms_max=n_atoms_max,
                       permutation="eigenspectrum", kind=1, accuracy=1e-6),
    }
    for label, rows in spectra.items():
        print(f"    {label:8s} shape {rows.shape}, largest eigenvalue per structure: {np.round(rows[:, 0], 2)}")
    sorted_rows = tandril.compute_matrix(*batch, n_atoms_max=n_atoms_max, permutation="sorted_l2", kind=2)
    print(f"    sorted Coulomb matrices: shape {sorted_rows.shape}")


def demo_mbtr() -> None:
    print("\nMBTR: k2 distances (global) and k3 angles (local), grid_n 100")
    batch = tandril.batch(list(STRUCTURES.values()))
    species = sorted(set(batch.numbers.tolist()))
    k2 = timed("k2 global", tandril.compute_mbtr, *batch, species=species, geometry=1, grid_n=100, normalization=1)
    k3 = timed("k3 local", tandril.compute_mbtr, *batch, species=species, geometry=3, grid_n=100, grid_max=180.0,
               grid_sigma=3.0, local=True)
    print(f"    k2: shape {k2.shape} (one unit-norm row per structure); k3: shape {k3.shape} (one row per atom)")
def write_synthetic_nep_model(path: Path, symbols: list[str], seed: int = 3) -> Path:
    """A small NEP model file with random coefficients: the keyword lines, then
    the network weights, the descriptor coefficients and one scale per component."""
    rng = np.random.default_rng(seed)
    types, n_max, basis, hidden = len(symbols), (4, 4), (8, 8), 8
    slots = 4 + 2  # l_max 4 with the four-body and five-body terms
    features = n_max[0] + 1 + (n_max[1] + 1) * slots
    header = [
        f"nep4 {types} {' '.join(symbols)}",
        "cutoff 5.0 3.5 100 100",
        f"n_max {n_max[0]} {n_max[1]}",
        f"basis_size {basis[0]} {basis[1]}",
        "l_max 4 2 1",
        f"ANN {hidden} 0",
    ]
    values = np.concatenate([
        rng.normal(size=hidden * (features + 2) * types + 1),  # network weights (not used by the descriptor)
        rng.uniform(-1, 1, (n_max[0] + 1) * (basis[0] + 1) * types**2),  # radial coefficients
        rng.uniform(-1, 1, (n_max[1] + 1) * (basis[1] + 1) * types**2),  # angular coefficients
        rng.uniform(0.5, 2.0, features),  # descriptor scales
    ])
    path.write_text("\n".join(header + [f"{v:.10e}" for v in values]) + "\n")
    return path


def demo_nep() -> None:
    print("\nNEP descriptors (synthetic model written by this example)")
    with tempfile.TemporaryDirectory() as folder:
        options = tandril.NepOptions()
        options.model_path = str(write_synthetic_nep_model(Path(folder) / "nep.txt", ["H", "O", "Na", "Si", "Cl"]))
        calculator = tandril.NepCalculator(options)
    print(f"  species {calculator.species}, {calculator.feature_count} components per atom,"
          f" cutoffs {calculator.radial_cutoff} / {calculator.angular_cutoff} Å")
    for name, structure in STRUCTURES.items():
        rows = timed(name, calculator.compute, *tandril.batch([structure]))
        print(f"    rows {rows.shape}, radial part of atom 0: {np.array2string(rows[0, :3], precision=4)} ...")
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


SPECIES = [1, 8, 11, 14, 17]


def per_structure_summary(batch: tandril.Batch, rows: np.ndarray) -> None:
    blocks = {name: rows[start:end] for name, start, end in zip(STRUCTURES, batch.offsets[:-1], batch.offsets[1:])}
    for name, block in blocks.items():
        print(f"    {name}: mean row norm {np.linalg.norm(block, axis=1).mean():.4g}")
    # a supercell is the same crystal: every atom keeps its primitive-cell row
    primitive, big = blocks["diamond Si (8 atoms)"], blocks["Si supercell (1000 atoms)"]
    print(f"    Si supercell rows vs primitive rows: max difference {np.abs(big - np.tile(primitive, (125, 1))).max():.1e}")


def demo_acsf() -> None:
    batch = tandril.batch(list(STRUCTURES.values()))
    options = tandril.AcsfOptions()
    options.species = SPECIES
    options.r_cut = 6.0
    options.g2_params = [v for r_s in (1.0, 2.0, 3.0, 4.0) for v in (1.0, r_s)]  # (eta, R_s) pairs
    options.g3_params = [1.0, 2.0]
    options.g4_params = [0.005, 1.0, 1.0, 0.005, 1.0, -1.0, 0.005, 4.0, 1.0, 0.005, 4.0, -1.0]  # (eta, zeta, lambda)
    options.g5_params = [0.005, 1.0, 1.0, 0.005, 1.0, -1.0]
    options.n_g2, options.n_g3, options.n_g4, options.n_g5 = 4, 2, 4, 2
    calculator = tandril.AcsfCalculator(options)
    print(f"\nACSF ({calculator.feature_count} features per atom)")
    rows = timed("all structures", calculator.compute, *batch)
    per_structure_summary(batch, rows)


def demo_ead() -> None:
    batch = tandril.batch(list(STRUCTURES.values()))
    print("\nEAD (max_degree 3, 4 etas x 4 shells, cutoff 6 Å)")
    rows = timed("all structures", tandril.compute_ead, *batch, max_degree=3, cutoff=6.0,
                 eta=[0.1, 0.5, 1.0, 2.0], rs=[1.0, 2.0, 3.0, 4.0])
    print(f"    {rows.shape[1]} features per atom")
    per_structure_summary(batch, rows)


def demo_c00ps_mlff() -> None:
    batch = tandril.batch(list(STRUCTURES.values()))
    options = tandril.C00PSMlffOptions()
    options.species = SPECIES
    options.super_vector = True
    print("\nC00PS-MLFF")
    calculator = timed("basis", tandril.C00PSMlffCalculator, options)
    print(f"    radial_counts {calculator.radial_counts}, {calculator.feature_count} features per atom")
    rows = timed("all structures", calculator.compute, *batch)
    per_structure_summary(batch, rows)


def main() -> None:
    batch = tandril.batch(list(STRUCTURES.values()))
    print(f"tandril {tandril.__version__}: {len(batch.offsets) - 1} structures, {len(batch.numbers)} atoms\n")
    demo_neighbors()
    demo_matrices()
    demo_mbtr()
    demo_ead()
    demo_soap()
    demo_acsf()
    demo_c00ps_mlff()
    demo_nep()


if __name__ == "__main__":
    main()
