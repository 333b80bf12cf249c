"""C00PS-MLFF: radial basis, layout, values against a slow NumPy reference, normalisations, errors and the frame."""

from __future__ import annotations

import functools
import gc
import math
import threading
import time

import numpy as np
import pytest
from scipy.optimize import brentq
from scipy.special import eval_legendre, spherical_jn

import tandril
from conftest import (cancelled_during, close_while_a_call_waits, make_batch, random_triclinic, rock_salt, rotation_matrix, run_concurrently,
                      supercell)
from local_environment_reference import neighbour_environment

# First zeros of j_1 .. j_4 (tables of Bessel function zeros); those of j_0 are k pi.
KNOWN_ZEROS = {
    1: [4.493409457909064, 7.725251836937707, 10.904121659428899, 14.066193912831473, 17.220755271930768],
    2: [5.763459196894550, 9.095011330476355, 12.322940970566582, 15.514603010886749, 18.689036355362823],
    3: [6.987932000500520, 10.417118547379365, 13.698023153249249, 16.923621285213841],
    4: [8.182561452571243, 11.704907154570391, 15.039664707616520, 18.301255959541990],
}


@functools.cache
def bessel_zeros(l: int, count: int) -> list[float]:
    """The first zeros of j_l, bracketed on a fine grid above l + 1/2 (below it j_l has none)."""
    grid = np.arange(l + 0.5, (count + l + 8) * np.pi, 0.05)
    values = spherical_jn(l, grid)
    zeros = [brentq(lambda x: spherical_jn(l, x), a, b, xtol=1e-15, rtol=1e-15)
             for a, b, fa, fb in zip(grid[:-1], grid[1:], values[:-1], values[1:]) if fa * fb < 0]
    return zeros[:count]


def test_reference_zeros_match_the_tables():
    np.testing.assert_allclose(bessel_zeros(0, 8), np.pi * np.arange(1, 9), rtol=1e-15)
    for l, table in KNOWN_ZEROS.items():
        np.testing.assert_allclose(bessel_zeros(l, len(table)), table, rtol=1e-15)


@functools.cache
def reference_basis(r_cut: float, n_radial: int, l_max: int):
    zeros = [bessel_zeros(l, n_radial) for l in range(l_max + 1)]
    reach = min(z[-1] for z in zeros)
    counts = [max(1, sum(q <= reach for q in z)) for z in zeros]
    x, w = np.polynomial.legendre.leggauss(400)
    r = (x + 1) * r_cut / 2
    norms = [[math.sqrt(np.sum(w * r_cut / 2 * r**2 * spherical_jn(l, q * r / r_cut) ** 2)) for q in z[:counts[l]]]
             for l, z in enumerate(zeros)]
    return zeros, counts, norms


def reference_cutoff(kind: int, r: float, r_cut: float) -> float:
    if r > r_cut:
        return 0.0
    if kind == 0:
        return 0.5 * (math.cos(math.pi * r / r_cut) + 1)
    if kind == 1:
        t = 4 * r / r_cut - 3
        return 1.0 if t < -1 else ((t**3 - 3 * t + 2) / 4 if t < 1 else 0.0)
    r_on = r_cut - 0.5 if r_cut > 0.5 else r_cut / 2
    switch = 1.0 if r <= r_on else (2 * r**2 + r_cut**2 - 3 * r_on**2) * (r_cut**2 - r**2) ** 2 / (r_cut**2 - r_on**2) ** 3
    return switch if kind == 2 else switch / (1 + (r / 2) ** 7)


def c00ps_reference(structure, species, r_cut=6.0, n_radial=8, l_max=4, cutoff_function=0, include_radial=True,
                    include_angular=True, normalize_radial=False, normalize_angular=False, super_vector=False,
                    radial_weight=1.0, angular_weight=1.0, exclude_self_interaction=True):
    numbers, positions, cell = structure
    zeros, counts, norms = reference_basis(r_cut, n_radial, l_max)
    degrees = l_max + 1 if include_angular else 1
    rows = []
    for i in range(len(numbers)):
        vectors, atoms = neighbour_environment(positions, cell, r_cut, i)
        keep = np.einsum("ij,ij->i", vectors, vectors) > 1e-24
        vectors, atoms = vectors[keep], atoms[keep]
        r = np.linalg.norm(vectors, axis=1)
        s = np.array([species.index(numbers[j]) for j in atoms], dtype=int)
        fc = np.array([reference_cutoff(cutoff_function, x, r_cut) for x in r])
        gamma = []  # per degree: (neighbours, S * count)
        for l in range(degrees):
            g = np.zeros((len(r), len(species) * counts[l]))
            for n in range(counts[l]):
                g[np.arange(len(r)), s * counts[l] + n] = spherical_jn(l, zeros[l][n] * r / r_cut) * fc / norms[l][n]
            gamma.append(g)
        radial = gamma[0].sum(axis=0) / (2 * math.sqrt(math.pi)) if include_radial else np.zeros(0)
        angular = []
        if include_angular:
            cosines = np.clip(vectors @ vectors.T / np.outer(r, r), -1, 1) if len(r) else np.zeros((0, 0))
            for l in range(degrees):
                p = eval_legendre(l, cosines)
                if exclude_self_interaction:
                    np.fill_diagonal(p, 0.0)
                a = math.sqrt(8 * math.pi**2 / (2 * l + 1)) * (2 * l + 1) / (4 * math.pi) * gamma[l].T @ p @ gamma[l]
                angular.append(a[np.triu_indices(len(a))])
        angular = np.concatenate(angular) if angular else np.zeros(0)
        if include_radial and normalize_radial and radial @ radial > 1e-20:
            radial = radial / math.sqrt(radial @ radial)
        if include_angular and normalize_angular and angular @ angular > 1e-20:
            angular = angular / math.sqrt(angular @ angular)
        row = np.concatenate([radial * (math.sqrt(radial_weight) if super_vector else 1.0),
                              angular * (math.sqrt(angular_weight) if super_vector else 1.0)])
        if super_vector and row @ row > 1e-20:
            row = row / math.sqrt(row @ row)
        rows.append(row)
    return np.array(rows)


def c00ps_options(species, **fields) -> tandril.C00PSMlffOptions:
    options = tandril.C00PSMlffOptions()
    options.species = list(species)
    for name, value in fields.items():
        setattr(options, name, value)
    return options


def c00ps(species=(8, 1), **fields) -> tandril.C00PSMlffCalculator:
    return tandril.C00PSMlffCalculator(c00ps_options(species, **fields))


def water_like(seed=1, n_atoms=9, volume_per_atom=12.0):
    return random_triclinic(np.random.default_rng(seed), n_atoms, species=(8, 1), volume_per_atom=volume_per_atom)


def dimer(distance: float, numbers=(8, 1)):
    cell = np.eye(3) * 30.0
    return np.array(numbers), np.array([[10.0, 10.0, 10.0], [10.0 + distance, 10.0, 10.0]]), cell


# ----------------------------------------------------------------------------------------------------------
# options, basis and layout


def test_options_defaults():
    o = tandril.C00PSMlffOptions()
    assert (o.species, o.r_cut, o.n_radial, o.l_max, o.cutoff_function) == ([], 6.0, 8, 4, 0)
    assert (o.include_radial, o.include_angular, o.normalize_radial, o.normalize_angular, o.super_vector) == (
        True, True, False, False, False)
    assert (o.radial_weight, o.angular_weight, o.exclude_self_interaction, o.num_threads) == (1.0, 1.0, True, 0)


def test_default_basis_and_feature_count():
    calculator = c00ps(species=[1, 8])
    assert calculator.radial_counts == [8, 7, 7, 6, 6]
    assert calculator.feature_count == 16 + (136 + 105 + 105 + 78 + 78) == 518
    assert calculator.species == [1, 8]
    with pytest.raises(AttributeError):
        calculator.radial_counts = [1]


def test_calculator_copies_the_options():
    options = c00ps_options([8, 1])
    calculator = tandril.C00PSMlffCalculator(options)
    options.l_max = 1
    options.species = [1]
    assert calculator.radial_counts == [8, 7, 7, 6, 6] and calculator.species == [8, 1]


@pytest.mark.parametrize("n_radial, l_max", [(1, 0), (3, 2), (8, 4), (5, 8), (6, 12), (20, 3)])
def test_radial_counts_follow_the_bessel_zeros(n_radial, l_max):
    _, counts, _ = reference_basis(6.0, n_radial, l_max)
    assert c00ps(n_radial=n_radial, l_max=l_max).radial_counts == counts


@pytest.mark.parametrize(
    "flags, expected",
    [(dict(), 2 * 8 + sum(m * (m + 1) // 2 for m in (16, 14, 14, 12, 12))),
     (dict(include_angular=False), 16),
     (dict(include_radial=False), sum(m * (m + 1) // 2 for m in (16, 14, 14, 12, 12))),
     (dict(l_max=0, n_radial=3), 6 + 21)],
)
def test_feature_count_follows_the_blocks(flags, expected):
    assert c00ps(**flags).feature_count == expected


# ----------------------------------------------------------------------------------------------------------
# values


@pytest.mark.parametrize("distance", [0.9, 1.7, 3.3, 5.2])
def test_dimer_radial_block_has_the_closed_form_of_j0(distance):
    # zeros of j_0 are k pi and N_k = (r_c / q_k) sqrt(r_c / 2), so R_k = sin(q_k r / r_c) fc / (r sqrt(r_c/2) 2 sqrt(pi))
    result = c00ps(include_angular=False).compute(*make_batch([dimer(distance)]))
    q = np.pi * np.arange(1, 9)
    fc = 0.5 * (math.cos(math.pi * distance / 6.0) + 1)
    expected = np.sin(q * distance / 6.0) * fc / (distance * math.sqrt(3.0) * 2 * math.sqrt(math.pi))
    np.testing.assert_allclose(result[0, 8:], expected, rtol=1e-12, atol=1e-15)  # the H neighbour of O
    np.testing.assert_allclose(result[1, :8], expected, rtol=1e-12, atol=1e-15)  # the O neighbour of H
    assert not result[0, :8].any() and not result[1, 8:].any()


@pytest.mark.parametrize("cutoff_function", [0, 1, 2, 3])
@pytest.mark.parametrize("exclude_self", [True, False])
def test_values_against_the_reference(cutoff_function, exclude_self):
    structure = water_like(seed=cutoff_function + 1)
    fields = dict(r_cut=4.5, cutoff_function=cutoff_function, exclude_self_interaction=exclude_self)
    result = c00ps(**fields).compute(*make_batch([structure]))
    expected = c00ps_reference(structure, [8, 1], **fields)
    np.testing.assert_allclose(result, expected, rtol=1e-10, atol=1e-12 * np.abs(expected).max())


def test_high_degrees_use_accurate_bessel_values():
    # an upward recurrence alone loses every digit near r = 0 at these degrees, spoiling zeros and norms
    structure = water_like(seed=7, n_atoms=6)
    fields = dict(r_cut=4.0, n_radial=4, l_max=11)
    calculator = c00ps(**fields)
    result = calculator.compute(*make_batch([structure]))
    expected = c00ps_reference(structure, [8, 1], **fields)
    np.testing.assert_allclose(result, expected, rtol=1e-8, atol=1e-10 * np.abs(expected).max())


def test_zero_degree_diagonal_is_the_square_of_the_radial_block():
    structure = water_like(seed=3)
    result = c00ps(exclude_self_interaction=False).compute(*make_batch([structure]))
    m = 16
    diagonal = np.cumsum([0] + list(range(m, 1, -1)))  # positions of A_0[a][a] in the packed upper triangle
    np.testing.assert_allclose(result[:, m + diagonal], math.sqrt(8 * math.pi**2) * result[:, :m] ** 2,
                               rtol=1e-12, atol=1e-15)


@pytest.mark.parametrize("distance, full_weight", [(0.5, True), (2.9, True), (3.4, False), (5.9, False)])
def test_polynomial_step_keeps_full_weight_up_to_half_the_cutoff(distance, full_weight):
    cosine = c00ps(include_angular=False).compute(*make_batch([dimer(distance)]))[0, 8:]
    step = c00ps(include_angular=False, cutoff_function=1).compute(*make_batch([dimer(distance)]))[0, 8:]
    fc0 = 0.5 * (math.cos(math.pi * distance / 6.0) + 1)
    ratio = step / (cosine / fc0)
    if full_weight:
        np.testing.assert_allclose(ratio, 1.0, rtol=1e-13)
    else:
        t = 4 * distance / 6.0 - 3
        np.testing.assert_allclose(ratio, (t**3 - 3 * t + 2) / 4, rtol=1e-12)
    at_cutoff = c00ps(cutoff_function=1).compute(*make_batch([dimer(6.0)]))
    assert not at_cutoff.any()


@pytest.mark.parametrize(
    "fields",
    [dict(normalize_radial=True), dict(normalize_angular=True), dict(normalize_radial=True, normalize_angular=True),
     dict(super_vector=True, radial_weight=0.3, angular_weight=2.0),
     dict(super_vector=True, normalize_radial=True, include_angular=False),
     dict(super_vector=True, radial_weight=0.0, normalize_angular=True)],
)
def test_normalisations(fields):
    structure = water_like(seed=5)
    result = c00ps(r_cut=4.5, **fields).compute(*make_batch([structure]))
    expected = c00ps_reference(structure, [8, 1], r_cut=4.5, **fields)
    np.testing.assert_allclose(result, expected, rtol=1e-10, atol=1e-13)
    radial = result[:, :16]
    if fields.get("super_vector"):
        np.testing.assert_allclose(np.linalg.norm(result, axis=1), 1.0, rtol=1e-13)
    elif fields.get("normalize_radial"):
        np.testing.assert_allclose(np.linalg.norm(radial, axis=1), 1.0, rtol=1e-13)
    if fields.get("normalize_angular") and not fields.get("super_vector"):
        np.testing.assert_allclose(np.linalg.norm(result[:, 16:], axis=1), 1.0, rtol=1e-13)


def test_atom_without_neighbours_keeps_a_zero_row_under_every_normalisation():
    structure = (np.array([8, 1]), np.array([[1.0, 1.0, 1.0], [9.0, 9.0, 9.0]]), np.eye(3) * 20.0)
    for fields in (dict(), dict(normalize_radial=True, normalize_angular=True), dict(super_vector=True)):
        assert not c00ps(**fields).compute(*make_batch([structure])).any()


def test_rotation_translation_permutation_and_supercell_invariance(rng):
    numbers, positions, cell = water_like(seed=11, n_atoms=8)
    calculator = c00ps(r_cut=4.5)
    reference = calculator.compute(*make_batch([(numbers, positions, cell)]))
    rotation = rotation_matrix(rng)
    np.testing.assert_allclose(calculator.compute(*make_batch([(numbers, positions @ rotation.T, cell @ rotation.T)])),
                               reference, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(calculator.compute(*make_batch([(numbers, positions + rng.normal(size=3), cell)])),
                               reference, rtol=1e-9, atol=1e-12)
    order = rng.permutation(len(numbers))
    np.testing.assert_allclose(calculator.compute(*make_batch([(numbers[order], positions[order], cell)])),
                               reference[order], rtol=1e-9, atol=1e-12)
    salt = rock_salt()
    salt_calculator = c00ps(species=[11, 17], r_cut=4.5)
    rows = salt_calculator.compute(*make_batch([salt]))
    np.testing.assert_allclose(salt_calculator.compute(*make_batch([supercell(salt, (2, 2, 1))])),
                               np.tile(rows, (4, 1)), rtol=1e-9, atol=1e-12)


def test_structures_of_a_batch_are_independent_and_thread_counts_agree():
    structures = [water_like(seed=21, n_atoms=5), water_like(seed=22, n_atoms=7)]
    calculator = c00ps(r_cut=4.5)
    together = calculator.compute(*make_batch(structures))
    np.testing.assert_array_equal(together, np.concatenate([calculator.compute(*make_batch([s])) for s in structures]))
    for threads in (1, 4):
        np.testing.assert_array_equal(c00ps(r_cut=4.5, num_threads=threads).compute(*make_batch(structures)), together)


# ----------------------------------------------------------------------------------------------------------
# errors


@pytest.mark.parametrize(
    "species, fields, message",
    [
        ([], dict(r_cut=-1.0), "C00PS-MLFF species must not be empty"),
        ([8], dict(r_cut=0.0), "invalid C00PS-MLFF radial or angular parameters"),
        ([8], dict(r_cut=float("nan")), "invalid C00PS-MLFF radial or angular parameters"),
        ([8], dict(r_cut=float("inf")), "invalid C00PS-MLFF radial or angular parameters"),
        ([8], dict(n_radial=0), "invalid C00PS-MLFF radial or angular parameters"),
        ([8], dict(l_max=-1, cutoff_function=9), "invalid C00PS-MLFF radial or angular parameters"),
        ([8], dict(cutoff_function=4, radial_weight=-1.0), "invalid C00PS-MLFF cutoff function"),
        ([8], dict(cutoff_function=-1), "invalid C00PS-MLFF cutoff function"),
        ([0], dict(radial_weight=-0.5), "C00PS-MLFF weights must be finite and non-negative"),
        ([8], dict(angular_weight=float("inf")), "C00PS-MLFF weights must be finite and non-negative"),
        ([8], dict(angular_weight=float("nan")), "C00PS-MLFF weights must be finite and non-negative"),
        ([8, 0, 8], dict(include_radial=False, include_angular=False), "C00PS-MLFF species must be positive"),
        ([8, -3], dict(), "C00PS-MLFF species must be positive"),
        ([8, 1, 8], dict(include_radial=False, include_angular=False), "species must not contain duplicates"),
        ([8], dict(include_radial=False, include_angular=False),
         "at least one C00PS-MLFF descriptor block must be enabled"),
    ],
)
def test_construction_errors_in_order(species, fields, message):
    options = c00ps_options(species, **fields)
    with pytest.raises(ValueError, match=f"^{message}$"):
        tandril.C00PSMlffCalculator(options)


def test_weights_of_zero_and_both_single_blocks_are_accepted():
    assert c00ps(radial_weight=0.0, angular_weight=0.0).feature_count == 518
    assert c00ps(include_radial=False).feature_count == 502 and c00ps(include_angular=False).feature_count == 16


BATCH = make_batch([water_like(seed=41, n_atoms=6)])


def test_compute_errors():
    calculator = c00ps()
    numbers, positions, cells, pbc, offsets = BATCH
    with pytest.raises(ValueError, match="^only fully periodic structures are supported$"):
        calculator.compute(numbers, positions, cells, np.zeros_like(pbc), offsets)
    with pytest.raises(ValueError, match="^positions must be finite$"):
        calculator.compute(numbers, np.full_like(positions, np.nan), cells, pbc, offsets)
    with pytest.raises(ValueError, match="^batch contains an atomic number outside calculator species$"):
        calculator.compute(np.full_like(numbers, 6), positions, cells, pbc, offsets)
    with pytest.raises(ValueError, match="^atomic numbers must be positive$"):
        calculator.compute(np.zeros_like(numbers), positions, cells, pbc, offsets)
    assert calculator.compute(*BATCH).shape == (6, 518)  # a failed call leaves the calculator usable
    calculator.close()
    calculator.close()
    assert calculator.closed() is True
    with pytest.raises(RuntimeError, match="^C00PS-MLFF calculator is closed$"):
        calculator.compute(numbers, positions, cells, np.zeros_like(pbc), offsets)
    assert calculator.radial_counts == [8, 7, 7, 6, 6] and calculator.feature_count == 518


# ----------------------------------------------------------------------------------------------------------
# calculator frame


LONG = make_batch([supercell(water_like(seed=51, n_atoms=12), (2, 2, 2))] * 120)


def test_a_flag_set_before_the_call_is_cleared_and_progress_is_reported():
    control = tandril.ComputeControl()
    control.cancel()
    c00ps(r_cut=4.0).compute(*make_batch([water_like(seed=61, n_atoms=4)] * 3), control=control)
    assert (control.cancelled(), control.completed(), control.total()) == (False, 3, 3)


@pytest.mark.parametrize("batch", [LONG, make_batch([supercell(water_like(seed=52, n_atoms=12), (3, 3, 3))])],
                         ids=["many structures", "one large structure"])
def test_cancellation_during_a_computation(batch):
    control = cancelled_during(lambda control: c00ps().compute(*batch, control=control))
    assert control.cancelled() and control.completed() < control.total()


def test_a_waiting_call_fails_once_the_calculator_is_closed():
    assert close_while_a_call_waits(c00ps(), LONG, BATCH) == "C00PS-MLFF calculator is closed"


def test_two_threads_compute_at_once_with_the_sequential_results():
    batch = make_batch([water_like(seed=70 + k, n_atoms=10) for k in range(3)])
    shared = c00ps(r_cut=4.5)
    expected = shared.compute(*batch)
    for results in (run_concurrently(lambda: shared.compute(*batch)),
                    run_concurrently(lambda: c00ps(r_cut=4.5).compute(*batch))):
        for result in results:
            np.testing.assert_array_equal(result, expected)


def test_dropping_the_control_during_a_computation_is_harmless():
    calculator = c00ps(r_cut=4.5)
    batch = make_batch([water_like(seed=81, n_atoms=10)] * 8)
    holder = {"control": tandril.ComputeControl()}
    results = []
    thread = threading.Thread(target=lambda: results.append(calculator.compute(*batch, control=holder.pop("control"))))
    thread.start()
    time.sleep(0.02)
    gc.collect()
    thread.join()
    np.testing.assert_array_equal(results[0], calculator.compute(*batch))
