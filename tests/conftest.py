"""Shared fixtures: small crystals built in code and batch helpers."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

SHARED_DATA = Path(__file__).resolve().parents[2] / "shared" / "data"


def shared_data(*parts: str) -> Path:
    """Path below the shared model-file folder, skipping the test when it is absent."""
    path = SHARED_DATA.joinpath(*parts)
    if not path.exists():
        pytest.skip(f"shared model files not available ({path} is missing)")
    return path


def make_batch(structures):
    """Five batch arrays from (numbers, positions, cell) tuples."""
    numbers = np.concatenate([np.asarray(s[0], dtype=np.int32) for s in structures]) if structures else np.zeros(0, np.int32)
    positions = (
        np.concatenate([np.asarray(s[1], dtype=np.float64).reshape(-1, 3) for s in structures])
        if structures
        else np.zeros((0, 3))
    )
    cells = np.array([s[2] for s in structures], dtype=np.float64).reshape(-1, 3, 3)
    pbc = np.ones((len(structures), 3), dtype=np.int32)
    offsets = np.concatenate([[0], np.cumsum([len(s[0]) for s in structures])]).astype(np.int64)
    return numbers, positions, cells, pbc, offsets


def rock_salt(a: float = 5.64):
    frac = np.array([[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]])
    cell = np.eye(3) * a
    positions = np.concatenate([frac, frac + 0.5]) @ cell
    return np.array([11] * 4 + [17] * 4), positions % a, cell


def diamond_silicon(a: float = 5.43):
    fcc = np.array([[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]])
    frac = np.concatenate([fcc, fcc + 0.25])
    cell = np.eye(3) * a
    return np.full(8, 14), frac @ cell, cell


def random_triclinic(rng: np.random.Generator, n_atoms: int, species=(1, 8), volume_per_atom: float = 12.0):
    """Random atoms (fractional coordinates in [0, 1)) in a random, well-conditioned triclinic cell."""
    while True:
        cell = np.eye(3) + rng.uniform(-0.35, 0.35, size=(3, 3))
        if abs(np.linalg.det(cell)) > 0.5:
            break
    cell *= (volume_per_atom * max(n_atoms, 1) / abs(np.linalg.det(cell))) ** (1 / 3)
    frac = rng.random((n_atoms, 3))
    numbers = rng.choice(np.asarray(species), size=n_atoms)
    return numbers, frac @ cell, cell


def supercell(structure, reps=(2, 2, 2)):
    numbers, positions, cell = structure
    shifts = np.array([[i, j, k] for i in range(reps[0]) for j in range(reps[1]) for k in range(reps[2])])
    new_positions = np.concatenate([positions + s @ cell for s in shifts])
    new_numbers = np.tile(numbers, len(shifts))
    return new_numbers, new_positions, cell * np.asarray(reps)[:, None]


def rotation_matrix(rng: np.random.Generator) -> np.ndarray:
    q, r = np.linalg.qr(rng.normal(size=(3, 3)))
    q *= np.sign(np.diag(r))
    if np.linalg.det(q) < 0:
        q[:, 0] *= -1
    return q


@pytest.fixture
def rng() -> np.random.Generator:
    return np.random.default_rng(20261211)


def run_concurrently(function, count: int = 2) -> list:
    """Results of `function()` called from `count` Python threads at once."""
    import threading

    results = [None] * count

    def work(slot: int) -> None:
        results[slot] = function()

    threads = [threading.Thread(target=work, args=(slot,)) for slot in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results


def close_while_a_call_waits(calculator, long_batch, short_batch):
    """Closes `calculator` while one computation holds its lock and a second call waits for it.

    The first computation runs on `long_batch` until it is cancelled after the
    close. Returns what the waiting call gave: the shape of its result, or
    the message of the RuntimeError it raised.
    """
    import threading
    import time

    import tandril

    control = tandril.ComputeControl()
    first_outcome = []

    def first():
        try:
            calculator.compute(*long_batch, control=control)
            first_outcome.append("finished")
        except tandril.CancelledError:
            first_outcome.append("cancelled")

    holder = threading.Thread(target=first)
    holder.start()
    deadline = time.monotonic() + 30
    while control.total() == 0 and time.monotonic() < deadline:  # set once the computation holds the lock
        time.sleep(0.001)
    outcome = []

    def second():
        try:
            outcome.append(calculator.compute(*short_batch).shape)
        except RuntimeError as error:
            outcome.append(str(error))

    waiting = threading.Thread(target=second)
    waiting.start()
    time.sleep(0.2)  # the second call is now blocked on the lock
    calculator.close()
    control.cancel()
    holder.join()
    waiting.join()
    assert first_outcome == ["cancelled"], "the first computation was too short to hold the lock"
    return outcome[0]


def cancelled_during(compute, delay: float = 0.05):
    """Runs `compute(control)` while another thread cancels `control` after `delay` seconds.

    The computation must end with CancelledError; returns the control so that
    the caller can check its progress counters.
    """
    import threading

    import tandril

    control = tandril.ComputeControl()
    timer = threading.Timer(delay, control.cancel)
    timer.start()
    try:
        with pytest.raises(tandril.CancelledError, match="^descriptor computation cancelled$"):
            compute(control)
    finally:
        timer.cancel()
    return control
