"""SOAP options record, calculator protocol, row layout and every check of a computation, in order."""

from __future__ import annotations

import math

import numpy as np
import pytest

import tandril
from conftest import make_batch
from soap_helpers import compute, isolated_atom, soap_options

WATER_LIKE = (np.array([8, 1]), np.array([[0.0, 0.0, 0.0], [0.96, 0.0, 0.0]]), np.eye(3) * 6.0)

DEFAULTS = {
    "species": [],
    "r_cut": 6.0,
    "n_max": 8,
    "l_max": 6,
    "sigma": 1.0,
    "radial_basis": 0,
    "alphas": [],
    "betas": [],
    "radial_grid": [],
    "radial_weights": [],
    "radial_values": [],
    "weighting_function": 0,
    "weighting_has_w0": False,
    "weighting_has_function": False,
    "weighting_r0": 1.0,
    "weighting_c": 1.0,
    "weighting_d": 0.0,
    "weighting_m": 1.0,
    "weighting_threshold": 0.01,
    "weighting_w0": 1.0,
    "species_weights": [],
    "compression": 0,
    "inner_average": True,
    "outer_average": False,
    "num_threads": 0,
}


def test_options_defaults_and_field_order():
    options = tandril.SoapOptions()
    fields = [name for name in dir(options) if not name.startswith("_")]
    assert sorted(fields) == sorted(DEFAULTS)
    for name, value in DEFAULTS.items():
        assert getattr(options, name) == value, name
        assert type(getattr(options, name)) is type(value), name


def test_options_lists_are_copies_and_integers_refuse_floats():
    options = tandril.SoapOptions()
    options.species = [1, 8]
    options.species.append(6)
    assert options.species == [1, 8]
    options.alphas = np.array([0.5, 1.5])  # any sequence of numbers
    assert options.alphas == [0.5, 1.5]
    with pytest.raises(TypeError):
        options.n_max = 2.5
    options.weighting_function = 7  # nothing is checked when a field is set
    assert options.weighting_function == 7


def test_module_registers_calculator_before_options():
    names = list(vars(tandril._descriptor_cpp))
    assert names.index("build_neighbor_graph") < names.index("SoapCalculator") < names.index("SoapOptions")


def test_compute_signature():
    doc = tandril.SoapCalculator.compute.__doc__
    assert doc.startswith("compute(self")
    for argument in ("numbers", "positions", "cells", "pbc", "offsets", "control: tandril._descriptor_cpp.ComputeControl | None = None",
                     "num_threads: typing.SupportsInt = 0", "inner_average: bool = True", "outer_average: bool = False"):
        assert argument.split(":")[0] in doc
    assert doc.index("offsets") < doc.index("control") < doc.index("num_threads") < doc.index("inner_average") < doc.index(
        "outer_average")


def test_calculator_copies_options_and_takes_them_positionally():
    options = soap_options(species=[1, 8])
    calculator = tandril.SoapCalculator(options)
    count = calculator.feature_count
    options.species = [1, 8, 6]
    options.n_max = 7
    assert calculator.species == [1, 8]
    assert calculator.feature_count == count
    with pytest.raises(TypeError):
        tandril.SoapCalculator(options=options)


def test_close_is_final_and_leaves_the_protocol_answering():
    calculator = tandril.SoapCalculator(soap_options())
    assert calculator.closed() is False
    calculator.close()
    calculator.close()
    assert calculator.closed() is True
    assert calculator.species == [1, 8]
    assert calculator.feature_count > 0
    with pytest.raises(RuntimeError, match="^SOAP calculator is closed$"):
        calculator.compute(*make_batch([WATER_LIKE]), inner_average=False)


@pytest.mark.parametrize(
    "compression, expected",
    [(0, 20), (1, 6), (2, 16), (3, 12), (7, 20), (-1, 20)],
    ids=["full", "merged", "total", "same_species", "unknown_7", "unknown_negative"],
)
def test_feature_count_two_species_n2_l1(compression, expected):
    options = tandril.SoapOptions()
    options.species = [1, 8]
    options.n_max, options.l_max, options.compression = 2, 1, compression
    assert tandril.SoapCalculator(options).feature_count == expected


def test_feature_count_default_options_is_zero_and_fits_64_bits():
    assert tandril.SoapCalculator(tandril.SoapOptions()).feature_count == 0
    options = tandril.SoapOptions()
    options.species = [1]
    options.n_max, options.l_max = 2**31 - 1, 3
    # (L+1) * N(N+1)/2 = 4 * (2^31 - 1) * 2^30 = 2^63 - 2^32
    assert tandril.SoapCalculator(options).feature_count == 2**63 - 2**32
    options.l_max = 4
    with pytest.raises(OverflowError, match="^SOAP feature count does not fit in 64 bits$"):
        tandril.SoapCalculator(options).feature_count


def test_full_layout_blocks_in_species_pair_order():
    """Pair (0,0): 6 values, (0,1): 8, (1,1): 6 for N = 2, L = 1; the cross block holds every n, n'."""
    options = soap_options(species=[1, 8], n_max=2, l_max=1)
    row = compute(options, [WATER_LIKE])[0]
    assert row.shape == (20,)
    merged = soap_options(species=[1, 8], n_max=2, l_max=1, compression=3)
    same = compute(merged, [WATER_LIKE])[0]
    np.testing.assert_array_equal(same, np.concatenate([row[:6], row[14:]]))


@pytest.mark.parametrize(
    "inner, outer, rows",
    [(False, False, 3), (True, False, 2), (False, True, 2), (True, True, 2)],
)
def test_rows_per_atom_or_per_structure(inner, outer, rows):
    options = soap_options(inner_average=inner, outer_average=outer)
    structures = [WATER_LIKE, isolated_atom(8)]
    assert compute(options, structures).shape == (rows, tandril.SoapCalculator(options).feature_count)


def test_defaults_of_compute_with_default_averaging_give_one_row_per_structure():
    options = soap_options(inner_average=True, outer_average=False)
    calculator = tandril.SoapCalculator(options)
    out = calculator.compute(*make_batch([WATER_LIKE, WATER_LIKE]))
    assert out.shape == (2, calculator.feature_count)
    # num_threads is accepted and has no effect
    again = calculator.compute(*make_batch([WATER_LIKE, WATER_LIKE]), control=None, num_threads=5)
    np.testing.assert_array_equal(out, again)


def test_string_offsets_fail_conversion_before_any_check():
    calculator = tandril.SoapCalculator(tandril.SoapOptions())
    numbers, positions, cells, pbc, _ = make_batch([WATER_LIKE])
    with pytest.raises(TypeError):
        calculator.compute(numbers, positions, cells, pbc, "0 2")


# ---------------------------------------------------------------------------
# Checks of compute, in their order. Each case breaks one thing of a valid
# configuration; the ordering cases break two and expect the earlier message.

def _polynomial(**fields):
    return soap_options(rbf="polynomial", **fields)


def _with(options, **fields):
    for name, value in fields.items():
        setattr(options, name, value)
    return options


INVALID_PARAMETERS = [
    ("r_cut zero", {"r_cut": 0.0}),
    ("r_cut negative", {"r_cut": -1.0}),
    ("r_cut infinite", {"r_cut": math.inf}),
    ("r_cut nan", {"r_cut": math.nan}),
    ("sigma zero", {"sigma": 0.0}),
    ("sigma nan", {"sigma": math.nan}),
    ("sigma infinite", {"sigma": math.inf}),
    ("n_max zero", {"n_max": 0}),
    ("l_max negative", {"l_max": -1}),
    ("l_max 21", {"l_max": 21}),
    ("num_threads negative", {"num_threads": -1}),
    ("radial_basis 2", {"radial_basis": 2}),
    ("radial_basis negative", {"radial_basis": -1}),
    ("compression negative", {"compression": -1}),
    ("compression 4", {"compression": 4}),
    ("species_weights short", {"species_weights": [1.0]}),
    ("species_weights long", {"species_weights": [1.0, 1.0, 1.0]}),
    ("species_weights empty", {"species_weights": []}),
]


@pytest.mark.parametrize("fields", [case[1] for case in INVALID_PARAMETERS], ids=[case[0] for case in INVALID_PARAMETERS])
def test_invalid_parameters(fields):
    with pytest.raises(ValueError, match="^invalid SOAP parameters$"):
        compute(_with(soap_options(), **fields), [WATER_LIKE])


NAN, INF = math.nan, math.inf

CHECKS_IN_ORDER = [
    # (id, options factory, message)
    ("gto alphas too short", lambda: _with(soap_options(), alphas=[1.0] * 11), "invalid SOAP radial basis size"),
    ("gto betas too long", lambda: _with(soap_options(), betas=[0.0] * 37), "invalid SOAP radial basis size"),
    ("gto sizes of another n_max", lambda: _with(soap_options(), n_max=2), "invalid SOAP radial basis size"),
    ("polynomial grid of one point", lambda: _with(_polynomial(), radial_grid=[1.0], radial_weights=[1.0], radial_values=[1.0] * 3),
     "invalid SOAP polynomial radial basis size"),
    ("polynomial weights length", lambda: _with(_polynomial(), radial_weights=[1.0] * 59), "invalid SOAP polynomial radial basis size"),
    ("polynomial values length", lambda: _with(_polynomial(), radial_values=[1.0] * 179), "invalid SOAP polynomial radial basis size"),
    ("alpha nan", lambda: _with(soap_options(), alphas=[NAN] + [1.0] * 11), "SOAP radial basis must be finite"),
    ("beta infinite", lambda: _with(soap_options(), betas=[INF] + [0.0] * 35), "SOAP radial basis must be finite"),
    ("unused alphas checked for the polynomial basis", lambda: _with(_polynomial(), alphas=[NAN]),
     "SOAP radial basis must be finite"),
    ("grid negative", lambda: _with(_polynomial(), radial_grid=[-1e-300] + _polynomial().radial_grid[1:]),
     "SOAP polynomial radial grid must be finite and in range"),
    ("grid above r_cut", lambda: _with(_polynomial(), radial_grid=_polynomial().radial_grid[:-1] + [math.nextafter(3.0, 4.0)]),
     "SOAP polynomial radial grid must be finite and in range"),
    ("grid nan", lambda: _with(_polynomial(), radial_grid=[NAN] + _polynomial().radial_grid[1:]),
     "SOAP polynomial radial grid must be finite and in range"),
    ("unused grid checked for the GTO basis", lambda: _with(soap_options(), radial_grid=[5.0]),
     "SOAP polynomial radial grid must be finite and in range"),
    ("weight zero", lambda: _with(_polynomial(), radial_weights=[0.0] + _polynomial().radial_weights[1:]),
     "SOAP polynomial radial weights must be positive and finite"),
    ("weight negative", lambda: _with(_polynomial(), radial_weights=[-1.0] + _polynomial().radial_weights[1:]),
     "SOAP polynomial radial weights must be positive and finite"),
    ("weight infinite", lambda: _with(_polynomial(), radial_weights=[INF] + _polynomial().radial_weights[1:]),
     "SOAP polynomial radial weights must be positive and finite"),
    ("values nan", lambda: _with(_polynomial(), radial_values=[NAN] + _polynomial().radial_values[1:]),
     "SOAP polynomial radial basis must be finite"),
    ("unused values checked for the GTO basis", lambda: _with(soap_options(), radial_values=[INF]),
     "SOAP polynomial radial basis must be finite"),
    ("species weight infinite", lambda: _with(soap_options(), species_weights=[1.0, INF]), "SOAP species weights must be finite"),
    ("weighting function 0", lambda: _with(soap_options(), weighting_has_function=True, weighting_function=0),
     "invalid SOAP weighting parameters"),
    ("weighting function 4", lambda: _with(soap_options(), weighting_has_function=True, weighting_function=4),
     "invalid SOAP weighting parameters"),
    ("weighting r0 zero", lambda: _with(soap_options(), weighting_has_function=True, weighting_function=1, weighting_r0=0.0),
     "invalid SOAP weighting parameters"),
    ("weighting c negative", lambda: _with(soap_options(), weighting_has_function=True, weighting_function=1, weighting_c=-1.0),
     "invalid SOAP weighting parameters"),
    ("weighting d nan", lambda: _with(soap_options(), weighting_has_function=True, weighting_function=3, weighting_d=NAN),
     "invalid SOAP weighting parameters"),
    ("weighting m infinite", lambda: _with(soap_options(), weighting_has_function=True, weighting_function=1, weighting_m=INF),
     "invalid SOAP weighting parameters"),
    ("pow weighting with d = 0 and no w0", lambda: _with(soap_options(), weighting_has_function=True, weighting_function=2,
                                                         weighting_d=0.0, weighting_m=2.0),
     "invalid SOAP weighting parameters"),
    ("w0 negative", lambda: _with(soap_options(), weighting_has_w0=True, weighting_w0=-0.5), "invalid SOAP w0 weighting"),
    ("w0 nan", lambda: _with(soap_options(), weighting_has_w0=True, weighting_w0=NAN), "invalid SOAP w0 weighting"),
    ("GTO exponent at -1/(2 sigma^2)", lambda: _with(soap_options(sigma=0.5), alphas=[-2.0] + soap_options().alphas[1:]),
     "SOAP GTO radial factors must be finite (alphas must exceed -1/(2 sigma^2))"),
    ("sigma so small that 1/(2 sigma^2) overflows", lambda: _with(soap_options(), sigma=1e-200),
     "SOAP GTO radial factors must be finite (alphas must exceed -1/(2 sigma^2))"),
    # two faults at once: the earlier check reports
    ("parameters before sizes", lambda: _with(soap_options(), compression=9, alphas=[]), "invalid SOAP parameters"),
    ("sizes before finiteness", lambda: _with(soap_options(), alphas=[NAN]), "invalid SOAP radial basis size"),
    ("alphas before grid", lambda: _with(soap_options(), alphas=[NAN] + [1.0] * 11, radial_grid=[-1.0]),
     "SOAP radial basis must be finite"),
    ("grid before weights", lambda: _with(_polynomial(), radial_grid=[INF] * 60, radial_weights=[0.0] * 60),
     "SOAP polynomial radial grid must be finite and in range"),
    ("weights before values", lambda: _with(_polynomial(), radial_weights=[0.0] * 60, radial_values=[NAN] * 180),
     "SOAP polynomial radial weights must be positive and finite"),
    ("values before species weights", lambda: _with(_polynomial(), radial_values=[NAN] * 180, species_weights=[NAN, 1.0]),
     "SOAP polynomial radial basis must be finite"),
    ("species weights before weighting", lambda: _with(soap_options(), species_weights=[NAN, 1.0], weighting_has_function=True),
     "SOAP species weights must be finite"),
    ("weighting before w0", lambda: _with(soap_options(), weighting_has_function=True, weighting_has_w0=True, weighting_w0=-1.0),
     "invalid SOAP weighting parameters"),
    ("w0 before exponents", lambda: _with(soap_options(sigma=0.5), weighting_has_w0=True, weighting_w0=-1.0,
                                          alphas=[-5.0] * 12), "invalid SOAP w0 weighting"),
    ("options before averaging arguments", lambda: _with(soap_options(), n_max=0, inner_average=True),
     "invalid SOAP parameters"),
]


@pytest.mark.parametrize("make, message", [case[1:] for case in CHECKS_IN_ORDER], ids=[case[0] for case in CHECKS_IN_ORDER])
def test_checks_in_order(make, message):
    options = make()
    calculator = tandril.SoapCalculator(options)
    with pytest.raises(ValueError) as error:
        calculator.compute(*make_batch([WATER_LIKE]), inner_average=False)
    assert str(error.value) == message


ACCEPTED = [
    ("l_max 20", lambda: soap_options(l_max=20, n_max=1)),
    ("grid point exactly at r_cut", lambda: _with(_polynomial(), radial_grid=_polynomial().radial_grid[:-1] + [3.0])),
    ("grid point at -0.0", lambda: _with(_polynomial(), radial_grid=[-0.0] + _polynomial().radial_grid[1:])),
    ("weighting function ignored without the flag", lambda: _with(soap_options(), weighting_function=7, weighting_r0=-1.0)),
    ("w0 ignored without the flag", lambda: _with(soap_options(), weighting_w0=NAN)),
    ("pow weighting with d = 0 and w0", lambda: _with(soap_options(), weighting_has_function=True, weighting_function=2,
                                                      weighting_d=0.0, weighting_m=2.0, weighting_has_w0=True)),
    ("pow weighting with d = 0 and m = 0", lambda: _with(soap_options(), weighting_has_function=True, weighting_function=2,
                                                         weighting_d=0.0, weighting_m=0.0)),
    ("zero alpha", lambda: _with(soap_options(), alphas=[0.0] * 12)),
    ("negative alpha above -1/(2 sigma^2)", lambda: _with(soap_options(sigma=0.5), alphas=[-1.0] * 12)),
    ("unused tables of the other basis, empty", lambda: _with(_polynomial(), alphas=[], betas=[])),
]


@pytest.mark.parametrize("make", [case[1] for case in ACCEPTED], ids=[case[0] for case in ACCEPTED])
def test_accepted_edge_values_give_finite_rows(make):
    options = make()
    rows = compute(options, [WATER_LIKE])
    assert rows.shape == (2, tandril.SoapCalculator(options).feature_count)
    assert np.isfinite(rows).all()


def test_closed_before_batch_and_batch_before_parameters():
    options = _with(soap_options(), n_max=0)
    bad_pbc = make_batch([WATER_LIKE])
    bad_pbc[3][0, 2] = 0
    calculator = tandril.SoapCalculator(options)
    with pytest.raises(ValueError, match="^only fully periodic structures are supported$"):
        calculator.compute(*bad_pbc, inner_average=False)
    calculator.close()
    with pytest.raises(RuntimeError, match="^SOAP calculator is closed$"):
        calculator.compute(*bad_pbc, inner_average=False)


@pytest.mark.parametrize(
    "species, numbers, message",
    [
        ([1, 8], [1, 6], "batch contains an atomic number outside calculator species"),
        ([1, 8], [0, 1], "atomic numbers must be positive"),
        ([8, 1, 8], [1, 8], "species must not contain duplicates"),
    ],
)
def test_species_check_comes_before_parameters(species, numbers, message):
    options = _with(soap_options(species=species[:2]), n_max=0, species=species)
    structure = (np.array(numbers), WATER_LIKE[1], WATER_LIKE[2])
    with pytest.raises(ValueError, match=f"^{message}$"):
        compute(options, [structure])


@pytest.mark.parametrize(
    "batch_change, message",
    [
        (lambda b: b[2].__setitem__((0, 0, 0), 0.0) or b[2].__setitem__((0, 1, 1), 0.0) or b[2].__setitem__((0, 2, 2), 0.0),
         "cell matrix is singular"),
        (lambda b: b[1].__setitem__((1, 0), math.nan), "positions must be finite"),
        (lambda b: b[4].__setitem__(1, 3), "offsets do not describe the flattened arrays"),
    ],
    ids=["singular cell", "nan position", "offsets"],
)
def test_batch_validation_messages(batch_change, message):
    batch = [np.array(a) for a in make_batch([WATER_LIKE])]
    batch_change(batch)
    with pytest.raises(ValueError, match=f"^{message}$"):
        tandril.SoapCalculator(soap_options()).compute(*batch, inner_average=False)


def test_default_options_fail_on_species_then_on_basis_size():
    calculator = tandril.SoapCalculator(tandril.SoapOptions())
    with pytest.raises(ValueError, match="^batch contains an atomic number outside calculator species$"):
        calculator.compute(*make_batch([WATER_LIKE]))
    empty = (np.zeros(0, dtype=int), np.zeros((0, 3)), np.eye(3) * 5.0)
    with pytest.raises(ValueError, match="^invalid SOAP radial basis size$"):
        calculator.compute(*make_batch([empty]))


@pytest.mark.parametrize(
    "stored, given",
    [((False, False), (True, False)), ((True, False), (False, False)), ((False, True), (True, False)),
     ((True, True), (True, False)), ((False, True), (False, False))],
)
def test_averaging_arguments_that_disagree_with_the_options_are_refused(stored, given):
    options = soap_options(inner_average=stored[0], outer_average=stored[1])
    calculator = tandril.SoapCalculator(options)
    expected = (f"SOAP compute averaging arguments must match the calculator's options: "
                f"pass inner_average={stored[0]} and outer_average={stored[1]}")
    with pytest.raises(ValueError) as error:
        calculator.compute(*make_batch([WATER_LIKE, WATER_LIKE]), inner_average=given[0], outer_average=given[1])
    assert str(error.value) == expected
