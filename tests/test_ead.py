"""compute_ead: values against a slow NumPy reference, hand cases, invariances, errors, cancellation and threads."""

from __future__ import annotations

import math
import threading

import numpy as np
import pytest

import tandril
from conftest import cancelled_during, diamond_silicon, make_batch, random_triclinic, rock_salt, rotation_matrix, run_concurrently, supercell
from local_environment_reference import neighbour_environment

ETA = [0.3, 1.0, 2.5]
RS = [0.0, 1.5, 2.2, 3.0]


def ead_reference(structure, max_degree=3, cutoff=4.5, eta=ETA, rs=RS):
    """Per atom: W over every (a, b, c) with a + b + c <= max_degree, then the cumulative degree sums."""
    numbers, positions, cell = structure
    triples = [(a, b, d - a - b) for d in range(max_degree + 1) for a in range(d + 1) for b in range(d - a + 1)]
    out = np.zeros((len(numbers), len(eta) * (max_degree + 1) * len(rs)))
    for i in range(len(numbers)):
        vectors, atoms = neighbour_environment(positions, cell, cutoff, i)
        w = np.zeros((len(triples), len(eta), len(rs)))
        for v, j in zip(vectors, atoms):
            r = np.linalg.norm(v)
            if r <= 0 or r >= cutoff:
                continue
            fc = 0.5 * (math.cos(math.pi * r / cutoff) + 1.0)
            gauss = np.exp(-np.outer(eta, np.ones(len(rs))) * (r - np.asarray(rs)) ** 2)
            for k, (a, b, c) in enumerate(triples):
                moment = v[0] ** a * v[1] ** b * v[2] ** c / math.sqrt(
                    math.factorial(a) * math.factorial(b) * math.factorial(c))
                w[k] += gauss * moment * numbers[j] * fc
        degrees = np.array([sum(t) for t in triples])
        rho = [math.factorial(d) * np.sum(w[degrees <= d] ** 2, axis=0) / cutoff ** (2 * d)
               for d in range(max_degree + 1)]
        out[i] = np.stack(rho).reshape(-1)  # degree, then eta, then rs
    return out


def ead(structures, **kwargs):
    kwargs.setdefault("cutoff", 4.5)
    kwargs.setdefault("eta", ETA)
    kwargs.setdefault("rs", RS)
    return tandril.compute_ead(*make_batch(structures), **kwargs)


def test_single_value_hand_case():
    numbers, positions, cell = rock_salt()
    result = ead([(numbers, positions, cell)], max_degree=0, cutoff=4.0, eta=[1.0], rs=[0.0])
    assert result.shape == (8, 1)
    for i in range(8):
        vectors, atoms = neighbour_environment(positions, cell, 4.0, i)
        r = np.linalg.norm(vectors, axis=1)
        keep = r < 4.0
        fc = 0.5 * (np.cos(np.pi * r / 4.0) + 1.0)
        expected = np.sum((numbers[atoms] * fc * np.exp(-r**2))[keep]) ** 2
        np.testing.assert_allclose(result[i, 0], expected, rtol=1e-13)


@pytest.mark.parametrize("max_degree", [0, 1, 3])
def test_values_against_the_reference(max_degree):
    structure = random_triclinic(np.random.default_rng(max_degree), 10, species=(1, 8, 14), volume_per_atom=10.0)
    result = ead([structure], max_degree=max_degree)
    assert result.shape == (10, len(ETA) * (max_degree + 1) * len(RS))
    np.testing.assert_allclose(result, ead_reference(structure, max_degree), rtol=1e-11, atol=1e-300)


def test_degree_one_holds_the_degree_zero_sum_as_well():
    structure = random_triclinic(np.random.default_rng(9), 6, species=(1, 8), volume_per_atom=10.0)
    numbers, positions, cell = structure
    result = ead([structure], max_degree=1, cutoff=4.0, eta=[0.7], rs=[1.1])
    for i in range(len(numbers)):
        vectors, atoms = neighbour_environment(positions, cell, 4.0, i)
        r = np.linalg.norm(vectors, axis=1)
        weight = numbers[atoms] * 0.5 * (np.cos(np.pi * r / 4.0) + 1.0) * np.exp(-0.7 * (r - 1.1) ** 2)
        w000 = weight.sum()
        w100, w010, w001 = (weight[:, None] * vectors).sum(axis=0)
        np.testing.assert_allclose(result[i], [w000**2, (w000**2 + w100**2 + w010**2 + w001**2) / 16.0], rtol=1e-12)


def test_doubled_atomic_numbers_multiply_every_value_by_four():
    numbers, positions, cell = random_triclinic(np.random.default_rng(4), 9, species=(1, 6, 8), volume_per_atom=9.0)
    single = ead([(numbers, positions, cell)])
    double = ead([(2 * numbers, positions, cell)])
    np.testing.assert_allclose(double, 4.0 * single, rtol=1e-13)


def test_no_neighbour_gives_a_zero_row_and_the_cutoff_itself_is_excluded():
    cell = np.diag([20.0, 20.0, 20.0])
    alone = ead([([6], [[1.0, 1.0, 1.0]], cell)], cutoff=4.0)
    assert alone.shape == (1, 48) and not alone.any()
    exactly_at_cutoff = ead([([6, 8], [[1.0, 1.0, 1.0], [5.0, 1.0, 1.0]], cell)], cutoff=4.0)
    assert not exactly_at_cutoff.any()


def test_rotation_translation_permutation_and_supercell_invariance(rng):
    numbers, positions, cell = random_triclinic(rng, 8, species=(1, 8), volume_per_atom=10.0)
    reference = ead([(numbers, positions, cell)])
    rotation = rotation_matrix(rng)
    np.testing.assert_allclose(ead([(numbers, positions @ rotation.T, cell @ rotation.T)]), reference, rtol=1e-9)
    np.testing.assert_allclose(ead([(numbers, positions + rng.normal(size=3), cell)]), reference, rtol=1e-9)
    order = rng.permutation(len(numbers))
    np.testing.assert_allclose(ead([(numbers[order], positions[order], cell)]), reference[order], rtol=1e-9)
    big = ead([supercell((numbers, positions, cell), (1, 2, 2))])
    np.testing.assert_allclose(big, np.tile(reference, (4, 1)), rtol=1e-9)


def test_structures_are_independent_and_keywords_work():
    structures = [diamond_silicon(), rock_salt()]
    together = ead(structures)
    np.testing.assert_array_equal(together, np.concatenate([ead([s]) for s in structures]))
    numbers, positions, cells, pbc, offsets = make_batch(structures)
    by_keyword = tandril.compute_ead(offsets=offsets, pbc=pbc, cells=cells, positions=positions, numbers=numbers,
                                     rs=RS, eta=ETA, cutoff=4.5, control=None)
    np.testing.assert_array_equal(by_keyword, together)
    default = tandril.compute_ead(numbers, positions, cells, pbc, offsets, eta=[1.0], rs=[0.0])
    assert default.shape == (16, 4)  # max_degree 3, cutoff 6
    with pytest.raises(TypeError):
        tandril.compute_ead(numbers, positions, cells, pbc, offsets)  # eta and rs are required
    empty = tandril.compute_ead(np.zeros(0, np.int32), np.zeros((0, 3)), np.zeros((0, 3, 3)),
                                np.zeros((0, 3), np.int32), np.zeros(1, np.int64), eta=[1.0], rs=[0.0, 1.0])
    assert empty.shape == (0, 8)


# ----------------------------------------------------------------------------------------------------------
# errors


BATCH = make_batch([rock_salt()])


@pytest.mark.parametrize(
    "kwargs",
    [dict(eta=[]), dict(rs=[]), dict(max_degree=-1), dict(cutoff=0.0), dict(cutoff=-2.0),
     dict(eta=[], rs=[], max_degree=-5)],
)
def test_invalid_ead_parameters(kwargs):
    arguments = dict(eta=ETA, rs=RS) | kwargs
    with pytest.raises(ValueError, match="^invalid EAD parameters$"):
        tandril.compute_ead(*BATCH, **arguments)


@pytest.mark.parametrize("cutoff", [float("nan"), float("inf")])
def test_non_finite_cutoff_is_refused_by_the_neighbour_search(cutoff):
    with pytest.raises(ValueError, match="^neighbor cutoff must be finite and positive$"):
        tandril.compute_ead(*BATCH, cutoff=cutoff, eta=ETA, rs=RS)


def test_any_eta_and_rs_values_are_accepted():
    result = tandril.compute_ead(*BATCH, eta=[-0.1, 0.0], rs=[-1.0, 10.0])
    assert result.shape == (8, 16) and np.all(np.isfinite(result))


def test_batch_errors_come_first():
    numbers, positions, cells, pbc, offsets = BATCH
    with pytest.raises(ValueError, match="^atomic numbers must be positive$"):
        tandril.compute_ead(np.zeros_like(numbers), positions, cells, pbc, offsets, eta=[], rs=[])
    with pytest.raises(ValueError, match="^offsets do not describe the flattened arrays$"):
        tandril.compute_ead(numbers, positions, cells, pbc, np.array([1, 8]), eta=[], rs=[])
    with pytest.raises(ValueError, match="^only fully periodic structures are supported$"):
        tandril.compute_ead(numbers, positions, cells, np.zeros_like(pbc), offsets, eta=[], rs=[])
    with pytest.raises(ValueError, match="^StructureBatch arrays have inconsistent lengths$"):
        tandril.compute_ead(numbers, positions, cells, pbc, offsets[:1], eta=[], rs=[])


# ----------------------------------------------------------------------------------------------------------
# control and threads


MANY = make_batch([supercell(diamond_silicon(), (2, 2, 2))] * 60)


def test_progress_is_reported_per_structure():
    control = tandril.ComputeControl()
    tandril.compute_ead(*make_batch([rock_salt()] * 3), eta=ETA, rs=RS, control=control)
    assert (control.cancelled(), control.completed(), control.total()) == (False, 3, 3)


def test_a_flag_set_before_the_call_cancels_it_at_once():
    control = tandril.ComputeControl()
    control.reset(7)
    control.cancel()
    with pytest.raises(tandril.CancelledError, match="^descriptor computation cancelled$"):
        tandril.compute_ead(*MANY, eta=ETA, rs=RS, control=control)
    assert (control.cancelled(), control.completed(), control.total()) == (True, 0, 7)


def test_cancellation_during_a_computation():
    control = cancelled_during(lambda control: tandril.compute_ead(*MANY, eta=ETA * 3, rs=RS * 2, control=control))
    assert control.cancelled() and control.completed() < 60


def test_two_threads_compute_at_once_with_the_sequential_results():
    batch = make_batch([supercell(diamond_silicon(), (2, 2, 2)), supercell(rock_salt(), (2, 2, 2))] * 4)
    expected = tandril.compute_ead(*batch, eta=ETA, rs=RS)
    for result in run_concurrently(lambda: tandril.compute_ead(*batch, eta=ETA, rs=RS)):
        np.testing.assert_array_equal(result, expected)


def test_dropping_the_control_during_a_computation_is_harmless():
    holder = {"control": tandril.ComputeControl()}
    results = []
    batch = make_batch([supercell(diamond_silicon(), (2, 2, 2))] * 10)
    thread = threading.Thread(target=lambda: results.append(
        tandril.compute_ead(*batch, eta=ETA, rs=RS, control=holder.pop("control"))))
    thread.start()
    thread.join()
    np.testing.assert_array_equal(results[0], tandril.compute_ead(*batch, eta=ETA, rs=RS))
