"""NEP descriptors: values against a NumPy evaluation, identities, invariances,
the speed paths, and the calculator frame."""

from __future__ import annotations

import math
import threading

import numpy as np
import pytest
from scipy.special import lpmv

import tandril
from conftest import cancelled_during, make_batch, random_triclinic, rotation_matrix, shared_data, supercell
from nep_models import (
    ATOMIC_NUMBER,
    MANY_BODY_TERMS,
    angular_sums,
    basis_functions,
    read_model,
    reference_descriptors,
    synthetic_model,
    three_body,
)


def calculator(model, tmp_path, num_threads: int = 0, name: str = "model.txt") -> tandril.NepCalculator:
    options = tandril.NepOptions()
    options.model_path = str(model.write(tmp_path / name))
    options.num_threads = num_threads
    return tandril.NepCalculator(options)


def compute(calc, structures, control=None):
    return calc.compute(*make_batch(structures), control=control)


def assert_close_rows(actual, expected, rtol=1e-10):
    scale = max(1.0, float(np.abs(expected).max()))
    np.testing.assert_allclose(actual, expected, rtol=rtol, atol=rtol * scale)


# ---------------------------------------------------------------- values against the NumPy evaluation

CONFIGURATIONS = {
    "four and five body, unrolled": dict(),
    "four body only, unrolled": dict(flags=(1, 0)),
    "every flag, general basis": dict(basis_size=(5, 7), l_max=3, flags=(1, 1, 1, 1, 1, 1)),
    "l_max 8, triple 134": dict(n_max=(3, 5), basis_size=(10, 3), l_max=8, flags=(0, 0, 0, 0, 0, 1)),
    "l_max 6, every flag": dict(n_max=(2, 3), basis_size=(4, 8), l_max=6, flags=(1, 1, 1, 1, 1, 1)),
    "three types, per-type cutoffs": dict(
        symbols=("Ba", "Ti", "O"), radial_cutoffs=(5.0, 4.2, 3.6), angular_cutoffs=(3.5, 3.0, 2.6), l_max=2,
        flags=(0, 1, 1)),
    "equal radial and angular cutoffs for some pairs": dict(
        symbols=("Ba", "Ti", "O"), radial_cutoffs=(5.0, 4.0, 3.6), angular_cutoffs=(5.0, 3.0, 3.6)),
    "l_max 0 with flags": dict(l_max=0, flags=(1, 1)),
    "smallest sizes": dict(n_max=(0, 0), basis_size=(0, 0), l_max=1, flags=()),
    "many descriptor indices": dict(n_max=(15, 12), basis_size=(3, 2), l_max=2, flags=(1,)),
    "more descriptor indices than unrolled": dict(n_max=(20, 10), basis_size=(2, 3), l_max=1, flags=()),
    "odd index counts": dict(n_max=(6, 8), basis_size=(8, 9), l_max=4, flags=(0, 1)),
}


@pytest.mark.parametrize("config", CONFIGURATIONS.values(), ids=CONFIGURATIONS.keys())
def test_rows_match_numpy_evaluation(tmp_path, rng, config):
    model = synthetic_model(rng, **config)
    structure = random_triclinic(rng, 24, species=model.species)
    expected = reference_descriptors(model, *structure)
    for num_threads in (1, 0):
        assert_close_rows(compute(calculator(model, tmp_path, num_threads), [structure]), expected)


SHIPPED = [
    "nep3_Si_1type_Si_2022_NEP3_4body.txt",
    "nep3_PbTe_2type.txt",
    "nep3_BaZrO_3type.txt",
    "nep4_C_1type_C_2024_NEP4.txt",
    "nep4_OH_2type_water.txt",
    "nep4_zbl_BaTiO_3type.txt",
    "nep4_zbl_CrCoNi_3type_zbl3values.txt",
]


@pytest.mark.parametrize("name", SHIPPED)
def test_shipped_models_match_numpy_evaluation(rng, name):
    path = shared_data("nep", name)
    model = read_model(path)
    structure = random_triclinic(rng, 20, species=model.species, volume_per_atom=14.0)
    options = tandril.NepOptions()
    options.model_path = str(path)
    rows = tandril.NepCalculator(options).compute(*make_batch([structure]))
    assert_close_rows(rows, reference_descriptors(model, *structure))


# ---------------------------------------------------------------- identities independent of the formulas


def spherical_harmonic(l: int, m: int, unit: np.ndarray) -> np.ndarray:
    """Orthonormal complex Y_lm (Condon-Shortley phase) of unit vectors."""
    mu = abs(m)
    norm = math.sqrt((2 * l + 1) / (4 * math.pi) * math.factorial(l - mu) / math.factorial(l + mu))
    y = norm * lpmv(mu, l, unit[:, 2]) * np.exp(1j * mu * np.arctan2(unit[:, 1], unit[:, 0]))
    return (-1) ** mu * np.conj(y) if m < 0 else y


def wigner_3j(j1, j2, j3, m1, m2, m3) -> float:
    """Racah's formula."""
    if m1 + m2 + m3 != 0:
        return 0.0
    f = math.factorial
    triangle = f(j1 + j2 - j3) * f(j1 - j2 + j3) * f(-j1 + j2 + j3) / f(j1 + j2 + j3 + 1)
    prefactor = (-1) ** (j1 - j2 - m3) * math.sqrt(
        triangle * f(j1 + m1) * f(j1 - m1) * f(j2 + m2) * f(j2 - m2) * f(j3 + m3) * f(j3 - m3))
    total = 0.0
    for k in range(0, j1 + j2 + j3 + 1):
        args = [k, j1 + j2 - j3 - k, j1 - m1 - k, j2 + m2 - k, j3 - j2 + m1 + k, j3 - j1 - m2 + k]
        if min(args) >= 0:
            total += (-1) ** k / math.prod(f(a) for a in args)
    return prefactor * total


def single_centre_environment(rng, count=7):
    """Atom 0 with `count` neighbours inside the angular cutoff, in a cell far
    larger than the cutoff, and the weights g[j, n] of those neighbours."""
    directions = rng.normal(size=(count, 3))
    directions /= np.linalg.norm(directions, axis=1)[:, None]
    vectors = directions * rng.uniform(1.2, 3.3, count)[:, None]
    positions = np.vstack([[15.0, 15.0, 15.0], 15.0 + vectors])
    return (np.full(count + 1, 8), positions, np.eye(3) * 30.0), vectors


@pytest.mark.parametrize("seed", [1, 2])
def test_angular_slots_are_the_spherical_harmonic_invariants(tmp_path, seed):
    rng = np.random.default_rng(seed)
    model = synthetic_model(rng, symbols=("O",), n_max=(1, 2), basis_size=(3, 4), l_max=8,
                           flags=(1, 1, 1, 1, 1, 1), unit_scales=True)
    structure, vectors = single_centre_environment(rng)
    row = compute(calculator(model, tmp_path), [structure])[0]
    r = np.linalg.norm(vectors, axis=1)
    unit = vectors / r[:, None]
    f = basis_functions(r, np.full_like(r, model.angular_cutoffs[0]), model.basis_size[1])
    g = f @ model.angular_coefficients[:, :, 0, 0].T  # (neighbour, n)
    na = model.n_max[1] + 1
    slots = row[model.n_max[0] + 1:].reshape(model.num_angular_slots, na)
    cosines = unit @ unit.T
    for n in range(na):
        weights = np.outer(g[:, n], g[:, n])
        # Addition theorem: sum_m C_lm |S_lm|^2 = (2l + 1)/(4 pi) sum_jk g_j g_k P_l(cos theta_jk).
        for l in range(1, 9):
            legendre = np.polynomial.legendre.legval(cosines, [0] * l + [1])
            expected = (2 * l + 1) / (4 * math.pi) * np.sum(weights * legendre)
            assert slots[l - 1, n] == pytest.approx(expected, rel=1e-11, abs=1e-13)
        A = {(l, m): np.sum(g[:, n] * spherical_harmonic(l, m, unit)) for l in range(1, 5) for m in range(-l, l + 1)}
        # Each triple term is the 3j contraction of three order sums; the
        # five-body term is 7/15 of the squared order-1 invariant.
        for slot, (l1, l2, l3) in zip((8, 10, 11, 12, 13), ((2, 2, 2), (1, 1, 2), (1, 2, 3), (2, 3, 3), (1, 3, 4))):
            coupled = sum(
                wigner_3j(l1, l2, l3, m1, m2, -m1 - m2) * A[l1, m1] * A[l2, m2] * A[l3, -m1 - m2]
                for m1 in range(-l1, l1 + 1) for m2 in range(-l2, l2 + 1) if abs(m1 + m2) <= l3)
            assert abs(coupled.imag) < 1e-12 * max(1.0, abs(coupled))
            assert slots[slot, n] == pytest.approx(coupled.real, rel=1e-11, abs=1e-13)
        order_one = sum(abs(A[1, m]) ** 2 for m in (-1, 0, 1))
        assert slots[9, n] == pytest.approx(7 / 15 * order_one**2, rel=1e-11, abs=1e-13)


def test_numpy_evaluation_uses_complex_sums_like_the_layout(rng):
    # The reference's S layout against the formulas written out for l = 2.
    vectors = rng.normal(size=(5, 3))
    g = rng.normal(size=(5, 1))
    S = angular_sums(g, vectors, 2)[0]
    r = np.linalg.norm(vectors, axis=1)
    x, y, z = (vectors / r[:, None]).T
    assert S[3] == pytest.approx(np.sum(g[:, 0] * (3 * z**2 - 1)))
    assert S[4] + 1j * S[5] == pytest.approx(np.sum(g[:, 0] * z * (x + 1j * y)))
    assert S[6] + 1j * S[7] == pytest.approx(np.sum(g[:, 0] * (x + 1j * y) ** 2))
    assert three_body(S, 2) > 0 and MANY_BODY_TERMS[0](S) != 0


# ---------------------------------------------------------------- invariances

INVARIANCE_MODELS = {
    "fused": dict(),
    "general, every flag": dict(basis_size=(6, 5), l_max=5, flags=(1, 1, 1, 1, 1, 1)),
}


@pytest.fixture(params=INVARIANCE_MODELS.values(), ids=INVARIANCE_MODELS.keys())
def invariance_setup(request, tmp_path, rng):
    model = synthetic_model(rng, **request.param)
    return calculator(model, tmp_path), random_triclinic(rng, 18, species=model.species)


def test_rotation_and_translation_invariance(invariance_setup, rng):
    calc, (numbers, positions, cell) = invariance_setup
    rows = compute(calc, [(numbers, positions, cell)])
    q = rotation_matrix(rng)
    moved = (positions + np.array([0.31, -0.12, 0.07]) @ cell) @ q.T
    assert_close_rows(compute(calc, [(numbers, moved, cell @ q.T)]), rows, rtol=1e-9)


def test_permutation_and_supercell(invariance_setup, rng):
    calc, structure = invariance_setup
    numbers, positions, cell = structure
    rows = compute(calc, [structure])
    order = rng.permutation(len(numbers))
    assert_close_rows(compute(calc, [(numbers[order], positions[order], cell)]), rows[order], rtol=1e-9)
    big = supercell(structure, (2, 1, 2))
    assert_close_rows(compute(calc, [big]), np.tile(rows, (4, 1)), rtol=1e-9)


# ---------------------------------------------------------------- speed paths against the general path


def columns_of_slots(model, rows, slot_indices):
    na = model.n_max[1] + 1
    start = model.n_max[0] + 1
    return np.concatenate([rows[:, start + s * na : start + (s + 1) * na] for s in slot_indices], axis=1)


def test_unrolled_basis_of_nine_values_equals_general_basis(tmp_path, rng):
    model = synthetic_model(rng, basis_size=(8, 8), unit_scales=True)
    wider = synthetic_model(rng, basis_size=(9, 9), unit_scales=True)
    # The tenth basis function carries zero coefficients: the same sums in the same order.
    wider.radial_coefficients[:, :9] = model.radial_coefficients
    wider.radial_coefficients[:, 9] = 0.0
    wider.angular_coefficients[:, :9] = model.angular_coefficients
    wider.angular_coefficients[:, 9] = 0.0
    structures = [random_triclinic(rng, 30, species=(8, 1)) for _ in range(2)]
    for num_threads in (1, 0):
        fast = compute(calculator(model, tmp_path, num_threads, "fast.txt"), structures)
        general = compute(calculator(wider, tmp_path, num_threads, "general.txt"), structures)
        assert np.array_equal(fast, general)


@pytest.mark.parametrize("symbols", [("O", "H"), ("Ba", "Ti", "O")])
def test_neighbour_pair_path_equals_descriptor_lane_path(tmp_path, rng, symbols):
    # Up to eight descriptor indices, two neighbours are contracted side by
    # side; more indices take the path that pairs descriptor indices. Every
    # index is computed on its own, so the first five must agree bit for bit.
    fast = synthetic_model(rng, symbols=symbols, n_max=(4, 4), basis_size=(6, 5), flags=(1,), unit_scales=True)
    wide = synthetic_model(rng, symbols=symbols, n_max=(9, 10), basis_size=(6, 5), flags=(1,), unit_scales=True)
    wide.radial_coefficients[:5] = fast.radial_coefficients
    wide.angular_coefficients[:5] = fast.angular_coefficients
    # odd and even neighbour counts, so that the last neighbour is sometimes alone
    structures = [random_triclinic(rng, n, species=fast.species) for n in (17, 30)]
    for num_threads in (1, 0):
        fast_rows = compute(calculator(fast, tmp_path, num_threads, "fast.txt"), structures)
        wide_rows = compute(calculator(wide, tmp_path, num_threads, "wide.txt"), structures)
        assert np.array_equal(fast_rows[:, :5], wide_rows[:, :5])
        slots = fast.l_max + 1
        for s in range(slots):
            np.testing.assert_array_equal(fast_rows[:, 5 + 5 * s: 5 + 5 * s + 5],
                                          wide_rows[:, 10 + 11 * s: 10 + 11 * s + 5])


@pytest.mark.parametrize(
    "fast_flags, general_l_max, general_flags",
    [
        ((1, 1), 5, (1, 1)),  # fused pass and unrolled orders against l_max 5
        ((1, 1), 4, (1, 1, 1)),  # fused pass against the general slot loop
        ((1, 0, 0, 1), 5, (1, 0, 0, 1)),  # unrolled orders without the fused pass
        ((0, 0), 6, (0, 0)),
    ],
)
def test_unrolled_orders_and_fused_pass_equal_general_path(tmp_path, rng, fast_flags, general_l_max, general_flags):
    fast = synthetic_model(rng, basis_size=(7, 6), l_max=4, flags=fast_flags, unit_scales=True)
    general = synthetic_model(rng, basis_size=(7, 6), l_max=general_l_max, flags=general_flags, unit_scales=True)
    general.radial_coefficients = fast.radial_coefficients
    general.angular_coefficients = fast.angular_coefficients
    structures = [random_triclinic(rng, 30, species=(8, 1)) for _ in range(2)]
    fast_rows = compute(calculator(fast, tmp_path, name="fast.txt"), structures)
    general_rows = compute(calculator(general, tmp_path, name="general.txt"), structures)
    flags_fast = [i for i, f in enumerate(fast_flags) if f]
    flags_general = [i for i, f in enumerate(general_flags) if f]
    shared = [f for f in flags_fast if f in flags_general]
    fast_slots = list(range(4)) + [4 + flags_fast.index(f) for f in shared]
    general_slots = list(range(4)) + [general_l_max + flags_general.index(f) for f in shared]
    assert np.array_equal(fast_rows[:, :5], general_rows[:, :5])  # the radial part
    assert np.array_equal(columns_of_slots(fast, fast_rows, fast_slots),
                          columns_of_slots(general, general_rows, general_slots))


# ---------------------------------------------------------------- hand cases


def dimer(distance: float, numbers=(8, 8), edge: float = 30.0):
    positions = np.array([[5.0, 5.0, 5.0], [5.0 + distance, 5.0, 5.0]])
    return np.array(numbers), positions, np.eye(3) * edge


def test_dimer_radial_value_by_hand(tmp_path, rng):
    model = synthetic_model(rng, symbols=("O",), n_max=(0, 0), basis_size=(0, 0), l_max=0, flags=(),
                           radial_cutoffs=(4.0,))
    rows = compute(calculator(model, tmp_path), [dimer(2.5)])
    fc = 0.5 * math.cos(math.pi * 2.5 / 4.0) + 0.5
    expected = model.radial_coefficients[0, 0, 0, 0] * fc * model.scales[0]
    assert rows.shape == (2, 1)
    assert rows[0, 0] == pytest.approx(expected, rel=1e-14)
    assert rows[1, 0] == pytest.approx(expected, rel=1e-14)


def test_isolated_atom_has_a_zero_row(tmp_path, rng):
    calc = calculator(synthetic_model(rng), tmp_path)
    rows = compute(calc, [(np.array([8]), np.zeros((1, 3)), np.eye(3) * 12.0)])
    assert rows.shape == (1, calc.feature_count)
    assert np.all(rows == 0.0)


def test_neighbour_exactly_at_the_cutoff_and_between_the_cutoffs(tmp_path, rng):
    model = synthetic_model(rng, symbols=("O",), radial_cutoffs=(4.0,), angular_cutoffs=(2.5,))
    calc = calculator(model, tmp_path)
    assert np.all(compute(calc, [dimer(4.0)]) == 0.0)  # r = rc exactly: strict test
    rows = compute(calc, [dimer(3.0)])  # inside the radial cutoff only
    assert np.all(rows[:, :5] != 0.0)
    assert np.all(rows[:, 5:] == 0.0)


def test_pair_cutoffs_of_the_two_type_example(tmp_path, rng):
    # Cutoffs 6 4 (O) and 5 3 (H): pair radial cutoffs O-O 6, O-H 5.5, H-H 5;
    # pair angular cutoffs 4, 3.5, 3.
    model = synthetic_model(rng, radial_cutoffs=(6.0, 5.0), angular_cutoffs=(4.0, 3.0))
    calc = calculator(model, tmp_path)
    assert (calc.radial_cutoff, calc.angular_cutoff) == (6.0, 4.0)
    for numbers, distance, radial_on, angular_on in [
        ((8, 8), 5.7, True, False),
        ((8, 1), 5.7, False, False),
        ((8, 1), 5.4, True, False),
        ((1, 1), 5.2, False, False),
        ((1, 1), 4.9, True, False),
        ((8, 1), 3.6, True, False),
        ((8, 1), 3.4, True, True),
        ((1, 1), 3.1, True, False),
        ((8, 8), 3.9, True, True),
    ]:
        structure = dimer(distance, numbers)
        rows = compute(calc, [structure])
        assert np.any(rows[:, :5] != 0) == radial_on, (numbers, distance)
        assert np.any(rows[:, 5:] != 0) == angular_on, (numbers, distance)
        assert_close_rows(rows, reference_descriptors(model, *structure))


def test_flag_slots_without_their_orders_hold_zero(tmp_path, rng):
    structure = random_triclinic(rng, 20, species=(8, 1))
    model = synthetic_model(rng, l_max=0, flags=(1, 1))
    rows = compute(calculator(model, tmp_path, name="l0.txt"), [structure])
    assert rows.shape[1] == 5 + 2 * 5
    assert np.any(rows[:, :5] != 0) and np.all(rows[:, 5:] == 0.0)
    model = synthetic_model(rng, l_max=2, flags=(0, 0, 1, 1))  # triple_112 is made of orders 1, 2; triple_123 needs 3
    rows = compute(calculator(model, tmp_path, name="l2.txt"), [structure])
    slots = rows[:, 5:].reshape(len(rows), 4, 5)
    assert np.all(slots[:, 3] == 0.0)
    assert np.all(slots[:, :3] != 0.0)


def test_duplicated_element_uses_the_first_type(tmp_path, rng):
    single = synthetic_model(rng, symbols=("O",), flags=(1, 1, 1))
    double = synthetic_model(rng, symbols=("O", "O"), flags=(1, 1, 1))
    double.scales = single.scales
    double.radial_coefficients[:, :, 0, 0] = single.radial_coefficients[:, :, 0, 0]
    double.angular_coefficients[:, :, 0, 0] = single.angular_coefficients[:, :, 0, 0]
    double.radial_cutoffs = [4.5, 4.5]
    double.angular_cutoffs = [3.5, 3.5]
    calc = calculator(double, tmp_path, name="double.txt")
    assert calc.species == [8, 8]
    structure = random_triclinic(rng, 20, species=(8,))
    assert np.array_equal(compute(calc, [structure]), compute(calculator(single, tmp_path), [structure]))


def test_strategies_agree_on_a_batch_with_an_empty_structure(tmp_path, rng):
    model = synthetic_model(rng, flags=(1, 1, 0, 1))
    structures = [random_triclinic(rng, n, species=(8, 1)) for n in (12, 0, 25, 7)]
    results = [compute(calculator(model, tmp_path, t, f"t{t}.txt"), structures) for t in (1, 0, 2, 8)]
    for other in results[1:]:
        np.testing.assert_allclose(other, results[0], rtol=1e-13, atol=1e-13)
    start = 0
    for numbers, positions, cell in structures:
        if len(numbers):
            expected = reference_descriptors(model, numbers, positions, cell)
            assert_close_rows(results[0][start : start + len(numbers)], expected)
        start += len(numbers)


# ---------------------------------------------------------------- batch input


@pytest.fixture
def water(tmp_path, rng):
    model = synthetic_model(rng)
    structure = random_triclinic(rng, 15, species=(8, 1))
    return calculator(model, tmp_path), structure


def test_pbc_flags_are_not_read_and_arguments_are_cast(water):
    calc, (numbers, positions, cell) = water
    arrays = make_batch([(numbers, positions, cell)])
    rows = calc.compute(*arrays)
    numbers_f, positions_f, cells, pbc, offsets = arrays
    same = calc.compute(numbers_f.astype(float) + 0.3, np.asfortranarray(positions_f), cells.tolist(),
                        np.zeros_like(pbc, dtype=bool), offsets.astype(np.int32))
    assert np.array_equal(rows, same)
    assert np.array_equal(rows, calc.compute(numbers=numbers_f, positions=positions_f, cells=cells,
                                             pbc=[[1, 1, 0]], offsets=offsets, control=None))
    with pytest.raises(TypeError):
        calc.compute(numbers_f, positions_f, cells, pbc, "0 15")


@pytest.mark.parametrize("num_threads", [1, 0])
def test_one_calculator_gives_fresh_results_call_after_call(tmp_path, rng, num_threads):
    # The calculator keeps its neighbour list from one call to the next:
    # nothing of an earlier call, larger, smaller or failed, may show later.
    model = synthetic_model(rng)
    small = random_triclinic(rng, 9, species=model.species)
    large = random_triclinic(rng, 40, species=model.species)
    singular = (small[0], small[1], np.zeros((3, 3)))
    fresh = calculator(model, tmp_path, num_threads, "fresh.txt")
    expected_small, expected_large = compute(fresh, [small]), compute(fresh, [large])
    calc = calculator(model, tmp_path, num_threads)
    assert np.array_equal(compute(calc, [large]), expected_large)
    assert np.array_equal(compute(calc, [small]), expected_small)
    with pytest.raises(ValueError, match="^cell matrix is singular$"):
        compute(calc, [large, singular])
    assert np.array_equal(compute(calc, [small, large]), np.vstack([expected_small, expected_large]))
    assert np.array_equal(compute(calc, [small]), expected_small)


def test_element_missing_from_the_model(water):
    calc, (numbers, positions, cell) = water
    for bad in (6, 0, -3):
        changed = numbers.copy()
        changed[5] = bad
        with pytest.raises(ValueError) as raised:
            compute(calc, [(numbers, positions, cell), (changed, positions, cell)])
        assert str(raised.value) == f"structure contains an element not present in the NEP model: {bad}"


def test_element_missing_message_for_oxygen(tmp_path, rng):
    calc = calculator(synthetic_model(rng, symbols=("H",)), tmp_path)
    with pytest.raises(ValueError, match="^structure contains an element not present in the NEP model: 8$"):
        compute(calc, [dimer(1.0, (1, 8))])


@pytest.mark.parametrize("num_threads", [1, 0])
@pytest.mark.parametrize(
    "offsets, message",
    [
        ([0, 9, 6, 15], "offsets must be monotonic"),
        ([0, 6, 14], "offsets do not describe the flattened arrays"),
        ([2, 6, 15], "offsets do not describe the flattened arrays"),
    ],
)
def test_offsets_that_do_not_cut_the_arrays(water, num_threads, offsets, message):
    calc, (numbers, positions, cell) = water
    s = len(offsets) - 1
    with pytest.raises(ValueError, match=f"^{message}$"):
        calc.compute(numbers, positions, np.tile(cell, (s, 1, 1)), np.ones((s, 3)), offsets)


def test_atoms_outside_every_structure_get_zero_rows(water):
    calc, (numbers, positions, _) = water
    rows = calc.compute(numbers, positions, np.zeros((0, 3, 3)), np.zeros((0, 3)), [0])
    assert rows.shape == (len(numbers), calc.feature_count) and not rows.any()


def test_shape_errors_and_singular_cells(water):
    calc, (numbers, positions, cell) = water
    with pytest.raises(ValueError, match="^invalid StructureBatch array shapes$"):
        calc.compute(numbers, positions[:, :2], [cell], [[1, 1, 1]], [0, len(numbers)])
    with pytest.raises(ValueError, match="^StructureBatch arrays have inconsistent lengths$"):
        calc.compute(numbers, positions, [cell, cell], [[1, 1, 1]], [0, len(numbers)])
    flat = cell.copy()
    flat[2] = flat[0]
    with pytest.raises(ValueError, match="^cell matrix is singular$"):
        compute(calc, [(numbers, positions, flat)])
    bad = cell.copy()
    bad[1, 1] = np.nan
    with pytest.raises(ValueError, match="^cell matrix is singular$"):
        compute(calc, [(numbers, positions, bad)])


@pytest.mark.parametrize("num_threads", [1, 0])
def test_non_finite_positions_do_not_crash(tmp_path, rng, num_threads):
    model = synthetic_model(rng)
    calc = calculator(model, tmp_path, num_threads)
    numbers, positions, cell = random_triclinic(rng, 15, species=(8, 1))
    rows = compute(calc, [(numbers, positions, cell)])
    keep = np.arange(len(numbers)) != 4
    without = compute(calc, [(numbers[keep], positions[keep], cell)])
    for value in (np.nan, np.inf, -np.inf):
        broken = positions.copy()
        broken[4, 1] = value
        out = compute(calc, [(numbers, broken, cell)])
        # The atom sees nothing and is seen by nobody; no NaN spreads.
        assert np.all(np.isfinite(out))
        assert np.all(out[4] == 0.0)
        assert_close_rows(out[keep], without, rtol=1e-12)
    assert not np.array_equal(rows[keep], without)


# ---------------------------------------------------------------- calculator frame


def test_properties_answer_after_close_and_compute_refuses(water):
    calc, structure = water
    before = (calc.feature_count, calc.species, calc.model_path, calc.radial_cutoff, calc.angular_cutoff,
              calc.n_max_radial, calc.n_max_angular, calc.l_max)
    assert calc.closed() is False
    calc.close()
    calc.close()
    assert calc.closed() is True
    after = (calc.feature_count, calc.species, calc.model_path, calc.radial_cutoff, calc.angular_cutoff,
             calc.n_max_radial, calc.n_max_angular, calc.l_max)
    assert before == after
    for structures in ([structure], []):
        with pytest.raises(RuntimeError) as raised:
            compute(calc, structures)
        assert str(raised.value) == "NEP calculator is closed"


def test_empty_batch_and_a_control_cancelled_beforehand(water):
    calc, structure = water
    control = tandril.ComputeControl()
    control.reset(7)
    control.cancel()
    empty = compute(calc, [], control=control)
    assert empty.shape == (0, calc.feature_count) and empty.dtype == np.float64
    assert compute(calc, [(np.zeros(0, int), np.zeros((0, 3)), np.eye(3) * 5.0)] * 2).shape == (0, calc.feature_count)
    for num_threads in (1, 0):
        options = tandril.NepOptions()
        options.model_path = calc.model_path
        options.num_threads = num_threads
        with pytest.raises(tandril.CancelledError, match="^descriptor computation cancelled$"):
            compute(tandril.NepCalculator(options), [structure], control=control)
    # The control is only read: neither started nor advanced.
    assert (control.cancelled(), control.completed(), control.total()) == (True, 0, 7)
    control.reset(0)
    assert compute(calc, [structure], control=control).shape == (15, calc.feature_count)
    assert (control.completed(), control.total()) == (0, 0)


@pytest.fixture(scope="module")
def long_batch(tmp_path_factory):
    rng = np.random.default_rng(99)
    model = synthetic_model(rng)
    path = model.write(tmp_path_factory.mktemp("nep") / "long.txt")
    structure = random_triclinic(rng, 250, species=(8, 1))
    return str(path), make_batch([structure] * 400)


@pytest.mark.parametrize("num_threads", [1, 0])
def test_cancel_while_computing(long_batch, num_threads):
    path, batch = long_batch
    options = tandril.NepOptions()
    options.model_path = path
    options.num_threads = num_threads
    calc = tandril.NepCalculator(options)
    control = cancelled_during(lambda control: calc.compute(*batch, control=control))
    assert control.cancelled()


def test_two_threads_at_once_match_one_after_the_other(tmp_path, rng):
    model = synthetic_model(rng, flags=(1, 1, 1))
    shared_calc = calculator(model, tmp_path, 0, "a.txt")
    other_calc = calculator(model, tmp_path, 1, "b.txt")
    batches = [make_batch([random_triclinic(rng, 60, species=(8, 1)) for _ in range(6)]) for _ in range(3)]
    expected = [shared_calc.compute(*b) for b in batches]
    jobs = [(shared_calc, 0), (shared_calc, 1), (other_calc, 2), (other_calc, 0)]
    results: dict[int, np.ndarray] = {}
    errors = []

    def run(index, calc, b):
        try:
            for _ in range(3):
                results[index] = calc.compute(*batches[b])
        except Exception as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=run, args=(i, c, b)) for i, (c, b) in enumerate(jobs)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for index, (_, b) in enumerate(jobs):
        np.testing.assert_allclose(results[index], expected[b], rtol=1e-13, atol=1e-13)


def test_numbers_of_the_shipped_models_are_element_numbers():
    model = read_model(shared_data("nep", "nep4_OH_2type_water.txt"))
    assert model.species == [ATOMIC_NUMBER["O"], ATOMIC_NUMBER["H"]] == [8, 1]
