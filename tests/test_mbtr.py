"""MBTR: grid, terms against a slow reference, invariances, layout, errors, control."""

from __future__ import annotations

import math

import numpy as np
import pytest

import tandril
from conftest import (
    cancelled_during, diamond_silicon, make_batch, random_triclinic, rock_salt, rotation_matrix, run_concurrently, supercell,
)
from mbtr_reference import mbtr as reference_mbtr

H2 = ([1, 1], [[5.0, 5.0, 5.0], [5.74, 5.0, 5.0]], np.eye(3) * 20.0)
EMPTY = (np.zeros(0, int), np.zeros((0, 3)), np.eye(3) * 5.0)
GEOMETRY_GRIDS = {0: (0.0, 10.0, 0.2), 1: (0.0, 6.0, 0.1), 2: (0.0, 1.5, 0.03), 3: (0.0, 180.0, 4.0),
                  4: (-1.0, 1.0, 0.05)}


def compute(structures, **kw):
    return tandril.compute_mbtr(*make_batch(structures), **kw)


def grid_args(geometry, grid_n=60):
    low, high, sigma = GEOMETRY_GRIDS[geometry]
    return dict(geometry=geometry, grid_min=low, grid_max=high, grid_sigma=sigma, grid_n=grid_n)


def erf_row(x, grid_min, grid_max, sigma, n, unit_area=True):
    """One contribution on every grid point, with the C library's erf (math.erf)."""
    dx = (grid_max - grid_min) / (n - 1)
    out = []
    for u in range(n):
        lower = u * dx + (dx * -0.5 + grid_min)
        delta = (math.erf((lower + dx - x) / (sigma * 1.4142135623730951))
                 - math.erf((lower - x) / (sigma * 1.4142135623730951))) * 0.5 / dx
        out.append(delta * 1.0 if unit_area else sigma * 2.5066282746310002 * delta * 1.0)
    return np.array(out)


# --- the grid ------------------------------------------------------------------------------


def test_erf_is_exactly_one_beyond_six():
    # points whose bins lie this far from a contribution are skipped: their erf difference is exactly 0
    z = np.concatenate([np.linspace(6.0, 40.0, 20001), [1e3, 1e300]])
    assert all(math.erf(v) == 1.0 and math.erf(-v) == -1.0 for v in z)


@pytest.mark.parametrize("unit_area", [True, False])
@pytest.mark.parametrize("sigma, n", [(0.2, 60), (0.05, 400), (3.0, 30)])
def test_k1_row_equals_the_erf_formula_on_every_point(unit_area, sigma, n):
    # one hydrogen and one oxygen atom: each species block holds one contribution
    structure = ([8, 1], [[0.0, 0.0, 0.0], [1.0, 1.0, 1.0]], np.eye(3) * 5.0)
    row = compute([structure], species=[1, 8], geometry=0, grid_min=0.0, grid_max=10.0, grid_sigma=sigma,
                  grid_n=n, normalize_gaussians=unit_area)[0]
    np.testing.assert_array_equal(row[:n], erf_row(1.0, 0.0, 10.0, sigma, n, unit_area))
    np.testing.assert_array_equal(row[n:], erf_row(8.0, 0.0, 10.0, sigma, n, unit_area))


def test_each_gaussian_integrates_to_one_or_to_its_height():
    structure = ([6], [[0.0, 0.0, 0.0]], np.eye(3) * 5.0)
    grid = dict(species=[6], geometry=0, grid_min=0.0, grid_max=12.0, grid_sigma=0.3, grid_n=121)
    dx = 0.1
    assert compute([structure], **grid).sum() * dx == pytest.approx(1.0, abs=1e-12)
    heights = compute([structure], normalize_gaussians=False, **grid)
    assert heights.max() == pytest.approx(1.0, abs=1e-2)  # bin average of the peak
    assert heights.sum() == pytest.approx(0.3 * math.sqrt(2 * math.pi) / dx, rel=1e-12)


def test_contributions_far_outside_the_grid_are_dropped():
    # Z = 6 lies 8.5 sigma above a grid ending at 2: nothing is added
    structure = ([6], [[0.0, 0.0, 0.0]], np.eye(3) * 5.0)
    assert not compute([structure], species=[6], geometry=0, grid_min=0.0, grid_max=2.0, grid_sigma=0.47).any()
    assert compute([structure], species=[6], geometry=0, grid_min=0.0, grid_max=2.0, grid_sigma=0.51).any()


# --- k2 by hand ----------------------------------------------------------------------------


def peak_weights(row, grid_min, dx, centres, half_width):
    points = grid_min + dx * np.arange(len(row))
    return [row[np.abs(points - c) < half_width].sum() * dx for c in centres]


def test_single_atom_cubic_cell_k2_peaks_at_the_shells():
    structure = ([1], [[0.2, 0.4, 0.1]], np.eye(3) * 3.0)
    row = compute([structure], species=[1], geometry=1, weighting=0, r_cut=4.5, grid_min=0.0, grid_max=6.0,
                  grid_sigma=0.05, grid_n=601)[0]
    # six images at 3 (each pair of opposite shifts counts 1) and twelve at sqrt(18); sqrt(27) is beyond r_cut
    assert peak_weights(row, 0.0, 0.01, [3.0, math.sqrt(18)], 0.5) == pytest.approx([3.0, 6.0], abs=1e-9)
    assert row.sum() * 0.01 == pytest.approx(9.0, abs=1e-9)


def test_molecule_in_a_large_cell_counts_its_pair_once():
    row = compute([H2], species=[1], geometry=1, weighting=0, r_cut=6.0, grid_n=601, grid_max=6.0)[0]
    assert row.sum() * 0.01 == pytest.approx(1.0, abs=1e-12)
    assert np.argmax(row) == 74
    local = compute([H2], species=[1], geometry=1, weighting=0, r_cut=6.0, grid_n=601, grid_max=6.0, local=True)
    assert local.shape == (2, 2 * 601) and not local[:, :601].any()
    np.testing.assert_allclose(local[0], local[1], rtol=1e-14)
    assert local[0].sum() * 0.01 == pytest.approx(1.0, abs=1e-12)


# --- against the slow reference ------------------------------------------------------------


@pytest.fixture(scope="module")
def two_structures():
    rng = np.random.default_rng(77)
    return [random_triclinic(rng, 5, species=(1, 8), volume_per_atom=14.0),
            random_triclinic(rng, 3, species=(8, 1), volume_per_atom=14.0)]


@pytest.mark.parametrize("local", [False, True], ids=["global", "local"])
@pytest.mark.parametrize("geometry", [0, 1, 2, 3, 4])
@pytest.mark.parametrize("weighting", [0, 1, 2, 3, 9])
def test_terms_match_the_reference(two_structures, geometry, weighting, local):
    if geometry == 0 and weighting != 0:
        pytest.skip("k1 contributions always have weight 1")
    args = dict(species=[8, 1], weighting=weighting, r_cut=3.2, scale=0.5, threshold=0.01, sharpness=3.0,
                local=local, **grid_args(geometry))
    got = compute(two_structures, **args)
    expected = np.concatenate([reference_mbtr(s, **args) for s in two_structures])
    assert got.shape == expected.shape
    assert np.abs(expected).max() > 0
    # angles near 0 or 180 degrees (nearly collinear triplets) amplify rounding in the image vectors
    tolerance = 1e-6 if geometry == 3 else 1e-11
    np.testing.assert_allclose(got, expected, rtol=1e-9, atol=tolerance * np.abs(expected).max())


@pytest.mark.parametrize("normalization", [0, 1, 2, 3, 5])
@pytest.mark.parametrize("geometry, local", [(0, False), (1, False), (3, False), (2, True), (4, True), (0, True)])
def test_normalizations_match_the_reference(two_structures, normalization, geometry, local):
    args = dict(species=[1, 8], weighting=0, r_cut=3.0, normalization=normalization, local=local,
                **grid_args(geometry, grid_n=40))
    got = compute(two_structures, **args)
    expected = np.concatenate([reference_mbtr(s, **args) for s in two_structures])
    np.testing.assert_allclose(got, expected, rtol=1e-9, atol=1e-11 * np.abs(expected).max())
    if normalization == 1:
        np.testing.assert_allclose(np.linalg.norm(got, axis=1), 1.0, rtol=1e-12)


def test_valle_oganov_scales_blocks_and_leaves_local_rows_alone(two_structures):
    structure = two_structures[0]
    numbers = np.asarray(structure[0])
    volume = abs(np.linalg.det(structure[2]))
    counts = [int((numbers == 8).sum()), int((numbers == 1).sum())]
    base = dict(species=[8, 1], geometry=1, weighting=0, r_cut=3.0, grid_n=30)
    plain = compute([structure], **base)[0].reshape(3, 30)
    scaled = compute([structure], normalization=3, **base)[0].reshape(3, 30)
    factors = [volume / (4 * math.pi * counts[0] ** 2 / 2), volume / (4 * math.pi * counts[0] * counts[1]),
               volume / (4 * math.pi * counts[1] ** 2 / 2)]
    np.testing.assert_allclose(scaled, plain * np.array(factors)[:, None], rtol=1e-14)
    local = dict(base, local=True)
    np.testing.assert_array_equal(compute([structure], normalization=3, **local), compute([structure], **local))


# --- invariances ---------------------------------------------------------------------------


@pytest.mark.parametrize("weighting", [2, 3])
@pytest.mark.parametrize("geometry", [1, 2, 3, 4])
@pytest.mark.parametrize("local", [False, True], ids=["global", "local"])
def test_rotation_translation_and_permutation_invariance(geometry, local, weighting, rng):
    numbers, positions, cell = random_triclinic(rng, 7, species=(1, 8))
    rotation = rotation_matrix(rng)
    order = rng.permutation(7)
    args = dict(species=[1, 8], weighting=weighting, r_cut=3.5, local=local, **grid_args(geometry))
    reference = compute([(numbers, positions, cell)], **args)
    rotated = compute([(numbers, positions @ rotation.T + [0.3, 0.1, -0.2], cell @ rotation.T)], **args)
    permuted = compute([(numbers[order], positions[order], cell)], **args)
    scale = np.abs(reference).max() * (1e-6 if geometry == 3 else 1e-9)  # acos near 0 and 180 degrees
    np.testing.assert_allclose(rotated, reference, atol=scale)
    np.testing.assert_allclose(permuted, reference[order] if local else reference, atol=scale)


@pytest.mark.parametrize("geometry", [1, 3])
def test_supercell_gives_the_same_normalised_global_and_the_same_local_rows(geometry):
    primitive = rock_salt()
    big = supercell(primitive, (2, 2, 2))
    args = dict(species=[11, 17], weighting=1, scale=0.8, r_cut=5.0, **grid_args(geometry))
    small_global, big_global = (compute([s], normalization=1, **args) for s in (primitive, big))
    np.testing.assert_allclose(big_global, small_global, rtol=1e-9, atol=1e-12)
    small_local, big_local = (compute([s], local=True, **args) for s in (primitive, big))
    np.testing.assert_allclose(big_local, np.tile(small_local, (8, 1)), rtol=1e-9, atol=1e-10 * small_local.max())


def test_atoms_moved_by_lattice_vectors_change_nothing(rng):
    numbers, positions, cell = random_triclinic(rng, 6, species=(1, 8))
    moved = positions + rng.integers(-1, 2, size=(6, 3)) @ cell
    args = dict(species=[1, 8], weighting=0, r_cut=3.0, geometry=1)
    np.testing.assert_allclose(compute([(numbers, moved, cell)], **args), compute([(numbers, positions, cell)], **args),
                               atol=1e-10)


# --- layout --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "geometry, local, blocks",
    [(0, False, 3), (1, False, 6), (2, False, 6), (3, False, 18), (4, False, 18),
     (0, True, 3), (1, True, 4), (2, True, 4), (3, True, 22), (4, True, 22)],
)
def test_row_widths(geometry, local, blocks):
    structure = ([1, 6, 8], [[0, 0, 0], [1.0, 0, 0], [0, 1.2, 0]], np.eye(3) * 6)
    out = compute([structure, structure], species=[1, 6, 8], geometry=geometry, local=local, grid_n=7)
    assert out.shape == ((6 if local else 2), blocks * 7)
    assert out.dtype == np.float64 and out.flags.c_contiguous


def test_local_blocks_that_no_formula_addresses_stay_zero():
    # local k2: block 0 (the centre); local k3: the blocks triV(0, q) of the centre pseudo-species
    structure = random_triclinic(np.random.default_rng(5), 6, species=(1, 8))
    k2 = compute([structure], species=[1, 8], geometry=1, local=True, weighting=0, r_cut=3.0, grid_n=20)
    assert not k2.reshape(6, 3, 20)[:, 0].any() and k2.reshape(6, 3, 20)[:, 1:].any()
    k3 = compute([structure], species=[1, 8], geometry=3, local=True, weighting=0, r_cut=3.0, grid_n=20,
                 grid_max=180.0, grid_sigma=5.0).reshape(6, 12, 20)
    # triV(0, 0..2), the block after the centre pairs, and 7 + 3m + e with e = 2 (no species 2)
    unused = [0, 1, 2, 6, 9]
    assert not k3[:, unused].any()
    assert k3[:, [3, 4, 5, 7, 8, 10, 11]].any(axis=(0, 2)).all()


def test_local_k1_gives_every_atom_its_own_gaussian():
    # with an empty structure the batch has more structures than atoms; every row is an atom's
    structures = [EMPTY, ([8, 1], [[0, 0, 0], [1.0, 0, 0]], np.eye(3) * 5), EMPTY, EMPTY]
    out = compute(structures, species=[1, 8], geometry=0, local=True, grid_min=0.0, grid_max=10.0, grid_n=11,
                  grid_sigma=0.2)
    glob = compute(structures, species=[1, 8], geometry=0, grid_min=0.0, grid_max=10.0, grid_n=11, grid_sigma=0.2)
    assert out.shape == (2, 22) and glob.shape == (4, 22)
    assert not out[0, :11].any() and np.argmax(out[0]) == 11 + 8
    assert not out[1, 11:].any() and np.argmax(out[1]) == 1
    np.testing.assert_array_equal(out.sum(axis=0), glob[1])


def test_empty_structures_get_zero_global_rows():
    out = compute([EMPTY, H2, EMPTY], species=[1], geometry=3, weighting=0)
    assert not out[0].any() and not out[2].any()


# --- errors, in the order they are tested --------------------------------------------------


def broken(structures, **changes):
    arrays = dict(zip(("numbers", "positions", "cells", "pbc", "offsets"), make_batch(structures)))
    arrays.update(changes)
    return tuple(arrays.values())


@pytest.mark.parametrize(
    "changes, species, kwargs, message",
    [
        (dict(numbers=np.array([0, 1])), [1], dict(grid_n=1), "atomic numbers must be positive"),
        (dict(pbc=np.array([[0, 1, 1]])), [1], dict(grid_n=1), "only fully periodic structures are supported"),
        ({}, [1, 8, 1], dict(grid_n=1), "species must not contain duplicates"),
        ({}, [8], dict(grid_n=1), "batch contains an atomic number outside calculator species"),
        ({}, [], dict(grid_n=1), "batch contains an atomic number outside calculator species"),
        ({}, [1], dict(geometry=5, grid_n=1),
         r"geometry must be 0 \(atomic number\), 1 \(distance\), 2 \(inverse distance\), 3 \(angle\) or 4 \(cosine\)"),
        ({}, [1], dict(geometry=-1), r"geometry must be 0 .*"),
        ({}, [1, 0], dict(grid_n=1), "invalid MBTR grid"),
        ({}, [1, 0], dict(grid_min=6.0), "invalid MBTR grid"),
        ({}, [1], dict(grid_min=7.0), "invalid MBTR grid"),
        ({}, [1], dict(grid_sigma=0.0), "invalid MBTR grid"),
        ({}, [1], dict(grid_sigma=-0.1), "invalid MBTR grid"),
        ({}, [1], dict(grid_sigma=float("nan")), "invalid MBTR grid"),
        ({}, [1], dict(grid_max=float("inf")), "invalid MBTR grid"),
        ({}, [1], dict(grid_min=float("nan")), "invalid MBTR grid"),
        ({}, [1], dict(grid_min=-1e308, grid_max=1e308), "invalid MBTR grid"),
        ({}, [1], dict(grid_n=-4), "invalid MBTR grid"),
        ({}, [1, 0], {}, "species must contain unique positive atomic numbers"),
        ({}, [1, -8], {}, "species must contain unique positive atomic numbers"),
        ({}, [1], dict(weighting=1, scale=float("nan")), "invalid MBTR weighting parameters"),
        ({}, [1], dict(weighting=1, threshold=float("inf")), "invalid MBTR weighting parameters"),
        ({}, [1], dict(weighting=3, sharpness=float("nan")), "invalid MBTR weighting parameters"),
        ({}, [1], dict(weighting=1, threshold=0.0), "neighbor cutoff must be finite and positive"),
        ({}, [1], dict(weighting=2, r_cut=float("inf")), "neighbor cutoff must be finite and positive"),
        ({}, [1], dict(weighting=2, r_cut=0.0, grid_min=-5.0, grid_max=-1.0),
         "neighbor cutoff must be finite and positive"),
    ],
)
def test_errors_in_order(changes, species, kwargs, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        tandril.compute_mbtr(*broken([H2], **changes), species=species, **kwargs)


def test_empty_species_is_reported_only_for_batches_without_atoms():
    with pytest.raises(ValueError, match="^species must not be empty$"):
        compute([EMPTY], species=[])
    with pytest.raises(ValueError, match="^invalid MBTR grid$"):
        compute([EMPTY], species=[], grid_n=1)


def test_weighting_parameters_are_checked_only_where_used():
    # k1 ignores the weighting; unity weighting ignores scale and sharpness
    compute([H2], species=[1], geometry=0, scale=float("nan"))
    compute([H2], species=[1], geometry=1, weighting=0, scale=float("nan"), sharpness=float("nan"))
    compute([H2], species=[1], geometry=1, weighting=2, threshold=float("nan"))


def test_conversion_errors_are_type_errors():
    with pytest.raises(TypeError):
        compute([H2], species="1")
    with pytest.raises(TypeError):
        compute([H2], species=[1], grid_n=50.0)


# --- control: cancellation, progress, threads ----------------------------------------------


def many_structures(count=200):
    rng = np.random.default_rng(12)
    return make_batch([random_triclinic(rng, 12, species=(1, 8)) for _ in range(count)])


def test_progress_counts_structures():
    control = tandril.ComputeControl()
    for local in (False, True):
        control.reset(-1)
        compute([H2, EMPTY, H2], species=[1], geometry=3, local=local, control=control)
        assert (control.completed(), control.total(), control.cancelled()) == (3, 3, False)


@pytest.mark.parametrize("geometry", [0, 1, 3])
def test_cancelled_before_the_start(geometry):
    control = tandril.ComputeControl()
    control.reset(5)
    control.cancel()
    with pytest.raises(tandril.CancelledError, match="^descriptor computation cancelled$"):
        compute([H2], species=[1], geometry=geometry, control=control)
    assert (control.completed(), control.total(), control.cancelled()) == (0, 5, True)


@pytest.mark.parametrize("geometry, local", [(1, False), (3, False), (3, True)])
def test_cancellation_during_a_computation(geometry, local):
    batch = many_structures()

    def repeatedly(control):
        for _ in range(200):  # long enough to be interrupted
            tandril.compute_mbtr(*batch, species=[1, 8], geometry=geometry, local=local, control=control)

    control = cancelled_during(repeatedly, delay=0.02)
    assert control.cancelled() and 0 <= control.completed() < control.total() == 200


@pytest.mark.parametrize("geometry, local", [(2, False), (4, True)])
def test_two_threads_at_once_give_the_sequential_results(geometry, local):
    batch = many_structures(count=30)
    args = dict(species=[1, 8], geometry=geometry, local=local, **{k: v for k, v in grid_args(geometry).items()
                                                                   if k != "geometry"})
    expected = tandril.compute_mbtr(*batch, **args)
    for result in run_concurrently(lambda: tandril.compute_mbtr(*batch, **args)):
        np.testing.assert_array_equal(result, expected)


def test_defaults_and_keywords():
    default = compute([diamond_silicon()], species=[14])
    explicit = compute([diamond_silicon()], species=[14], geometry=1, weighting=1, normalization=0, grid_min=0.0,
                       grid_max=6.0, grid_sigma=0.1, grid_n=50, normalize_gaussians=True, scale=0.5,
                       threshold=0.001, r_cut=6.0, sharpness=2.0, local=False, control=None)
    assert default.shape == (1, 50)
    np.testing.assert_array_equal(default, explicit)


def test_grid_larger_than_memory_raises_memory_error_even_without_rows():
    with pytest.raises(MemoryError):
        compute([EMPTY], species=[1], local=True, grid_n=2**31 - 1)
    with pytest.raises(MemoryError):
        compute([H2], species=list(range(1, 3000)), geometry=3)
