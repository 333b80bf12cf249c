"""The shared calculator frame, exercised through a minimal test calculator.

Every descriptor calculator inherits these behaviours: the closed flag and
its two test orders, the per-calculator lock, the lock-free computation,
cancellation from another thread and progress reporting.
"""

from __future__ import annotations

import gc
import threading
import time

import numpy as np
import pytest

import tandril
from tandril import _core_testing as core
from conftest import cancelled_during, close_while_a_call_waits, diamond_silicon, make_batch, supercell


def toy(repeat: int = 1, before_lock: bool = False, species=(14,)) -> core.ToyCalculator:
    options = core.ToyOptions()
    options.cutoff = 4.0
    options.repeat = repeat
    options.species = list(species)
    return core.ToyCalculator(options, before_lock)


SMALL = make_batch([diamond_silicon()] * 3)
LARGE = make_batch([supercell(diamond_silicon(), (4, 4, 4))] * 6)


def test_rows_are_written_per_atom():
    result = toy().compute(*SMALL)
    assert result.shape == (24, 2)
    # diamond: 4 neighbours at a*sqrt(3)/4, 12 at a/sqrt(2) within 4 Å
    np.testing.assert_array_equal(result[:, 0], 16.0)
    np.testing.assert_allclose(result[:, 1], 4 * 5.43 * np.sqrt(3) / 4 + 12 * 5.43 / np.sqrt(2), rtol=1e-14)


def test_protocol_members():
    calculator = toy()
    assert calculator.feature_count == 2
    assert calculator.species == [14]
    assert calculator.closed() is False
    calculator.close()
    calculator.close()
    assert calculator.closed() is True
    with pytest.raises(RuntimeError, match="^toy calculator is closed$"):
        calculator.compute(*SMALL)


def test_options_are_copied_at_construction():
    options = core.ToyOptions()
    options.species = [14]
    calculator = core.ToyCalculator(options)
    options.species = [1]
    options.species.append(8)  # a read returns a new list; the record keeps [1]
    assert options.species == [1]
    assert calculator.species == [14]


@pytest.mark.parametrize("before_lock", [False, True])
def test_validation_errors_and_species_errors(before_lock):
    numbers, positions, cells, pbc, offsets = SMALL
    with pytest.raises(ValueError, match="^only fully periodic structures are supported$"):
        toy(before_lock=before_lock).compute(numbers, positions, cells, np.zeros_like(pbc), offsets)
    with pytest.raises(ValueError, match="^batch contains an atomic number outside calculator species$"):
        toy(species=[1]).compute(*SMALL)
    with pytest.raises(ValueError, match="^StructureBatch arrays have inconsistent lengths$"):
        toy().compute(numbers, positions, cells, pbc, offsets[:-1])


@pytest.mark.parametrize("before_lock", [False, True])
def test_close_while_a_call_waits_for_the_lock(before_lock):
    calculator = toy(repeat=100000, before_lock=before_lock)
    outcome = close_while_a_call_waits(calculator, LARGE, SMALL)
    # testing after locking refuses the waiting call; testing before locking had already let it through
    assert outcome == ((24, 2) if before_lock else "toy calculator is closed")
    with pytest.raises(RuntimeError, match="^toy calculator is closed$"):
        calculator.compute(*SMALL)


def test_progress_and_reuse_of_a_control():
    control = tandril.ComputeControl()
    control.cancel()  # cleared when the computation starts
    toy().compute(*SMALL, control=control)
    assert (control.cancelled(), control.completed(), control.total()) == (False, 3, 3)
    toy().compute(*SMALL, control=control)
    assert control.completed() == 3


def test_cancellation_from_another_thread():
    control = cancelled_during(lambda control: toy(repeat=200).compute(*LARGE, control=control))
    assert control.cancelled() is True
    assert 0 <= control.completed() < 6 and control.total() == 6


def test_the_interpreter_keeps_running_during_a_computation():
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.001)

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        before = len(ticks)
        toy(repeat=30).compute(*LARGE)
        during = len(ticks) - before
    finally:
        stop.set()
        thread.join()
    assert during > 5


def test_two_threads_compute_at_once_with_correct_results():
    expected = toy(repeat=3).compute(*LARGE)
    results = {}

    def run(key):
        results[key] = toy(repeat=3).compute(*LARGE)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for key in range(2):
        np.testing.assert_array_equal(results[key], expected)


def test_dropping_the_control_during_a_computation_is_harmless():
    calculator = toy(repeat=30)
    holder = {"control": tandril.ComputeControl()}
    results = []
    thread = threading.Thread(target=lambda: results.append(calculator.compute(*LARGE, control=holder.pop("control"))))
    thread.start()
    time.sleep(0.02)
    gc.collect()
    thread.join()
    np.testing.assert_array_equal(results[0], toy().compute(*LARGE))


def test_a_failed_computation_leaves_the_calculator_usable():
    calculator = toy()
    numbers, positions, cells, pbc, offsets = SMALL
    bad = positions.copy()
    bad[5, 0] = np.nan
    with pytest.raises(ValueError, match="^positions must be finite$"):
        calculator.compute(numbers, bad, cells, pbc, offsets)
    assert calculator.compute(*SMALL).shape == (24, 2)
