"""SOAP in the calculator frame: progress, cancellation before and during a computation, threads."""

from __future__ import annotations

import threading

import numpy as np
import pytest

import tandril
from conftest import cancelled_during, make_batch, random_triclinic
from soap_helpers import soap_options


def long_polynomial_options():
    # Many grid points and degrees: each atom takes long enough that a
    # computation over many atoms runs for seconds unless cancelled.
    return soap_options(rbf="polynomial", r_cut=4.0, n_max=6, l_max=12, sigma=0.4, grid_size=400)


def test_progress_counts_structures(rng):
    structures = [random_triclinic(rng, 4, species=(1, 8)) for _ in range(5)]
    control = tandril.ComputeControl()
    calculator = tandril.SoapCalculator(soap_options())
    calculator.compute(*make_batch(structures), control=control, inner_average=False)
    assert (control.completed(), control.total(), control.cancelled()) == (5, 5, False)
    calculator.compute(*make_batch(structures[:1]), control=control, inner_average=False)
    assert (control.completed(), control.total()) == (1, 1)


@pytest.mark.parametrize("count", [1, 3])
def test_cancel_before_start_is_cleared_by_the_start(rng, count):
    structures = [random_triclinic(rng, 4, species=(1, 8)) for _ in range(count)]
    calculator = tandril.SoapCalculator(soap_options())
    expected = calculator.compute(*make_batch(structures), inner_average=False)
    control = tandril.ComputeControl()
    control.cancel()
    out = calculator.compute(*make_batch(structures), control=control, inner_average=False)
    np.testing.assert_array_equal(out, expected)
    assert (control.cancelled(), control.completed()) == (False, count)


@pytest.mark.parametrize(
    "count, atoms", [(1, 3000), (400, 12)], ids=["one_structure", "several_structures"]
)
def test_cancel_during_a_computation(rng, count, atoms):
    structures = [random_triclinic(rng, atoms, species=(1, 8), volume_per_atom=10.0) for _ in range(count)]
    batch = make_batch(structures)
    calculator = tandril.SoapCalculator(long_polynomial_options())
    control = cancelled_during(lambda control: calculator.compute(*batch, control=control, inner_average=False),
                               delay=0.5)
    assert control.cancelled()
    assert control.total() == count
    assert control.completed() < count
    # the calculator is unharmed: a later computation runs normally
    small = make_batch(structures[:1] if count > 1 else [random_triclinic(rng, 3, species=(1, 8))])
    assert np.isfinite(calculator.compute(*small, inner_average=False)).all()


def test_cancelled_error_is_not_a_runtime_error(rng):
    assert issubclass(tandril.CancelledError, Exception)
    assert not issubclass(tandril.CancelledError, RuntimeError)


def run_in_threads(jobs):
    results = [None] * len(jobs)
    errors = []

    def run(index, job):
        try:
            results[index] = job()
        except BaseException as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=run, args=(k, job)) for k, job in enumerate(jobs)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors, errors
    return results


def test_two_threads_with_different_calculators_match_sequential_results(rng):
    structures = [random_triclinic(rng, 10, species=(1, 8), volume_per_atom=10.0) for _ in range(30)]
    batch = make_batch(structures)
    gto = tandril.SoapCalculator(soap_options(r_cut=4.0, n_max=5, l_max=6, sigma=0.5, compression=1))
    polynomial = tandril.SoapCalculator(soap_options(rbf="polynomial", r_cut=4.0, n_max=5, l_max=6, sigma=0.5))
    sequential = [gto.compute(*batch, inner_average=False), polynomial.compute(*batch, inner_average=False)]
    together = run_in_threads([lambda: gto.compute(*batch, inner_average=False),
                               lambda: polynomial.compute(*batch, inner_average=False)])
    for expected, actual in zip(sequential, together):
        np.testing.assert_array_equal(actual, expected)


def test_two_threads_sharing_one_calculator_are_serialised(rng):
    structures = [random_triclinic(rng, 8, species=(1, 8), volume_per_atom=10.0) for _ in range(20)]
    first, second = make_batch(structures[:10]), make_batch(structures[10:])
    calculator = tandril.SoapCalculator(soap_options(r_cut=4.0, n_max=4, l_max=5, sigma=0.5))
    expected = [calculator.compute(*first, inner_average=False), calculator.compute(*second, inner_average=False)]
    together = run_in_threads([lambda: calculator.compute(*first, inner_average=False),
                               lambda: calculator.compute(*second, inner_average=False)])
    for want, got in zip(expected, together):
        np.testing.assert_array_equal(got, want)
