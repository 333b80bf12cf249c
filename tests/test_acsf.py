"""ACSF: options record, layout, values against a slow NumPy reference, invariances, errors and the calculator frame."""

from __future__ import annotations

import gc
import math
import threading
import time

import numpy as np
import pytest

import tandril
from conftest import (cancelled_during, close_while_a_call_waits, diamond_silicon, make_batch, random_triclinic, rock_salt, rotation_matrix,
                      run_concurrently,
                      supercell)
from local_environment_reference import neighbour_environment

SPECIES = [8, 1, 6]
G2 = [(0.5, 1.0), (2.0, 2.5), (0.5, 1.0)]  # a repeated term must give a repeated value
G3 = [1.0, -0.5, 0.0]
# repeated etas and shapes (zeta, lambda), zeta 1 and 2, a non-integer zeta and lambda 0
G4 = [(0.01, 1.0, 1.0), (0.01, 2.0, -1.0), (0.05, 1.0, 1.0), (0.01, 4.0, 1.0), (0.05, 3.5, -1.0),
      (0.01, 1.0, 1.0), (0.02, 2.0, 0.0)]
G5 = [(0.01, 1.0, 1.0), (0.02, 2.0, -1.0), (0.01, 2.5, 1.0)]


def acsf_options(species=SPECIES, r_cut=4.5, g2=G2, g3=G3, g4=G4, g5=G5, num_threads=0) -> tandril.AcsfOptions:
    options = tandril.AcsfOptions()
    options.species = list(species)
    options.r_cut = r_cut
    options.g2_params = [v for term in g2 for v in term]
    options.g3_params = list(g3)
    options.g4_params = [v for term in g4 for v in term]
    options.g5_params = [v for term in g5 for v in term]
    options.n_g2, options.n_g3, options.n_g4, options.n_g5 = len(g2), len(g3), len(g4), len(g5)
    options.num_threads = num_threads
    return options


def acsf(**kwargs) -> tandril.AcsfCalculator:
    return tandril.AcsfCalculator(acsf_options(**kwargs))


def cosine_cutoff(r, r_cut):
    return 0.5 * (np.cos(np.pi * r / r_cut) + 1.0)


def acsf_reference(structure, species=SPECIES, r_cut=4.5, g2=G2, g3=G3, g4=G4, g5=G5):
    """Row by row, pair by pair, with every term evaluated on its own."""
    numbers, positions, cell = structure
    n_species = len(species)
    radial = 1 + len(g2) + len(g3)
    angular = len(g4) + len(g5)
    out = np.zeros((len(numbers), n_species * radial + n_species * (n_species + 1) // 2 * angular))
    for i in range(len(numbers)):
        vectors, atoms = neighbour_environment(positions, cell, r_cut, i)
        r = np.linalg.norm(vectors, axis=1)
        fc = cosine_cutoff(r, r_cut)
        s = [species.index(numbers[j]) for j in atoms]
        for n in range(len(r)):
            block = out[i, s[n] * radial:(s[n] + 1) * radial]
            block[0] += fc[n]
            for k, (eta, shift) in enumerate(g2):
                block[1 + k] += math.exp(-eta * (r[n] - shift) ** 2) * fc[n]
            for k, kappa in enumerate(g3):
                block[1 + len(g2) + k] += math.cos(kappa * r[n]) * fc[n]
        for j in range(len(r)):
            for k in range(j):
                if r[j] == 0 or r[k] == 0:
                    continue
                r_jk = np.linalg.norm(vectors[j] - vectors[k])
                cos = min(1.0, max(-1.0, vectors[j] @ vectors[k] / (r[j] * r[k])))
                lo, hi = sorted((s[j], s[k]))
                block = out[i, n_species * radial + (lo + hi * (hi + 1) // 2) * angular:][:angular]
                for t, (eta, zeta, lam) in enumerate(g4):
                    if r_jk <= r_cut:
                        block[t] += (2.0 ** (1 - zeta) * (1 + lam * cos) ** zeta
                                     * math.exp(-eta * (r[j] ** 2 + r[k] ** 2 + r_jk ** 2))
                                     * fc[j] * fc[k] * cosine_cutoff(r_jk, r_cut))
                for t, (eta, zeta, lam) in enumerate(g5):
                    block[len(g4) + t] += (2.0 ** (1 - zeta) * (1 + lam * cos) ** zeta
                                           * math.exp(-eta * (r[j] ** 2 + r[k] ** 2)) * fc[j] * fc[k])
    return out


def three_species_structure(seed=11, n_atoms=12):
    return random_triclinic(np.random.default_rng(seed), n_atoms, species=(8, 1, 6), volume_per_atom=11.0)


# ----------------------------------------------------------------------------------------------------------
# options record and layout


def test_options_defaults_and_list_fields():
    options = tandril.AcsfOptions()
    assert options.species == [] and options.r_cut == 6.0 and options.num_threads == 0
    assert [options.g2_params, options.g3_params, options.g4_params, options.g5_params] == [[], [], [], []]
    assert (options.n_g2, options.n_g3, options.n_g4, options.n_g5) == (0, 0, 0, 0)
    options.g4_params = [1.0, 2.0, 3.0]
    options.g4_params.append(4.0)  # a read returns a new list
    assert options.g4_params == [1.0, 2.0, 3.0]
    with pytest.raises(TypeError):
        options.n_g2 = 1.5


def test_calculator_copies_the_options():
    options = acsf_options()
    calculator = tandril.AcsfCalculator(options)
    count = calculator.feature_count
    options.species = [1]
    options.n_g4 = 0
    assert calculator.species == SPECIES and calculator.feature_count == count


@pytest.mark.parametrize(
    "n_species, counts, expected",
    [(0, (0, 0, 0, 0), 0), (1, (0, 0, 0, 0), 1), (2, (3, 1, 0, 0), 10), (3, (2, 1, 4, 2), 3 * 4 + 6 * 6),
     (4, (0, 0, 1, 0), 4 + 10)],
)
def test_feature_count(n_species, counts, expected):
    options = tandril.AcsfOptions()
    options.species = list(range(1, n_species + 1))
    options.n_g2, options.n_g3, options.n_g4, options.n_g5 = counts
    assert tandril.AcsfCalculator(options).feature_count == expected


def test_species_pair_blocks_follow_the_documented_order():
    # only A-B and B-B neighbour pairs exist around the A atom of an A B B chain
    cell = np.diag([30.0, 30.0, 30.0])
    positions = np.array([[10.0, 10.0, 10.0], [11.5, 10.0, 10.0], [10.0, 11.8, 10.0]])
    g4 = [(0.1, 1.0, 1.0)]
    result = acsf(species=[7, 8, 9], r_cut=4.0, g2=[], g3=[], g4=g4, g5=[]).compute(
        *make_batch([([7, 8, 8], positions, cell)]))
    angular = result[0, 3:]  # pairs (A,A), (A,B), (B,B), (A,C), (B,C), (C,C)
    assert angular[2] > 0 and np.count_nonzero(angular) == 1
    angular = result[1, 3:]  # around a B atom: one A and one B neighbour
    assert angular[1] > 0 and np.count_nonzero(angular) == 1


# ----------------------------------------------------------------------------------------------------------
# values


def test_single_species_without_functions_is_the_sum_of_cutoff_values():
    structure = diamond_silicon()
    result = acsf(species=[14], r_cut=5.0, g2=[], g3=[], g4=[], g5=[]).compute(*make_batch([structure]))
    assert result.shape == (8, 1)
    vectors, _ = neighbour_environment(structure[1], structure[2], 5.0, 0)
    expected = cosine_cutoff(np.linalg.norm(vectors, axis=1), 5.0).sum()
    np.testing.assert_allclose(result[:, 0], expected, rtol=1e-13)


@pytest.mark.parametrize("seed", [11, 12])
def test_every_function_against_the_reference(seed):
    structure = three_species_structure(seed)
    result = acsf().compute(*make_batch([structure]))
    expected = acsf_reference(structure)
    np.testing.assert_allclose(result, expected, rtol=1e-11, atol=1e-13 * np.abs(expected).max())
    # repeated terms give repeated values
    np.testing.assert_array_equal(result[:, 1], result[:, 3])
    g4 = slice(3 * 7, 3 * 7 + len(G4))
    np.testing.assert_array_equal(result[:, g4][:, 0], result[:, g4][:, 5])


def test_g4_against_a_direct_triple_loop_with_distinct_parameters():
    g4 = [(0.003 * (k + 1), 1.0 + 0.7 * k, (-1.0) ** k) for k in range(6)]
    structure = random_triclinic(np.random.default_rng(3), 10, species=(1, 8), volume_per_atom=9.0)
    result = acsf(species=[1, 8], r_cut=4.0, g2=[], g3=[], g4=g4, g5=[]).compute(*make_batch([structure]))
    expected = acsf_reference(structure, species=[1, 8], r_cut=4.0, g2=[], g3=[], g4=g4, g5=[])
    np.testing.assert_allclose(result, expected, rtol=1e-11, atol=1e-14)


def test_small_cell_sees_only_periodic_images_of_itself():
    cell = np.eye(3) * 2.5
    result = acsf(species=[1], r_cut=4.0).compute(*make_batch([([1], [[0.3, 0.2, 0.1]], cell)]))
    expected = acsf_reference(([1], np.array([[0.3, 0.2, 0.1]]), cell), species=[1], r_cut=4.0)
    assert result[0, 0] > 0
    np.testing.assert_allclose(result, expected, rtol=1e-11, atol=1e-14)


def test_neighbour_exactly_at_the_cutoff_contributes_nothing():
    cell = np.diag([20.0, 20.0, 20.0])
    inside = ([1, 1], [[5.0, 5.0, 5.0], [6.0, 5.0, 5.0]], cell)
    with_far = ([1, 1, 1], [[5.0, 5.0, 5.0], [6.0, 5.0, 5.0], [8.0, 5.0, 5.0]], cell)  # 3.0 from the first atom
    calculator = acsf(species=[1], r_cut=3.0, g4=[(0.1, 1.0, 1.0)], g5=[(0.1, 1.0, 1.0)])
    near = calculator.compute(*make_batch([inside]))
    far = calculator.compute(*make_batch([with_far]))
    np.testing.assert_array_equal(far[0], near[0])


def test_pair_farther_apart_than_the_cutoff_counts_for_g5_only():
    # two neighbours on opposite sides of the centre, 2.6 apart from it and 5.2 from each other
    cell = np.diag([30.0, 30.0, 30.0])
    positions = [[10.0, 10.0, 10.0], [12.6, 10.0, 10.0], [7.4, 10.0, 10.0]]
    result = acsf(species=[1], r_cut=3.0, g2=[], g3=[], g4=[(0.1, 1.0, -1.0)], g5=[(0.1, 1.0, -1.0)]).compute(
        *make_batch([([1, 1, 1], positions, cell)]))
    fc = cosine_cutoff(2.6, 3.0)
    assert result[0, 1] == 0.0  # G4
    np.testing.assert_allclose(result[0, 2], 2.0 * 1.0 * math.exp(-0.1 * 2 * 2.6**2) * fc * fc, rtol=1e-14)


def collinear_triple():
    """A centre and two neighbours on one side of it along a line, where cos theta rounds to just above 1."""
    rng = np.random.default_rng(0)
    while True:
        centre = rng.uniform(5, 15, 3)
        direction = rng.normal(size=3)
        direction /= np.linalg.norm(direction)
        a, b = centre + 1.3 * direction, centre + 2.9 * direction
        va, vb = a - centre, b - centre
        ra = np.sqrt(va[0] * va[0] + va[1] * va[1] + va[2] * va[2])
        rb = np.sqrt(vb[0] * vb[0] + vb[1] * vb[1] + vb[2] * vb[2])
        if (va[0] * vb[0] + va[1] * vb[1] + va[2] * vb[2]) / (ra * rb) > 1.0:
            return [1, 1, 1], np.array([centre, a, b]), np.eye(3) * 20.0


def test_collinear_neighbours_with_cosine_rounded_above_one_give_no_nan():
    structure = collinear_triple()
    terms = [(0.05, 1.5, -1.0), (0.05, 0.5, -1.0), (0.05, 1.5, 1.0)]
    result = acsf(species=[1], r_cut=6.0, g2=[], g3=[], g4=terms, g5=terms).compute(*make_batch([structure]))
    assert np.all(np.isfinite(result))
    # around the centre (1 + lambda cos) is 0 exactly for lambda = -1, and 2 for lambda = 1
    assert result[0, 1:3].tolist() == [0.0, 0.0] and result[0, 4:6].tolist() == [0.0, 0.0]
    assert result[0, 3] > 0 and result[0, 6] > 0


def test_coincident_atoms_are_neighbours_but_form_no_angle():
    cell = np.eye(3) * 15.0
    positions = [[5.0, 5.0, 5.0], [5.0, 5.0, 5.0], [6.2, 5.0, 5.0]]
    result = acsf(species=[1], r_cut=3.0, g2=[], g3=[], g4=[(0.1, 1.0, 1.0)], g5=[(0.1, 1.0, 1.0)]).compute(
        *make_batch([([1, 1, 1], positions, cell)]))
    # atom 0 sees atom 1 at distance 0 (fc = 1) and atom 2; the pair with the coincident atom is skipped
    np.testing.assert_allclose(result[0], [1.0 + cosine_cutoff(1.2, 3.0), 0.0, 0.0], rtol=1e-15)


# ----------------------------------------------------------------------------------------------------------
# invariances and batches


def test_rotation_translation_and_permutation_invariance(rng):
    numbers, positions, cell = three_species_structure(21)
    calculator = acsf()
    reference = calculator.compute(*make_batch([(numbers, positions, cell)]))
    rotation = rotation_matrix(rng)
    rotated = calculator.compute(*make_batch([(numbers, positions @ rotation.T, cell @ rotation.T)]))
    np.testing.assert_allclose(rotated, reference, rtol=1e-10, atol=1e-12)
    shift = rng.normal(size=3)
    translated = calculator.compute(*make_batch([(numbers, positions + shift, cell)]))
    np.testing.assert_allclose(translated, reference, rtol=1e-10, atol=1e-12)
    order = rng.permutation(len(numbers))
    permuted = calculator.compute(*make_batch([(numbers[order], positions[order], cell)]))
    np.testing.assert_allclose(permuted, reference[order], rtol=1e-10, atol=1e-12)


def test_supercell_rows_repeat_the_primitive_rows():
    primitive = rock_salt()
    calculator = acsf(species=[11, 17], r_cut=5.0)
    rows = calculator.compute(*make_batch([primitive]))
    big = calculator.compute(*make_batch([supercell(primitive, (2, 1, 2))]))
    np.testing.assert_allclose(big, np.tile(rows, (4, 1)), rtol=1e-10, atol=1e-12)


def test_structures_of_a_batch_are_computed_independently_and_all_paths_agree():
    structures = [three_species_structure(31, 9), (np.array([1]), np.zeros((1, 3)), np.eye(3) * 3.1),
                  three_species_structure(32, 7)]
    calculator = acsf()
    together = calculator.compute(*make_batch(structures))
    alone = np.concatenate([calculator.compute(*make_batch([s])) for s in structures])
    np.testing.assert_array_equal(together, alone)
    for threads in (1, 3):
        np.testing.assert_array_equal(acsf(num_threads=threads).compute(*make_batch(structures)), together)
        np.testing.assert_array_equal(acsf(num_threads=threads).compute(*make_batch(structures[:1])),
                                      together[:9])


def test_empty_batches_and_empty_structures():
    numbers, positions, cell = three_species_structure(5, 4)
    calculator = acsf()
    empty = calculator.compute(np.zeros(0, np.int32), np.zeros((0, 3)), np.zeros((0, 3, 3)),
                               np.zeros((0, 3), np.int32), np.zeros(1, np.int64))
    assert empty.shape == (0, calculator.feature_count)
    # atoms of a batch without structures belong to no structure: their rows are zero
    orphans = calculator.compute(numbers, positions, np.zeros((0, 3, 3)), np.zeros((0, 3), np.int32),
                                 np.zeros(1, np.int64))
    assert orphans.shape == (4, calculator.feature_count) and not orphans.any()
    with_gap = calculator.compute(*make_batch([(numbers, positions, cell), ([], np.zeros((0, 3)), cell)]))
    np.testing.assert_array_equal(with_gap, calculator.compute(*make_batch([(numbers, positions, cell)])))


# ----------------------------------------------------------------------------------------------------------
# errors, in the order they are checked


def invalid(**changes):
    options = acsf_options()
    for name, value in changes.items():
        setattr(options, name, value)
    return tandril.AcsfCalculator(options)


BATCH = make_batch([three_species_structure(41, 6)])
NAN = float("nan")


@pytest.mark.parametrize(
    "changes",
    [dict(r_cut=0.0), dict(r_cut=-1.0), dict(r_cut=NAN), dict(r_cut=float("inf")), dict(n_g2=-1, g2_params=[]),
     dict(n_g3=-1, g3_params=[]), dict(n_g4=-1, g4_params=[]), dict(n_g5=-1, g5_params=[]), dict(n_g2=4),
     dict(g2_params=[1.0]), dict(n_g2=1, g2_params=[1.0]), dict(g3_params=[1.0]), dict(g4_params=[1.0, 2.0]),
     dict(n_g5=4), dict(g5_params=[0.1, 1.0, 1.0, 0.2]), dict(num_threads=-1),
     # a consistent layout is checked before any value
     dict(n_g3=9, g2_params=[NAN, 1.0] * 3)],
)
def test_invalid_acsf_parameters(changes):
    with pytest.raises(ValueError, match="^invalid ACSF parameters$"):
        invalid(**changes).compute(*BATCH)


@pytest.mark.parametrize(
    "changes, message",
    [
        (dict(g2_params=[0.5, NAN, 2.0, 2.5, 0.5, 1.0]), "ACSF parameters must be finite"),
        (dict(g2_params=[float("inf"), 1.0, 2.0, 2.5, 0.5, 1.0]), "ACSF parameters must be finite"),
        (dict(g2_params=[0.5, 1.0, 0.0, 2.5, 0.5, 1.0]), "ACSF G2 eta parameters must be positive"),
        (dict(g2_params=[0.5, 1.0, -2.0, 2.5, 0.5, 1.0]), "ACSF G2 eta parameters must be positive"),
        (dict(g4_params=[0.01, 1.0, NAN] + [0.1, 1.0, 1.0] * 6), "ACSF parameters must be finite"),
        (dict(g4_params=[0.0, 1.0, 1.0] + [0.1, 1.0, 1.0] * 6), "ACSF G4 eta and zeta parameters must be positive"),
        (dict(g4_params=[0.1, 1.0, 1.0] * 6 + [0.1, -2.0, 1.0]), "ACSF G4 eta and zeta parameters must be positive"),
        (dict(g3_params=[1.0, float("-inf"), 0.0]), "ACSF parameters must be finite"),
        (dict(g5_params=[0.01, 1.0, 1.0, 0.02, 2.0, NAN, 0.1, 1.0, 1.0]), "ACSF parameters must be finite"),
        (dict(g5_params=[0.01, 1.0, 1.0, -0.02, 2.0, 1.0, 0.1, 1.0, 1.0]),
         "ACSF G5 eta and zeta parameters must be positive"),
        (dict(g5_params=[0.01, 0.0, 1.0, 0.02, 2.0, 1.0, 0.1, 1.0, 1.0]),
         "ACSF G5 eta and zeta parameters must be positive"),
        # order: G2 values, then G2 etas, then G4 values, G4 etas and zetas, G3 values, G5 values, G5 etas and zetas
        (dict(g2_params=[0.0, 1.0, 2.0, 2.5, 0.5, NAN]), "ACSF parameters must be finite"),
        (dict(g2_params=[0.0, 1.0, 2.0, 2.5, 0.5, 1.0], g4_params=[NAN] * 21), "ACSF G2 eta parameters must be positive"),
        (dict(g4_params=[-1.0, 1.0, 1.0] * 7, g3_params=[NAN] * 3), "ACSF G4 eta and zeta parameters must be positive"),
        (dict(g3_params=[NAN] * 3, g5_params=[-1.0, 1.0, 1.0] * 3), "ACSF parameters must be finite"),
        (dict(g5_params=[-1.0, 1.0, NAN] * 3), "ACSF parameters must be finite"),
    ],
)
def test_parameter_value_errors_in_order(changes, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        invalid(**changes).compute(*BATCH)


def test_accepted_parameter_values():
    # R_s of any sign, kappa zero or negative, lambda zero or beyond 1 (a finite value)
    calculator = invalid(g2_params=[0.5, -3.0, 2.0, 0.0, 0.5, 1.0], g3_params=[0.0, -2.0, 1.0],
                         g4_params=[0.1, 1.0, 0.0] * 7)
    assert np.all(np.isfinite(calculator.compute(*BATCH)))


def test_batch_and_species_errors_come_before_parameter_errors():
    numbers, positions, cells, pbc, offsets = BATCH
    broken = invalid(r_cut=-1.0)
    with pytest.raises(ValueError, match="^only fully periodic structures are supported$"):
        broken.compute(numbers, positions, cells, np.zeros_like(pbc), offsets)
    with pytest.raises(ValueError, match="^batch contains an atomic number outside calculator species$"):
        broken.compute(np.full_like(numbers, 26), positions, cells, pbc, offsets)
    with pytest.raises(ValueError, match="^atomic numbers must be positive$"):
        broken.compute(np.zeros_like(numbers), positions, cells, pbc, offsets)
    with pytest.raises(ValueError, match="^species must not contain duplicates$"):
        invalid(species=[8, 1, 8]).compute(*BATCH)
    with pytest.raises(ValueError, match="^batch contains an atomic number outside calculator species$"):
        tandril.AcsfCalculator(tandril.AcsfOptions()).compute(*BATCH)


def test_closed_calculator_is_refused_before_anything_else():
    calculator = invalid(r_cut=-1.0)
    assert calculator.closed() is False
    calculator.close()
    calculator.close()
    assert calculator.closed() is True
    numbers, positions, cells, pbc, offsets = BATCH
    with pytest.raises(RuntimeError, match="^ACSF calculator is closed$"):
        calculator.compute(numbers, positions, cells, np.zeros_like(pbc), offsets)
    assert calculator.feature_count == acsf().feature_count and calculator.species == SPECIES


# ----------------------------------------------------------------------------------------------------------
# calculator frame: cancellation, progress, threads


LONG = make_batch([supercell(three_species_structure(51, 16), (2, 2, 2))] * 400)


def test_a_flag_set_before_the_call_is_cleared_and_progress_is_reported():
    control = tandril.ComputeControl()
    control.cancel()
    batch = make_batch([three_species_structure(61, 5)] * 3)
    acsf().compute(*batch, control=control)
    assert (control.cancelled(), control.completed(), control.total()) == (False, 3, 3)


@pytest.mark.parametrize("batch", [LONG, make_batch([supercell(three_species_structure(52, 16), (6, 6, 6))])],
                         ids=["many structures", "one large structure"])
def test_cancellation_during_a_computation(batch):
    control = cancelled_during(lambda control: acsf().compute(*batch, control=control))
    assert control.cancelled() and control.completed() < control.total()


def test_a_waiting_call_fails_once_the_calculator_is_closed():
    assert close_while_a_call_waits(acsf(), LONG, BATCH) == "ACSF calculator is closed"


def test_two_threads_compute_at_once_with_the_sequential_results():
    batch = make_batch([supercell(three_species_structure(70 + k, 12), (2, 2, 2)) for k in range(4)])
    shared = acsf()
    expected = shared.compute(*batch)
    for results in (run_concurrently(lambda: shared.compute(*batch)), run_concurrently(lambda: acsf().compute(*batch))):
        for result in results:
            np.testing.assert_array_equal(result, expected)


def test_dropping_the_control_during_a_computation_is_harmless():
    calculator = acsf()
    batch = make_batch([supercell(three_species_structure(51, 16), (2, 2, 2))] * 6)
    holder = {"control": tandril.ComputeControl()}
    results = []
    thread = threading.Thread(target=lambda: results.append(calculator.compute(*batch, control=holder.pop("control"))))
    thread.start()
    time.sleep(0.02)
    gc.collect()
    thread.join()
    np.testing.assert_array_equal(results[0], calculator.compute(*batch))
