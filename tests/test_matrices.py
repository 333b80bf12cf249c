"""Coulomb, sine and Ewald sum matrices: values, permutations, invariances, errors, control."""

from __future__ import annotations


import numpy as np
import pytest

import tandril
from tandril import _core_testing as core
from conftest import (
    cancelled_during, diamond_silicon, make_batch, random_triclinic, rock_salt, rotation_matrix, run_concurrently, supercell,
)
from matrix_reference import coulomb, ewald, sine

H2 = ([1, 1], [[0.0, 0.0, 0.0], [1.0, 0.0, 0.0]], np.eye(3) * 10.0)
EMPTY = (np.zeros(0, int), np.zeros((0, 3)), np.eye(3) * 5.0)

# Every way of asking for plain Coulomb matrices, and every matrix kind.
COULOMB_CALLS = {
    "compute_coulomb_matrix": lambda batch, **kw: tandril.compute_coulomb_matrix(*batch, **kw),
    "compute_matrix kind 2": lambda batch, **kw: tandril.compute_matrix(*batch, kind=2, **kw),
}
KINDS = {"sine": 0, "ewald": 1, "coulomb": 2}


def matrix_of(kind, structure, **kw):
    n = len(structure[0])
    row = tandril.compute_matrix(*make_batch([structure]), n_atoms_max=n, permutation="none", kind=kind, **kw)
    return row.reshape(n, n)


def reference_of(kind, structure):
    numbers, positions, cell = structure
    positions = np.asarray(positions, dtype=float)
    return {0: lambda: sine(numbers, positions, cell), 1: lambda: ewald(numbers, positions, cell),
            2: lambda: coulomb(numbers, positions)}[kind]()


def ewald_energy(structure, **kw):
    """Total energy: the upper triangle of the Ewald matrix, diagonal included."""
    return np.triu(matrix_of(1, structure, **kw)).sum()


# --- hand values --------------------------------------------------------------------------


@pytest.mark.parametrize("call", COULOMB_CALLS.values(), ids=COULOMB_CALLS.keys())
def test_two_hydrogen_atoms_by_hand(call):
    batch = make_batch([H2])
    np.testing.assert_array_equal(call(batch, n_atoms_max=3, permutation="none")[0],
                                  [0.5, 1, 0, 1, 0.5, 0, 0, 0, 0])
    np.testing.assert_allclose(call(batch, n_atoms_max=3, permutation="eigenspectrum")[0], [1.5, -0.5, 0],
                               atol=1e-15)


@pytest.mark.parametrize("kind", [0, 2])
def test_single_atom_spectrum_is_the_diagonal_term(kind):
    batch = make_batch([([8], [[0.5, 0.5, 0.5]], np.eye(3) * 4.0)])
    row = tandril.compute_matrix(*batch, n_atoms_max=3, permutation="eigenspectrum", kind=kind, exponent=2.4)
    np.testing.assert_array_equal(row[0], [0.5 * 8**2.4, 0, 0])


def test_zero_exponent_is_accepted_by_the_coulomb_function():
    row = tandril.compute_coulomb_matrix(*make_batch([H2]), n_atoms_max=2, permutation="none", exponent=0.0)
    np.testing.assert_array_equal(row[0], [0.5, 1, 1, 0.5])


def test_sorted_l2_moves_the_largest_row_first_and_keeps_ties_in_order():
    # atom 1 (oxygen) has the larger row norm: rows and columns 0 and 1 swap
    structure = ([1, 8], [[0.0, 0.0, 0.0], [2.0, 0.0, 0.0]], np.eye(3) * 10.0)
    row = tandril.compute_coulomb_matrix(*make_batch([structure]), n_atoms_max=2, permutation="sorted_l2")
    np.testing.assert_allclose(row[0], [0.5 * 8**2.4, 4.0, 4.0, 0.5])
    # three equal atoms on a line: the middle one has the largest norm, the two ends tie and keep their order
    line = ([6, 6, 6], [[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [2.0, 0.0, 0.0]], np.eye(3) * 10.0)
    none = tandril.compute_coulomb_matrix(*make_batch([line]), n_atoms_max=3, permutation="none")[0].reshape(3, 3)
    ordered = tandril.compute_coulomb_matrix(*make_batch([line]), n_atoms_max=3, permutation="sorted_l2")
    np.testing.assert_array_equal(ordered[0].reshape(3, 3), none[np.ix_([1, 0, 2], [1, 0, 2])])


def test_padding_and_rows_per_structure():
    structures = [H2, rock_salt()]
    out = tandril.compute_coulomb_matrix(*make_batch(structures), n_atoms_max=9, permutation="none")
    assert out.shape == (2, 81) and out.dtype == np.float64 and out.flags.c_contiguous
    first = out[0].reshape(9, 9)
    np.testing.assert_array_equal(first[:2, :2], [[0.5, 1], [1, 0.5]])
    assert not first[2:].any() and not first[:, 2:].any()
    np.testing.assert_allclose(out[1].reshape(9, 9)[:8, :8], coulomb(*rock_salt()[:2]), rtol=1e-14)


def test_sine_entry_vanishes_for_atoms_one_lattice_vector_apart():
    cell = np.array([[4.0, 0.0, 0.0], [0.5, 3.5, 0.0], [0.2, 0.3, 5.0]])
    positions = np.array([[0.3, 0.4, 0.5], [0.3, 0.4, 0.5] + cell[1], [1.0, 1.0, 1.0]])
    m = matrix_of(0, ([1, 1, 8], positions, cell))
    assert m[0, 1] == 0.0 and m[1, 0] == 0.0
    assert m[0, 2] > 0


# --- against slow NumPy references ---------------------------------------------------------


@pytest.mark.parametrize("kind", KINDS.values(), ids=KINDS.keys())
@pytest.mark.parametrize("n_atoms", [1, 2, 7, 12])
def test_matrices_match_the_reference(kind, n_atoms, rng):
    structure = random_triclinic(rng, n_atoms, species=(1, 6, 8))
    got = matrix_of(kind, structure)
    expected = reference_of(kind, structure)
    np.testing.assert_allclose(got, expected, rtol=1e-11, atol=1e-12 * np.abs(expected).max())
    if kind == 1:  # real-space images are summed from one side: symmetric up to rounding
        np.testing.assert_allclose(got, got.T, rtol=1e-13, atol=1e-14 * np.abs(got).max())
    else:
        np.testing.assert_array_equal(got, got.T)


def test_coulomb_function_matches_compute_matrix_bit_for_bit(rng):
    batch = make_batch([random_triclinic(rng, n, species=(1, 8, 16)) for n in (3, 11, 20)])
    for permutation in ("none", "sorted_l2", "eigenspectrum"):
        np.testing.assert_array_equal(
            tandril.compute_coulomb_matrix(*batch, n_atoms_max=20, permutation=permutation, exponent=2.1),
            tandril.compute_matrix(*batch, n_atoms_max=20, permutation=permutation, exponent=2.1, kind=2))


@pytest.mark.parametrize("kind", KINDS.values(), ids=KINDS.keys())
@pytest.mark.parametrize("n_atoms", [1, 2, 3, 9, 30, 50])
def test_eigenspectrum_matches_numpy(kind, n_atoms, rng):
    structure = random_triclinic(rng, n_atoms, species=(1, 6, 8, 16))
    matrix = matrix_of(kind, structure)
    batch = make_batch([structure])
    row = tandril.compute_matrix(*batch, n_atoms_max=n_atoms + 2, permutation="eigenspectrum", kind=kind)[0]
    expected = np.linalg.eigvalsh(matrix)
    expected = expected[np.argsort(-np.abs(expected), kind="stable")]
    np.testing.assert_allclose(row[:n_atoms], expected, rtol=1e-10, atol=1e-12 * np.abs(expected).max())
    assert not row[n_atoms:].any()
    assert np.all(np.diff(np.abs(row[:n_atoms])) <= 1e-12 * np.abs(row).max())


def test_eigensolver_handles_degenerate_and_zero_spectra():
    # a cube of eight equal atoms has highly degenerate eigenvalues; the sine
    # matrix of atoms one lattice vector apart has zero off-diagonal entries
    cube = (np.full(8, 6), np.array(np.meshgrid([0, 1.5], [0, 1.5], [0, 1.5])).reshape(3, -1).T, np.eye(3) * 10)
    for kind, structure in ((2, cube), (0, ([6, 6], [[0, 0, 0], [3.0, 0, 0]], np.eye(3) * 3.0))):
        n = len(structure[0])
        row = tandril.compute_matrix(*make_batch([structure]), n_atoms_max=n, permutation="eigenspectrum",
                                     kind=kind)[0]
        expected = np.linalg.eigvalsh(matrix_of(kind, structure))
        np.testing.assert_allclose(np.sort(row), np.sort(expected), atol=1e-12 * np.abs(expected).max())


def symmetric(rng, n, scale=1.0):
    a = rng.normal(size=(n, n))
    return (a + a.T) * scale


def test_eigenvalues_computed_in_groups_equal_those_computed_one_at_a_time(rng):
    # Groups run two QL iterations side by side; the values must not change
    # in the last bit. Sizes differ so that lanes refill at different times;
    # scaled matrices take the library hypot; diagonal and block-diagonal
    # ones need few or no rotations; a degenerate one converges unevenly.
    matrices = [symmetric(rng, n) for n in (0, 1, 2, 3, 5, 8, 13, 21, 34, 50, 40, 1, 30, 2)]
    matrices += [symmetric(rng, 12, 1e-200), symmetric(rng, 9, 1e200), symmetric(rng, 7, 1e-160), np.diag(rng.normal(size=6))]
    block = np.zeros((10, 10))
    block[:4, :4], block[4:, 4:] = symmetric(rng, 4), symmetric(rng, 6)
    vector = rng.normal(size=11)
    matrices += [block, np.eye(11) + np.outer(vector, vector)]
    rng.shuffle(matrices)
    grouped = core.symmetric_eigenvalues(matrices, grouped=True)
    alone = core.symmetric_eigenvalues(matrices, grouped=False)
    for matrix, together, single in zip(matrices, grouped, alone):
        np.testing.assert_array_equal(together, single)
        expected = np.linalg.eigvalsh(matrix)
        scale = np.abs(expected).max(initial=0.0)
        np.testing.assert_allclose(np.sort(together), expected, rtol=0, atol=1e-13 * scale)


def test_eigenvalues_of_non_finite_matrices_fail_alike_in_groups(rng):
    bad = symmetric(rng, 5)
    bad[1, 3] = bad[3, 1] = np.inf
    nan = symmetric(rng, 4)
    nan[0, 0] = np.nan
    matrices = [symmetric(rng, 6), bad, symmetric(rng, 8), nan, symmetric(rng, 3)]
    grouped = core.symmetric_eigenvalues(matrices, grouped=True)
    alone = core.symmetric_eigenvalues(matrices, grouped=False)
    for together, single in zip(grouped, alone):
        assert (together is None) == (single is None)
        if single is not None:
            np.testing.assert_array_equal(together, single)


@pytest.mark.parametrize("kind", KINDS.values(), ids=KINDS.keys())
def test_spectra_of_a_batch_equal_those_of_each_structure_alone(kind, rng):
    structures = [random_triclinic(rng, int(n), species=(1, 6, 8, 16)) for n in rng.integers(1, 31, size=37)]
    rows = tandril.compute_matrix(*make_batch(structures), n_atoms_max=30, permutation="eigenspectrum", kind=kind)
    for structure, row in zip(structures, rows):
        alone = tandril.compute_matrix(*make_batch([structure]), n_atoms_max=30, permutation="eigenspectrum",
                                       kind=kind)
        np.testing.assert_array_equal(row, alone[0])


# --- invariances ---------------------------------------------------------------------------


@pytest.mark.parametrize("kind", KINDS.values(), ids=KINDS.keys())
def test_permuting_atoms_leaves_sorted_and_spectrum_rows_unchanged(kind, rng):
    numbers, positions, cell = random_triclinic(rng, 10, species=(1, 6, 8))
    order = rng.permutation(10)
    batch = make_batch([(numbers, positions, cell), (numbers[order], positions[order], cell)])
    for permutation, tolerance in (("sorted_l2", 1e-12), ("eigenspectrum", 1e-10)):
        rows = tandril.compute_matrix(*batch, n_atoms_max=12, permutation=permutation, kind=kind)
        np.testing.assert_allclose(rows[1], rows[0], rtol=tolerance, atol=tolerance * np.abs(rows).max())


@pytest.mark.parametrize("kind", KINDS.values(), ids=KINDS.keys())
def test_swapping_two_atoms_swaps_rows_and_columns(kind, rng):
    numbers, positions, cell = random_triclinic(rng, 6, species=(1, 8))
    order = np.array([3, 1, 2, 0, 4, 5])
    original = matrix_of(kind, (numbers, positions, cell))
    swapped = matrix_of(kind, (numbers[order], positions[order], cell))
    np.testing.assert_allclose(swapped, original[np.ix_(order, order)], rtol=1e-12,
                               atol=1e-13 * np.abs(original).max())


def test_rotation_and_translation_leave_the_periodic_matrices_unchanged(rng):
    numbers, positions, cell = random_triclinic(rng, 8, species=(1, 8))
    rotation = rotation_matrix(rng)
    moved = (numbers, positions @ rotation.T + [0.7, -2.0, 1.1], cell @ rotation.T)
    for kind in (0, 1, 2):
        original = matrix_of(kind, (numbers, positions, cell))
        np.testing.assert_allclose(matrix_of(kind, moved), original, rtol=1e-9, atol=1e-10 * np.abs(original).max())


@pytest.mark.parametrize("kind", [0, 1])
def test_moving_atoms_by_lattice_vectors_changes_nothing(kind, rng):
    numbers, positions, cell = random_triclinic(rng, 7, species=(1, 8))
    moved = positions + rng.integers(-3, 4, size=(7, 3)) @ cell
    original = matrix_of(kind, (numbers, positions, cell))
    np.testing.assert_allclose(matrix_of(kind, (numbers, moved, cell)), original, rtol=1e-9,
                               atol=1e-10 * np.abs(original).max())


# --- Ewald sum: identities -----------------------------------------------------------------


def test_ewald_energy_of_one_charge_in_a_cube_is_the_madelung_value():
    # a unit charge in a cube of edge L with neutralising background: E = xi / (2 L), xi = -2.837297479480619
    for edge in (2.0, 3.7, 10.0):
        energy = ewald_energy(([1], [[0.3, 0.1, 0.2]], np.eye(3) * edge), accuracy=1e-12)
        assert energy == pytest.approx(-2.837297479480619 / (2 * edge), rel=1e-10)


@pytest.mark.parametrize("make", [rock_salt, diamond_silicon, lambda: random_triclinic(np.random.default_rng(2), 9)],
                         ids=["rock_salt", "diamond", "triclinic"])
def test_ewald_energy_does_not_depend_on_the_splitting_parameter(make):
    structure = make()
    energies = [ewald_energy(structure, accuracy=1e-10, a=a) for a in (0.0, 0.3, 0.5, 0.8)]
    np.testing.assert_allclose(energies, energies[0], rtol=1e-8)


@pytest.mark.parametrize("make", [rock_salt, lambda: random_triclinic(np.random.default_rng(3), 5)],
                         ids=["rock_salt", "triclinic"])
def test_ewald_energy_of_a_supercell_is_eight_times_the_primitive_one(make):
    structure = make()
    assert ewald_energy(supercell(structure), accuracy=1e-10) == pytest.approx(
        8 * ewald_energy(structure, accuracy=1e-10), rel=1e-8)


def test_ewald_derived_parameters_follow_accuracy_and_structure(rng):
    # explicit parameters equal to the derived ones give the same matrix
    numbers, positions, cell = random_triclinic(rng, 6, species=(1, 8))
    volume = abs(np.linalg.det(cell))
    alpha = (6 * 1.0 / volume**2) ** (1 / 6) * np.sqrt(np.pi)
    root = np.sqrt(-np.log(1e-6))
    derived = matrix_of(1, (numbers, positions, cell), accuracy=1e-6)
    explicit = matrix_of(1, (numbers, positions, cell), accuracy=0.5, a=alpha, r_cut=root / alpha,
                         g_cut=2 * alpha * root)
    np.testing.assert_allclose(explicit, derived, rtol=1e-12)


def test_ewald_accepts_accuracy_one_half_and_empty_structures_with_explicit_alpha():
    batch = make_batch([H2, EMPTY])
    out = tandril.compute_matrix(*batch, n_atoms_max=2, permutation="none", kind=1, accuracy=0.5, a=1.0)
    assert out.shape == (2, 4) and not out[1].any() and np.all(np.isfinite(out[0]))


# --- empty batches and structures ----------------------------------------------------------


@pytest.mark.parametrize("kind", [0, 2])
def test_compute_matrix_writes_zero_rows_for_empty_structures(kind):
    out = tandril.compute_matrix(*make_batch([H2, EMPTY, H2]), n_atoms_max=2, permutation="sorted_l2", kind=kind)
    assert not out[1].any() and out[0].any()
    np.testing.assert_array_equal(out[0], out[2])


@pytest.mark.parametrize("permutation, width", [("none", 16), ("Eigenspectrum", 16), ("eigenspectrum", 4)])
def test_batch_without_structures(permutation, width):
    batch = (np.zeros(0, np.int32), np.zeros((0, 3)), np.zeros((0, 3, 3)), np.zeros((0, 3), np.int32),
             np.zeros(1, np.int64))
    for kind in (0, 1, 2):
        out = tandril.compute_matrix(*batch, n_atoms_max=4, permutation=permutation, kind=kind)
        assert out.shape == (0, width)
    assert tandril.compute_coulomb_matrix(*batch, n_atoms_max=4, permutation="none").shape == (0, 16)


# --- errors, in the order they are tested --------------------------------------------------


def broken(batch, **changes):
    arrays = dict(zip(("numbers", "positions", "cells", "pbc", "offsets"), batch))
    arrays.update(changes)
    return tuple(arrays.values())


@pytest.mark.parametrize("n_atoms_max", [0, -1, 2**32])
def test_coulomb_n_atoms_max_is_checked_before_the_batch(n_atoms_max):
    batch = broken(make_batch([H2]), numbers=np.array([0, 1]))
    with pytest.raises(ValueError, match="^n_atoms_max must be a positive value$"):
        tandril.compute_coulomb_matrix(*batch, n_atoms_max=n_atoms_max, permutation="none")


@pytest.mark.parametrize(
    "changes, message",
    [
        (dict(numbers=np.array([0, 1])), "atomic numbers must be positive"),
        (dict(pbc=np.array([[1, 1, 0]])), "only fully periodic structures are supported"),
        (dict(cells=np.zeros((1, 3, 3))), "cell matrix is singular"),
        (dict(positions=np.array([[0.0, 0, 0], [np.nan, 0, 0]])), "positions must be finite"),
        (dict(offsets=np.array([1, 2])), "offsets do not describe the flattened arrays"),
    ],
)
def test_batch_errors_come_before_parameter_errors(changes, message):
    batch = broken(make_batch([H2]), **changes)
    with pytest.raises(ValueError, match=f"^{message}$"):
        tandril.compute_coulomb_matrix(*batch, n_atoms_max=2, permutation="Sorted_L2")
    with pytest.raises(ValueError, match=f"^{message}$"):
        tandril.compute_matrix(*batch, n_atoms_max=0, permutation="none")


@pytest.mark.parametrize(
    "kwargs",
    [dict(exponent=float("nan")), dict(exponent=float("inf")), dict(permutation="Sorted_L2"),
     dict(permutation="")],
)
def test_invalid_coulomb_parameters_fail_before_any_structure(kwargs):
    args = dict(n_atoms_max=1, permutation="none") | kwargs
    # the first structure (too large, and an empty one after it) is never reached
    with pytest.raises(ValueError, match="^invalid Coulomb matrix parameters$"):
        tandril.compute_coulomb_matrix(*make_batch([H2, EMPTY]), **args)


def test_coulomb_structure_errors_in_batch_order():
    with pytest.raises(ValueError, match="^matrix descriptors do not accept empty structures$"):
        tandril.compute_coulomb_matrix(*make_batch([H2, EMPTY, rock_salt()]), n_atoms_max=2, permutation="none")
    with pytest.raises(ValueError, match="^structure exceeds n_atoms_max$"):
        tandril.compute_coulomb_matrix(*make_batch([H2, rock_salt(), EMPTY]), n_atoms_max=2, permutation="none")


@pytest.mark.parametrize(
    "call, bad, message",
    [
        (lambda b, c: tandril.compute_coulomb_matrix(*b, n_atoms_max=2, permutation="eigenspectrum", control=c),
         EMPTY, "^matrix descriptors do not accept empty structures$"),
        (lambda b, c: tandril.compute_coulomb_matrix(*b, n_atoms_max=2, permutation="eigenspectrum", control=c),
         rock_salt(), "^structure exceeds n_atoms_max$"),
        (lambda b, c: tandril.compute_matrix(*b, n_atoms_max=2, permutation="eigenspectrum", kind=0, control=c),
         rock_salt(), "^structure exceeds n_atoms_max$"),
        (lambda b, c: tandril.compute_matrix(*b, n_atoms_max=2, permutation="eigenspectrum", kind=2, control=c),
         rock_salt(), "^structure exceeds n_atoms_max$"),
        (lambda b, c: tandril.compute_matrix(*b, n_atoms_max=2, permutation="eigenspectrum", kind=1, control=c),
         rock_salt(), "^structure exceeds n_atoms_max$"),
    ],
)
@pytest.mark.parametrize("position", [0, 1, 5, 16, 17, 20])
def test_a_refused_structure_in_a_batch_of_spectra_stops_after_the_rows_before_it(call, bad, message, position):
    # spectra are computed several structures at a time; the refusal and the
    # progress must still be those of a one-by-one loop
    structures = [H2] * 24
    structures[position] = bad
    structures[position + 2] = rock_salt()  # a later fault stays unreported
    control = tandril.ComputeControl()
    with pytest.raises(ValueError, match=message):
        call(make_batch(structures), control)
    assert control.completed() == position


@pytest.mark.parametrize(
    "kwargs",
    [dict(n_atoms_max=0), dict(n_atoms_max=-3), dict(n_atoms_max=-3, permutation="eigenspectrum"),
     dict(exponent=0.0), dict(exponent=-1.0), dict(exponent=float("nan")), dict(exponent=float("inf"))],
)
def test_invalid_matrix_parameters(kwargs):
    args = dict(n_atoms_max=2, permutation="none") | kwargs
    for kind in (0, 1, 2, 7):
        with pytest.raises(ValueError, match="^invalid matrix descriptor parameters$"):
            tandril.compute_matrix(*make_batch([H2]), kind=kind, accuracy=2.0, **args)


@pytest.mark.parametrize("kind", [3, -1, 2**31 - 1])
def test_unknown_kind_is_refused_naming_the_kinds(kind):
    with pytest.raises(ValueError, match=r"^kind must be 0 \(sine matrix\), 1 \(Ewald sum matrix\) or 2 \(Coulomb matrix\)$"):
        tandril.compute_matrix(*make_batch([H2]), n_atoms_max=2, permutation="none", kind=kind, accuracy=2.0)


@pytest.mark.parametrize("accuracy", [0.0, 1.0, -0.5, 1.5, float("nan"), float("inf")])
def test_ewald_accuracy_must_lie_strictly_between_zero_and_one(accuracy):
    with pytest.raises(ValueError, match="^accuracy must be between zero and one$"):
        tandril.compute_matrix(*make_batch([H2]), n_atoms_max=2, permutation="none", kind=1, accuracy=accuracy)
    # other kinds ignore it
    tandril.compute_matrix(*make_batch([H2]), n_atoms_max=2, permutation="none", kind=0, accuracy=accuracy)


@pytest.mark.parametrize("kind", [0, 1, 2])
def test_unknown_permutation_fails_at_the_first_structure(kind):
    with pytest.raises(ValueError, match="^permutation must be 'none', 'sorted_l2', or 'eigenspectrum'$"):
        tandril.compute_matrix(*make_batch([H2]), n_atoms_max=2, permutation="SORTED_L2", kind=kind)


@pytest.mark.parametrize("kind", [0, 1, 2])
def test_structure_larger_than_n_atoms_max(kind):
    with pytest.raises(ValueError, match="^structure exceeds n_atoms_max$"):
        tandril.compute_matrix(*make_batch([H2, rock_salt()]), n_atoms_max=4, permutation="eigenspectrum", kind=kind)


@pytest.mark.parametrize(
    "kwargs",
    [dict(r_cut=5.0), dict(g_cut=2.0), dict(r_cut=-1.0, g_cut=2.0)],
)
def test_ewald_cutoffs_must_be_given_together(kwargs):
    with pytest.raises(ValueError, match="^r_cut and g_cut must be provided together$"):
        tandril.compute_matrix(*make_batch([H2]), n_atoms_max=2, permutation="none", kind=1, **kwargs)


def test_ewald_empty_structure_without_alpha_fails_in_the_first_pass():
    # the first pass (all Ewald matrices) runs before any row is written, so
    # the empty structure's error wins over the earlier, too large structure
    with pytest.raises(ValueError, match="^r_cut and g_cut must be provided together$"):
        tandril.compute_matrix(*make_batch([rock_salt(), EMPTY]), n_atoms_max=2, permutation="none", kind=1)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(w=-1.0), "Ewald screening parameter must be finite and positive"),
        (dict(w=0.0, r_cut=5.0, g_cut=2.0), "Ewald screening parameter must be finite and positive"),
        (dict(a=float("inf"), r_cut=5.0, g_cut=2.0), "Ewald screening parameter must be finite and positive"),
        (dict(r_cut=float("nan"), g_cut=2.0), "r_cut and g_cut must be finite"),
        (dict(r_cut=5.0, g_cut=float("inf")), "r_cut and g_cut must be finite"),
    ],
)
def test_ewald_parameters_that_would_give_non_finite_sums_are_refused(kwargs, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        tandril.compute_matrix(*make_batch([H2]), n_atoms_max=2, permutation="none", kind=1, **kwargs)


def test_ewald_sums_too_large_to_hold_raise_memory_error():
    with pytest.raises(MemoryError):
        tandril.compute_matrix(*make_batch([H2]), n_atoms_max=2, permutation="none", kind=1, r_cut=1.0, g_cut=1e12)


def test_result_too_large_to_hold_raises_memory_error():
    with pytest.raises(MemoryError):
        tandril.compute_matrix(*make_batch([H2]), n_atoms_max=2**40, permutation="none")
    with pytest.raises(MemoryError):
        tandril.compute_coulomb_matrix(*make_batch([H2]), n_atoms_max=2**31, permutation="none")


def test_conversion_errors_are_type_errors():
    batch = make_batch([H2])
    with pytest.raises(TypeError):
        tandril.compute_matrix(*batch, n_atoms_max=2.5, permutation="none")
    with pytest.raises(TypeError):
        tandril.compute_coulomb_matrix(*batch[:4], "0 2", n_atoms_max=2, permutation="none")


# --- control: cancellation, progress, threads ----------------------------------------------


def many_structures(count=400, n_atoms=40):
    rng = np.random.default_rng(9)
    return make_batch([random_triclinic(rng, n_atoms, species=(1, 6, 8)) for _ in range(count)])


def test_progress_counts_structures():
    control = tandril.ComputeControl()
    batch = make_batch([H2, rock_salt(), H2])
    tandril.compute_coulomb_matrix(*batch, n_atoms_max=8, permutation="none", control=control)
    assert (control.completed(), control.total(), control.cancelled()) == (3, 3, False)
    for kind in (0, 1, 2):
        control.reset(-3)
        tandril.compute_matrix(*batch, n_atoms_max=8, permutation="none", kind=kind, control=control)
        assert (control.completed(), control.total()) == (3, 3)


def test_coulomb_function_clears_an_earlier_cancellation():
    control = tandril.ComputeControl()
    control.cancel()
    out = tandril.compute_coulomb_matrix(*make_batch([H2, H2]), n_atoms_max=2, permutation="none", control=control)
    assert out.shape == (2, 4)
    assert not control.cancelled() and control.completed() == 2


@pytest.mark.parametrize("kind", [0, 1, 2])
def test_compute_matrix_refuses_to_start_when_already_cancelled(kind):
    control = tandril.ComputeControl()
    control.reset(7)
    control.cancel()
    with pytest.raises(tandril.CancelledError, match="^descriptor computation cancelled$"):
        tandril.compute_matrix(*make_batch([H2]), n_atoms_max=2, permutation="none", kind=kind, control=control)
    assert (control.completed(), control.total(), control.cancelled()) == (0, 7, True)


@pytest.mark.parametrize(
    "call",
    [
        lambda b, c: tandril.compute_coulomb_matrix(*b, n_atoms_max=40, permutation="eigenspectrum", control=c),
        lambda b, c: tandril.compute_matrix(*b, n_atoms_max=40, permutation="eigenspectrum", kind=0, control=c),
        lambda b, c: tandril.compute_matrix(*b, n_atoms_max=40, permutation="eigenspectrum", kind=1, control=c),
    ],
    ids=["coulomb", "sine", "ewald"],
)
def test_cancellation_during_a_computation(call):
    batch = many_structures()

    def repeatedly(control):
        for _ in range(200):  # long enough to be interrupted
            call(batch, control)

    control = cancelled_during(repeatedly, delay=0.02)
    assert control.cancelled()
    assert 0 <= control.completed() < control.total() == 400


@pytest.mark.parametrize("kind", [0, 1, 2])
def test_two_threads_at_once_give_the_sequential_results(kind):
    batch = many_structures(count=60, n_atoms=25)
    expected = tandril.compute_matrix(*batch, n_atoms_max=25, permutation="sorted_l2", kind=kind)
    results = run_concurrently(
        lambda: tandril.compute_matrix(*batch, n_atoms_max=25, permutation="sorted_l2", kind=kind))
    for result in results:
        np.testing.assert_array_equal(result, expected)
