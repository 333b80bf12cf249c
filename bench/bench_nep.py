"""Single-thread throughput of NepCalculator, and the time to read each model.

Times are the CPU time of this process (the library never starts a thread),
best of several runs, so that other work on the machine does not distort them.

Uses the NEP model files in ../shared/data/nep when that folder exists (each
on a crystal of its own elements); otherwise a synthetic model shaped like the
two-type water model (n_max 4 4, basis_size 8 8, l_max 4 2 0, cutoffs 6 and 4).

    .venv/bin/python bench/bench_nep.py
"""

from __future__ import annotations

import itertools
import tempfile
import time
from pathlib import Path

import numpy as np

import tandril

SHARED_MODELS = Path(__file__).resolve().parents[2] / "shared" / "data" / "nep"
SIZES = (250, 1000, 4000)
REPEATS = 5

FCC = np.array([[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]])


def ice_ic(a: float = 6.358):
    """Proton-ordered cubic ice: O on a diamond lattice, two H per O along O-O bonds."""
    step = 0.96 / (a * np.sqrt(3) / 4) * 0.25
    frac, numbers = [], []
    for base, bonds in ((FCC, ([1, 1, 1], [1, -1, -1])), (FCC + 0.25, ([1, -1, 1], [1, 1, -1]))):
        for o in base:
            frac.append(o)
            numbers.append(8)
            for bond in bonds:
                frac.append(o + step * np.array(bond))
                numbers.append(1)
    return np.array(numbers), (np.array(frac) % 1.0) * a, np.eye(3) * a


def diamond(z: int, a: float):
    frac = np.concatenate([FCC, FCC + 0.25])
    return np.full(8, z), frac * a, np.eye(3) * a


def rock_salt(z1: int, z2: int, a: float):
    frac = np.concatenate([FCC, FCC + [0.5, 0, 0]]) % 1.0
    return np.array([z1] * 4 + [z2] * 4), frac * a, np.eye(3) * a


def perovskite(a_site: int, b_site: int, a: float):
    frac = np.array([[0, 0, 0], [0.5, 0.5, 0.5], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]])
    return np.array([a_site, b_site, 8, 8, 8]), frac * a, np.eye(3) * a


def fcc_alloy(elements, a: float):
    return np.array([elements[i % len(elements)] for i in range(4)]), FCC * a, np.eye(3) * a


CRYSTALS = {
    "nep3_Si_1type_Si_2022_NEP3_4body.txt": ("diamond Si", lambda: diamond(14, 5.43)),
    "nep3_PbTe_2type.txt": ("rock-salt PbTe", lambda: rock_salt(82, 52, 6.46)),
    "nep3_BaZrO_3type.txt": ("perovskite BaZrO3", lambda: perovskite(56, 40, 4.19)),
    "nep4_C_1type_C_2024_NEP4.txt": ("diamond C", lambda: diamond(6, 3.567)),
    "nep4_OH_2type_water.txt": ("cubic ice", ice_ic),
    "nep4_zbl_BaTiO_3type.txt": ("perovskite BaTiO3", lambda: perovskite(56, 22, 4.00)),
    "nep4_zbl_CrCoNi_3type_zbl3values.txt": ("fcc CrCoNi", lambda: fcc_alloy((24, 27, 28), 3.57)),
}


def near_cubic_repeats(cell_atoms: int, target: int) -> tuple[int, int, int]:
    candidates = (
        reps for reps in itertools.combinations_with_replacement(range(1, 25), 3) if reps[2] - reps[0] <= 2
    )
    return min(candidates, key=lambda reps: (abs(np.prod(reps) * cell_atoms - target), reps[2] - reps[0]))


def crystal(unit, target: int, rng: np.random.Generator):
    """A supercell of about `target` atoms, every atom displaced by up to 0.05 Å."""
    numbers, positions, cell = unit
    reps = near_cubic_repeats(len(numbers), target)
    grid = np.array(list(itertools.product(*(range(r) for r in reps))))
    big_positions = np.concatenate([positions + g @ cell for g in grid])
    big_positions += rng.uniform(-0.05, 0.05, big_positions.shape)
    return np.tile(numbers, len(grid)), big_positions, cell * np.array(reps)[:, None]


def best_time(function, repeats: int = REPEATS) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = time.process_time()
        function()
        best = min(best, time.process_time() - start)
    return best


def calculator(path: Path, num_threads: int) -> tandril.NepCalculator:
    options = tandril.NepOptions()
    options.model_path = str(path)
    options.num_threads = num_threads
    return tandril.NepCalculator(options)


def bench_model(path: Path, label: str, unit) -> None:
    load_ms = 1e3 * best_time(lambda: calculator(path, 0), 5)
    calcs = {threads: calculator(path, threads) for threads in (1, 0)}
    print(f"{path.name}: D = {calcs[0].feature_count}, read in {load_ms:.2f} ms")
    rng = np.random.default_rng(2026)
    for target in SIZES:
        structure = crystal(unit, target, rng)
        batch = tandril.batch([structure])
        atoms = len(structure[0])
        rates = []
        for threads, calc in calcs.items():
            calc.compute(*batch)  # warm up
            rates.append(f"num_threads={threads}: {atoms / best_time(lambda: calc.compute(*batch)):>9,.0f} atoms/s")
        print(f"  {label:<18} {atoms:>5} atoms   " + "   ".join(rates))


def synthetic_water_model(path: Path) -> Path:
    """A model shaped like the two-type water model, with random coefficients."""
    rng = np.random.default_rng(7)
    types, n_max, basis, slots, hidden = 2, (4, 4), (8, 8), 5, 30
    features = n_max[0] + 1 + (n_max[1] + 1) * slots
    values = np.concatenate([
        rng.uniform(-1, 1, hidden * (features + 2) * types + 1),
        rng.uniform(-1, 1, (n_max[0] + 1) * (basis[0] + 1) * types**2),
        rng.uniform(-1, 1, (n_max[1] + 1) * (basis[1] + 1) * types**2),
        rng.uniform(0.5, 2.0, features),
    ])
    header = ["nep4 2 O H", "cutoff 6.0 4.0 251 80", "n_max 4 4", "basis_size 8 8", "l_max 4 2 0", "ANN 30 0"]
    path.write_text("\n".join(header + [f"{v:.8e}" for v in values]) + "\n")
    return path


def main() -> None:
    print(f"NepCalculator, single thread (CPU time, best of {REPEATS} runs)")
    if SHARED_MODELS.is_dir():
        for name, (label, unit) in CRYSTALS.items():
            path = SHARED_MODELS / name
            if path.exists():
                bench_model(path, label, unit())
    else:
        print(f"({SHARED_MODELS} not found: synthetic water-shaped model)")
        with tempfile.TemporaryDirectory() as folder:
            bench_model(synthetic_water_model(Path(folder) / "nep_water_like.txt"), "cubic ice", ice_ic())


if __name__ == "__main__":
    main()
