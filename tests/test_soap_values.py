"""SOAP values: a NumPy reference, hand cases, invariances, averaging, harmonics and the radial caches."""

from __future__ import annotations

import math

import numpy as np
import pytest

import tandril
from conftest import diamond_silicon, make_batch, random_triclinic, rock_salt, rotation_matrix, supercell
from soap_helpers import compute, dimer, isolated_atom, soap_options
from soap_reference import PI_THREE_HALVES, atom_coefficients, power_spectrum, real_harmonics, soap_rows


def assert_rows_close(actual, expected, rtol=1e-12):
    """Every value within rtol of the largest magnitude of its row."""
    actual, expected = np.asarray(actual), np.asarray(expected)
    assert actual.shape == expected.shape
    scale = np.maximum(np.abs(expected).max(axis=-1, keepdims=True), 1e-300)
    np.testing.assert_array_less(np.abs(actual - expected) / scale, rtol)


# The polynomial basis forms i_l(a) by the upward recurrence, which loses
# digits for small a at higher l: its values hold to about 1e-11 of a row.
TOLERANCE = {"gto": 1e-12, "polynomial": 1e-10}


def random_structures(rng, count=2, atoms=6, species=(1, 8)):
    return [random_triclinic(rng, atoms, species=species, volume_per_atom=11.0) for _ in range(count)]


# ---------------------------------------------------------------------------
# Against the reference


@pytest.mark.parametrize("compression", [0, 1, 2, 3])
@pytest.mark.parametrize("rbf", ["gto", "polynomial"])
def test_matches_reference_for_every_layout(rng, rbf, compression):
    options = soap_options(species=(1, 8), r_cut=3.2, n_max=3, l_max=4, sigma=0.45, rbf=rbf, compression=compression)
    structures = random_structures(rng)
    assert_rows_close(compute(options, structures), soap_rows(options, structures), TOLERANCE[rbf])


@pytest.mark.parametrize(
    "weighting",
    [
        {"weighting_has_function": True, "weighting_function": 1, "weighting_r0": 2.5, "weighting_c": 1.5, "weighting_m": 2.0},
        {"weighting_has_function": True, "weighting_function": 2, "weighting_r0": 1.3, "weighting_c": 0.7,
         "weighting_d": 0.4, "weighting_m": 3.0},
        {"weighting_has_function": True, "weighting_function": 3, "weighting_r0": 0.9, "weighting_c": 2.0, "weighting_d": 0.1},
        {"weighting_has_function": True, "weighting_function": 2, "weighting_r0": 1.0, "weighting_c": 1.0,
         "weighting_d": 0.0, "weighting_m": 2.0, "weighting_has_w0": True, "weighting_w0": 0.3},
        {"weighting_has_w0": True, "weighting_w0": 2.5, "species_weights": [0.5, -1.25]},
    ],
    ids=["poly", "pow", "exp", "pow_without_offset_with_w0", "w0_and_species_weights"],
)
@pytest.mark.parametrize("rbf", ["gto", "polynomial"])
def test_matches_reference_with_weights(rng, rbf, weighting):
    options = soap_options(r_cut=3.0, n_max=3, l_max=3, sigma=0.4, rbf=rbf, **weighting)
    structures = random_structures(rng, count=1, atoms=7)
    assert_rows_close(compute(options, structures), soap_rows(options, structures), TOLERANCE[rbf])


@pytest.mark.parametrize("compression", [0, 2])
def test_three_species_in_list_order_not_atomic_number_order(rng, compression):
    options = soap_options(species=(8, 1, 6), r_cut=3.0, n_max=2, l_max=2, sigma=0.4, compression=compression)
    structures = random_structures(rng, count=1, atoms=9, species=(1, 6, 8))
    assert_rows_close(compute(options, structures), soap_rows(options, structures), 1e-11)


@pytest.mark.parametrize("average", ["inner", "outer"])
@pytest.mark.parametrize("rbf", ["gto", "polynomial"])
def test_averaging_matches_reference(rng, rbf, average):
    options = soap_options(rbf=rbf, inner_average=average == "inner", outer_average=average == "outer", compression=0)
    structures = random_structures(rng, count=3, atoms=5)
    assert_rows_close(compute(options, structures), soap_rows(options, structures), TOLERANCE[rbf])


def test_outer_average_is_the_mean_of_the_per_atom_rows(rng):
    structures = random_structures(rng, count=3, atoms=5)
    per_atom = compute(soap_options(), structures)
    averaged = compute(soap_options(inner_average=False, outer_average=True), structures)
    np.testing.assert_allclose(averaged, per_atom.reshape(3, 5, -1).mean(axis=1), rtol=1e-14, atol=1e-14)


def test_inner_average_is_the_spectrum_of_mean_coefficients_and_wins_over_outer(rng):
    structures = random_structures(rng, count=2, atoms=4)
    options = soap_options(inner_average=True, outer_average=True)
    rows = compute(options, structures)
    for row, (numbers, positions, cell) in zip(rows, structures):
        mean = atom_coefficients(options, numbers, positions, cell).mean(axis=0)
        assert_rows_close(row[None], power_spectrum(options, mean)[None], 1e-11)
    only_inner = compute(soap_options(inner_average=True, outer_average=False), structures)
    np.testing.assert_array_equal(rows, only_inner)


@pytest.mark.parametrize("average", ["inner", "outer"])
def test_empty_structure_gives_a_zero_row_under_averaging(rng, average):
    options = soap_options(inner_average=average == "inner", outer_average=average == "outer")
    empty = (np.zeros(0, dtype=int), np.zeros((0, 3)), np.eye(3) * 7.0)
    structures = random_structures(rng, count=1, atoms=4)
    rows = compute(options, [structures[0], empty, structures[0]])
    np.testing.assert_array_equal(rows[1], 0.0)
    np.testing.assert_array_equal(rows[0], rows[2])


@pytest.mark.parametrize("average, rows", [("off", 0), ("inner", 1), ("outer", 1)])
def test_a_single_empty_structure(average, rows):
    options = soap_options(inner_average=average == "inner", outer_average=average == "outer")
    out = compute(options, [(np.zeros(0, dtype=int), np.zeros((0, 3)), np.eye(3) * 7.0)])
    assert out.shape == (rows, tandril.SoapCalculator(options).feature_count)
    np.testing.assert_array_equal(out, 0.0)


def test_empty_structure_in_the_middle_of_a_per_atom_batch(rng):
    empty = (np.zeros(0, dtype=int), np.zeros((0, 3)), np.eye(3) * 7.0)
    structures = random_structures(rng, count=2, atoms=4)
    with_empty = compute(soap_options(), [structures[0], empty, structures[1]])
    np.testing.assert_array_equal(with_empty, compute(soap_options(), structures))


def test_no_structures_gives_zero_rows_for_stray_atoms():
    # Offsets [0] with atoms: a batch of no structures passes validation; the
    # atoms' rows must be zeros, not uninitialised memory.
    calculator = tandril.SoapCalculator(soap_options())
    numbers = np.array([1, 8, 1], dtype=np.int32)
    out = calculator.compute(numbers, np.zeros((3, 3)), np.zeros((0, 3, 3)), np.zeros((0, 3), np.int32),
                             np.array([0], np.int64), inner_average=False)
    assert out.shape == (3, calculator.feature_count)
    np.testing.assert_array_equal(out, 0.0)
    averaging = tandril.SoapCalculator(soap_options(inner_average=True))
    averaged = averaging.compute(numbers, np.zeros((3, 3)), np.zeros((0, 3, 3)), np.zeros((0, 3), np.int32),
                                 np.array([0], np.int64))
    assert averaged.shape == (0, calculator.feature_count)


# ---------------------------------------------------------------------------
# Hand cases


def test_isolated_atom_gto_value():
    """Only l = 0 survives: c_n = pi^(3/2) w0 Y00 sum_n' beta_(0,n,n') S_(0,n'), p_(0,n,n') = pi sqrt(8) c_n c_n'."""
    w0 = 1.7
    options = soap_options(species=(1,), r_cut=3.0, n_max=3, l_max=2, sigma=0.4, weighting_has_w0=True, weighting_w0=w0)
    row = compute(options, [isolated_atom(1)])[0]
    k = 1.0 / (2 * 0.4**2)
    alphas = np.array(options.alphas).reshape(3, 3)
    betas = np.array(options.betas).reshape(3, 3, 3)
    c = PI_THREE_HALVES * w0 * 0.28209479177387814 * betas[0] @ (alphas[0] + k) ** -1.5
    p = math.pi * math.sqrt(8.0) * np.outer(c, c)
    np.testing.assert_allclose(row[:6], p[np.triu_indices(3)], rtol=1e-13)
    np.testing.assert_array_equal(row[6:], 0.0)


@pytest.mark.parametrize("rbf", ["gto", "polynomial"])
def test_centre_weight_zero_removes_the_isolated_atom(rbf):
    options = soap_options(species=(1,), rbf=rbf, weighting_has_w0=True, weighting_w0=0.0)
    np.testing.assert_array_equal(compute(options, [isolated_atom(1)]), 0.0)


@pytest.mark.parametrize("rbf", ["gto", "polynomial"])
def test_centre_contributes_to_l0_only(rbf):
    options = soap_options(species=(1,), rbf=rbf, n_max=2, l_max=3)
    row = compute(options, [isolated_atom(1)])[0].reshape(4, 3)
    assert np.all(row[0] != 0.0)
    np.testing.assert_array_equal(row[1:], 0.0)


@pytest.mark.parametrize("rbf", ["gto", "polynomial"])
def test_poly_weighting_ignores_neighbours_beyond_r0(rbf):
    weighting = {"weighting_has_function": True, "weighting_function": 1, "weighting_r0": 1.9, "weighting_c": 1.0,
                 "weighting_m": 1.5}
    options = soap_options(species=(1,), rbf=rbf, **weighting)
    pair = compute(options, [dimer(2.0, numbers=(1, 1))])
    alone = compute(options, [isolated_atom(1)])
    np.testing.assert_array_equal(pair, np.vstack([alone, alone]))


def test_poly_weighting_rounding_near_r0_gives_no_nan():
    # 1 - 3x^2 + 2x^3 can round to -2^-52 just below x = 1; a fractional
    # power of it would be NaN. Find such a distance and check the row.
    r0 = 2.0
    distance = next(d for d in 2.0 * (1.0 - np.arange(1, 200000) * 1e-11)
                    if 1.0 - 3.0 * (d / r0) ** 2 + 2.0 * (d / r0) ** 3 < 0.0)
    weighting = {"weighting_has_function": True, "weighting_function": 1, "weighting_r0": r0, "weighting_m": 1.5}
    rows = compute(soap_options(species=(1,), **weighting), [dimer(distance, numbers=(1, 1))])
    assert np.isfinite(rows).all()
    np.testing.assert_array_equal(rows, compute(soap_options(species=(1,), **weighting), [isolated_atom(1)]).repeat(2, 0))


@pytest.mark.parametrize(
    "function, d, m, expected",
    [(2, 0.5, 2.0, lambda x: 0.8 / (x**2 + 0.5)), (3, 0.25, 1.0, lambda x: 0.8 / (math.exp(-x) + 0.25))],
    ids=["pow", "exp"],
)
def test_weighting_functions_scale_a_neighbour_by_hand(function, d, m, expected):
    """An isolated pair seen from atom 0: the neighbour's coefficients scale with its weight, the centre's with w(0)."""
    distance, r0 = 2.1, 1.4
    weighting = {"weighting_has_function": True, "weighting_function": function, "weighting_r0": r0,
                 "weighting_c": 0.8, "weighting_d": d, "weighting_m": m}
    options = soap_options(species=(1, 8), n_max=2, l_max=2, **weighting)
    structure = dimer(distance)
    plain = soap_options(species=(1, 8), n_max=2, l_max=2)
    centre_weight, neighbour_weight = expected(0.0), expected(distance / r0)
    c = atom_coefficients(plain, *structure)[0]
    scaled = np.stack([c[0] * centre_weight, c[1] * neighbour_weight])
    assert_rows_close(compute(options, [structure])[:1], power_spectrum(plain, scaled)[None], 1e-12)


def test_run_time_weight_overflow_is_refused():
    # c / (exp(-x) + 0) overflows once exp(-x) underflows (x > ~745).
    options = soap_options(weighting_has_function=True, weighting_function=3, weighting_r0=1e-3, weighting_d=0.0)
    with pytest.raises(ValueError, match="^invalid SOAP weighting parameters$"):
        compute(options, [dimer(1.0)])


# ---------------------------------------------------------------------------
# Invariances


@pytest.mark.parametrize("rbf", ["gto", "polynomial"])
def test_rotation_and_translation_invariance(rng, rbf):
    options = soap_options(r_cut=3.5, n_max=4, l_max=6, sigma=0.5, rbf=rbf)
    numbers, positions, cell = random_triclinic(rng, 8, species=(1, 8), volume_per_atom=11.0)
    rotation = rotation_matrix(rng)
    shift = rng.normal(size=3)
    rows = compute(options, [(numbers, positions, cell)])
    moved = compute(options, [(numbers, positions @ rotation.T + shift, cell @ rotation.T)])
    assert_rows_close(moved, rows, TOLERANCE[rbf])


def test_atom_permutation_permutes_rows(rng):
    numbers, positions, cell = random_triclinic(rng, 7, species=(1, 8), volume_per_atom=11.0)
    order = rng.permutation(7)
    options = soap_options()
    rows = compute(options, [(numbers, positions, cell)])
    assert_rows_close(compute(options, [(numbers[order], positions[order], cell)]), rows[order], 1e-12)


@pytest.mark.parametrize("make", [rock_salt, diamond_silicon], ids=["rock_salt", "diamond"])
@pytest.mark.parametrize("rbf", ["gto", "polynomial"])
def test_supercell_rows_equal_primitive_rows(make, rbf):
    numbers, positions, cell = make()
    species = sorted(set(numbers.tolist()))
    options = soap_options(species=species, r_cut=4.0, n_max=4, l_max=5, sigma=0.5, rbf=rbf)
    primitive = compute(options, [(numbers, positions, cell)])
    big = compute(options, [supercell((numbers, positions, cell), (2, 1, 2))])
    assert_rows_close(big, np.tile(primitive, (4, 1)), TOLERANCE[rbf])


@pytest.mark.parametrize("compression", [0, 1, 2, 3])
def test_swapping_species_order_permutes_blocks(rng, compression):
    structures = random_structures(rng, count=1, atoms=6)
    forward = compute(soap_options(species=(1, 8), compression=compression, species_weights=[1.0, 0.5]), structures)
    backward = compute(soap_options(species=(8, 1), compression=compression, species_weights=[0.5, 1.0]), structures)
    n, degrees = 3, 4
    upper, full = degrees * n * (n + 1) // 2, degrees * n * n
    if compression == 0:
        blocks = [upper, full, upper]  # (0,0) (0,1) (1,1)
        split = np.split(forward, np.cumsum(blocks)[:-1], axis=1)
        other = np.split(backward, np.cumsum(blocks)[:-1], axis=1)
        np.testing.assert_allclose(other[0], split[2], rtol=1e-13, atol=1e-16)
        np.testing.assert_allclose(other[2], split[0], rtol=1e-13, atol=1e-16)
        # the cross block transposes n and n'
        cross = split[1].reshape(-1, degrees, n, n).transpose(0, 1, 3, 2).reshape(len(forward), -1)
        np.testing.assert_allclose(other[1], cross, rtol=1e-13, atol=1e-16)
    elif compression == 1:
        np.testing.assert_allclose(backward, forward, rtol=1e-13, atol=1e-16)
    else:
        width = (full if compression == 2 else upper)
        np.testing.assert_allclose(backward[:, :width], forward[:, width:], rtol=1e-13, atol=1e-16)
        np.testing.assert_allclose(backward[:, width:], forward[:, :width], rtol=1e-13, atol=1e-16)


# ---------------------------------------------------------------------------
# The GTO expansion is the exact overlap integral


def test_gto_coefficients_match_a_brute_force_density_integral():
    """int g_nl(r) Y_lm(r_hat) rho(r) d^3r by a product quadrature, for an atom with two neighbours."""
    r_cut, n_max, l_max, sigma = 4.0, 3, 3, 0.5
    options = soap_options(species=(1,), r_cut=r_cut, n_max=n_max, l_max=l_max, sigma=sigma)
    positions = np.array([[10.0, 10.0, 10.0], [11.3, 10.4, 9.7], [9.1, 11.6, 10.8]])
    structure = (np.array([1, 1, 1]), positions, np.eye(3) * 40.0)
    row = compute(options, [structure])[0]

    alphas = np.array(options.alphas).reshape(l_max + 1, n_max)
    betas = np.array(options.betas).reshape(l_max + 1, n_max, n_max)
    radial_nodes, radial_weights = np.polynomial.legendre.leggauss(240)
    r = 5.0 * (radial_nodes + 1.0)  # [0, 10]
    radial_weights = 5.0 * radial_weights
    cos_nodes, cos_weights = np.polynomial.legendre.leggauss(64)
    phi = np.arange(128) * (2 * np.pi / 128)
    sin_theta = np.sqrt(1 - cos_nodes**2)
    directions = np.stack(
        [np.outer(sin_theta, np.cos(phi)), np.outer(sin_theta, np.sin(phi)), np.outer(cos_nodes, np.ones_like(phi))], axis=-1
    ).reshape(-1, 3)
    angular_weights = np.repeat(cos_weights, len(phi)) * (2 * np.pi / len(phi))
    harmonics = real_harmonics(l_max, directions)  # (points, (L+1)^2)
    neighbours = positions - positions[0]
    coefficients = np.zeros((n_max, (l_max + 1) ** 2))
    for radius, weight in zip(r, radial_weights):
        points = radius * directions
        density = sum(np.exp(-((points - v) ** 2).sum(axis=1) / (2 * sigma**2)) for v in neighbours)
        projected = harmonics.T @ (density * angular_weights)  # (L+1)^2
        for l in range(l_max + 1):
            g = betas[l] @ (radius**l * np.exp(-alphas[l] * radius**2))  # g_(n,l)(radius)
            coefficients[:, l * l : (l + 1) ** 2] += weight * radius**2 * np.outer(g, projected[l * l : (l + 1) ** 2])
    assert_rows_close(row[None], power_spectrum(options, coefficients[None])[None], 1e-9)


# ---------------------------------------------------------------------------
# The polynomial basis integrates on its grid


def test_polynomial_rows_converge_as_the_grid_is_refined(rng):
    structures = random_structures(rng, count=1, atoms=4)
    grids = (7, 9, 12, 16, 48)
    rows = {g: compute(soap_options(rbf="polynomial", r_cut=3.0, n_max=4, l_max=4, sigma=0.4, grid_size=g), structures)
            for g in grids + (192,)}
    finest = rows[192]
    errors = [np.abs(rows[g] - finest).max() / np.abs(finest).max() for g in grids]
    assert all(later < earlier for earlier, later in zip(errors, errors[1:])), errors
    assert errors[-1] < 1e-11
    options = soap_options(rbf="polynomial", r_cut=3.0, n_max=4, l_max=4, sigma=0.4, grid_size=192)
    assert_rows_close(finest, soap_rows(options, structures), 1e-10)


def test_polynomial_grid_point_at_zero_contributes_nothing(rng):
    options = soap_options(rbf="polynomial", r_cut=3.0, n_max=3, l_max=3, sigma=0.4)
    with_origin = soap_options(rbf="polynomial", r_cut=3.0, n_max=3, l_max=3, sigma=0.4)
    grid = options.radial_grid
    with_origin.radial_grid = [0.0] + grid
    with_origin.radial_weights = [0.7] + options.radial_weights
    values = np.array(options.radial_values).reshape(3, -1)
    with_origin.radial_values = np.hstack([np.full((3, 1), 2.5), values]).ravel().tolist()
    structures = random_structures(rng, count=2, atoms=5)
    rows = compute(with_origin, structures)
    assert np.isfinite(rows).all()
    assert_rows_close(rows, compute(options, structures), 1e-13)


# ---------------------------------------------------------------------------
# Harmonics


def sphere_points(rng, count):
    v = rng.normal(size=(count, 3))
    return v * rng.uniform(0.2, 3.0, size=(count, 1)) / np.linalg.norm(v, axis=1, keepdims=True)


def test_closed_forms_agree_with_the_recurrence(rng):
    points = np.vstack([sphere_points(rng, 200), [[0, 0, 1.3], [0, 0, -0.7], [2.0, 0, 0], [0, -1.5, 0]]])
    closed = tandril._tables_cpp._real_solid_harmonics(points, 3)
    recurrence = tandril._tables_cpp._real_solid_harmonics(points, 3, recurrence_only=True)
    scale = np.linalg.norm(points, axis=1, keepdims=True) ** np.repeat(np.arange(4), 2 * np.arange(4) + 1)
    np.testing.assert_allclose(closed / scale, recurrence / scale, rtol=0, atol=4e-16)


@pytest.mark.parametrize("l_max", [0, 3, 4, 9, 20])
def test_solid_harmonics_are_r_to_the_l_times_orthonormal_real_harmonics(rng, l_max):
    points = sphere_points(rng, 50)
    solid = tandril._tables_cpp._real_solid_harmonics(points, l_max)
    r = np.linalg.norm(points, axis=1, keepdims=True)
    degrees = np.repeat(np.arange(l_max + 1), 2 * np.arange(l_max + 1) + 1)
    unit = solid / r**degrees
    reference = real_harmonics(l_max, points)
    # same functions up to the sign convention of each (l, m)
    np.testing.assert_allclose(np.abs(unit), np.abs(reference), rtol=1e-11, atol=1e-13)
    # orthonormal on the sphere (Gauss-Legendre in cos(theta) times a uniform phi grid)
    nodes, weights = np.polynomial.legendre.leggauss(l_max + 2)
    phi = np.arange(2 * l_max + 3) * (2 * np.pi / (2 * l_max + 3))
    s = np.sqrt(1 - nodes**2)
    directions = np.stack([np.outer(s, np.cos(phi)), np.outer(s, np.sin(phi)), np.outer(nodes, np.ones_like(phi))], -1)
    y = tandril._tables_cpp._real_solid_harmonics(directions.reshape(-1, 3), l_max)
    w = np.repeat(weights, len(phi)) * (2 * np.pi / len(phi))
    np.testing.assert_allclose((y * w[:, None]).T @ y, np.eye((l_max + 1) ** 2), atol=1e-12)


def test_harmonics_at_the_origin_keep_only_y00():
    values = tandril._tables_cpp._real_solid_harmonics(np.zeros((1, 3)), 6)[0]
    assert values[0] == 0.28209479177387814
    np.testing.assert_array_equal(values[1:], 0.0)


def test_values_do_not_depend_on_l_max(rng):
    """Degrees served by closed forms (l <= 3) and by the recurrence are bit-identical whatever l_max is."""
    structures = random_structures(rng, count=2, atoms=5)
    n = 3
    rows = {}
    for l_max in (2, 3, 4, 7):
        options = soap_options(n_max=n, l_max=l_max, compression=1)
        rows[l_max] = compute(options, structures).reshape(10, l_max + 1, -1)
    for l_max in (3, 4, 7):
        np.testing.assert_array_equal(rows[l_max][:, :3], rows[2])
    np.testing.assert_array_equal(rows[7][:, :5], rows[4])
    np.testing.assert_array_equal(rows[7][:, :4], rows[3])


# ---------------------------------------------------------------------------
# Radial caches: results never depend on them


@pytest.mark.parametrize(
    "fields",
    [{"rbf": "gto", "compression": 1}, {"rbf": "gto", "compression": 0, "inner_average": True},
     {"rbf": "polynomial", "compression": 0}],
    ids=["gto_cache", "gto_cache_inner_average", "polynomial_cache"],
)
def test_results_do_not_depend_on_the_radial_caches(rng, fields):
    options = soap_options(**fields)
    numbers, positions, cell = rock_salt()
    structures = random_structures(rng, count=4, atoms=5) + [(np.where(numbers == 11, 1, 8), positions, cell)]
    together = compute(options, structures)  # the thread's persistent caches
    again = compute(options, structures)  # warm caches
    alone = np.vstack([compute(options, [s]) for s in structures])  # fresh caches per call
    np.testing.assert_array_equal(together, again)
    np.testing.assert_array_equal(together, alone)
    # another basis in between changes the caches' tags and back
    compute(soap_options(**{**fields, "sigma": 0.55}), structures[:2])
    np.testing.assert_array_equal(compute(options, structures), together)


def test_capped_polynomial_cache_empties_and_refills_without_changing_results(rng):
    # Rows of 21 * 1600 values: the cache holds 256 of them, fewer than the
    # distinct distances of one structure and than the neighbours of one atom.
    options = soap_options(species=(1,), rbf="polynomial", r_cut=3.0, n_max=2, l_max=20, sigma=0.4, grid_size=1600)
    dense = [random_triclinic(rng, 2, species=(1,), volume_per_atom=1.1) for _ in range(2)]
    entries = np.diff(tandril.build_neighbor_graph(*dense[0][:3], [1, 1, 1], 3.0 + 3.7169221888498383 * 0.4)[0])
    assert entries.min() > 256
    together = compute(options, dense)
    alone = np.vstack([compute(options, [s]) for s in dense])
    np.testing.assert_array_equal(together, alone)
    assert np.isfinite(together).all()
    small = soap_options(species=(1,), rbf="polynomial", r_cut=3.0, n_max=2, l_max=2, sigma=0.4, grid_size=200)
    reference = soap_rows(small, dense)
    # the first three degrees do not depend on l_max
    capped = together.reshape(len(together), 21, -1)[:, :3].reshape(len(together), -1)
    assert_rows_close(capped, reference, 1e-8)
