"""Reading NEP model files: the shipped models, the grammar and every error."""

from __future__ import annotations

import numpy as np
import pytest

import tandril
from conftest import shared_data
from nep_models import read_model, synthetic_model

# A one-type model: D = 2 + 2 * 1 = 4, weights 1 * (4 + 2) * 1 = 6, then one
# value, 4 radial and 4 angular coefficients and 4 scales: 19 values.
BASE = {
    "header": "nep4 1 H",
    "cutoff": "cutoff 4 3 10 10",
    "n_max": "n_max 1 1",
    "basis": "basis_size 1 1",
    "l_max": "l_max 1 0 0",
    "ann": "ANN 1 0",
}
BASE_VALUES = 19


def model_text(values: int | list[str] | None = BASE_VALUES, drop=(), **lines: str) -> str:
    """The base model with some keyword lines replaced (or dropped), then the
    given number of parameter values (or the given tokens)."""
    merged = {**BASE, **lines}
    out = [text for key, text in merged.items() if key not in drop and text is not None]
    if isinstance(values, int):
        out += [f"{0.25 + 0.01 * i:.6f}" for i in range(values)]
    elif values is not None:
        out += list(values)
    return "\n".join(out) + "\n"


@pytest.fixture
def write_model(tmp_path):
    counter = iter(range(10**6))

    def write(text: str | bytes) -> str:
        path = tmp_path / f"model_{next(counter)}.txt"
        if isinstance(text, bytes):
            path.write_bytes(text)
        else:
            path.write_text(text)
        return str(path)

    return write


def load(path: str, num_threads: int = 0) -> tandril.NepCalculator:
    options = tandril.NepOptions()
    options.model_path = path
    options.num_threads = num_threads
    return tandril.NepCalculator(options)


# ---------------------------------------------------------------- shipped models

SHIPPED = [
    # file, species, feature_count, radial, angular, n_max, l_max
    ("nep3_Si_1type_Si_2022_NEP3_4body.txt", [14], 66, 5.0, 5.0, (10, 10), 4),
    ("nep3_PbTe_2type.txt", [52, 82], 30, 8.0, 4.0, (4, 4), 4),
    ("nep3_BaZrO_3type.txt", [56, 40, 8], 37, 8.0, 4.0, (8, 6), 4),
    ("nep4_C_1type_C_2024_NEP4.txt", [6], 67, 7.0, 4.0, (12, 8), 4),
    ("nep4_OH_2type_water.txt", [8, 1], 30, 6.0, 4.0, (4, 4), 4),
    ("nep4_zbl_BaTiO_3type.txt", [56, 22, 8], 37, 6.0, 4.0, (8, 6), 4),
    ("nep4_zbl_CrCoNi_3type_zbl3values.txt", [24, 27, 28], 63, 6.0, 4.0, (8, 8), 4),
]


@pytest.mark.parametrize("name, species, features, radial, angular, n_max, l_max", SHIPPED)
def test_shipped_models_load(name, species, features, radial, angular, n_max, l_max):
    path = str(shared_data("nep", name))
    calc = load(path)
    assert calc.model_path == path
    assert calc.species == species
    assert calc.feature_count == features
    assert (calc.radial_cutoff, calc.angular_cutoff) == (radial, angular)
    assert (calc.n_max_radial, calc.n_max_angular) == n_max
    assert calc.l_max == l_max
    assert calc.feature_count == read_model(path).feature_count


def test_shipped_model_with_old_two_value_cutoff_line_is_refused():
    # "cutoff 8 4" for two types has neither the 5-token nor the 2T + 3-token form.
    with pytest.raises(ValueError, match="^NEP cutoff line has an invalid number of values$"):
        load(str(shared_data("nep", "nep3_PbTe_2type_cutoff2values.txt")))


# ---------------------------------------------------------------- accepted forms


def test_model_path_and_properties_of_a_written_model(write_model):
    path = write_model(model_text())
    calc = load(path)
    assert calc.model_path == path
    assert calc.species == [1]
    assert calc.feature_count == 4
    assert (calc.radial_cutoff, calc.angular_cutoff) == (4.0, 3.0)
    assert (calc.n_max_radial, calc.n_max_angular, calc.l_max) == (1, 1, 1)


@pytest.mark.parametrize("first_token", ["nep4", "nep4_zbl", "nep3", "nep5", "nep4xyz"])
def test_header_versions_and_suffixes(write_model, first_token):
    version = int(first_token[3])
    # Weights: v3 h1 (D + 2); v4 h1 (D + 2) T; v5 (h1 (D + 2) + 1) T, with T = 1 here.
    values = BASE_VALUES + (1 if version == 5 else 0)
    load(write_model(model_text(values, header=f"{first_token} 1 H")))


@pytest.mark.parametrize("zbl", ["zbl 0.75 1.5", "zbl 1.25 2.5 0.7", "zbl not numbers at all"])
def test_zbl_line_is_skipped_whole(write_model, zbl):
    text = model_text(header=f"nep4_zbl 1 H\n{zbl}")
    assert load(write_model(text)).feature_count == 4


def test_comments_blank_lines_carriage_returns_and_tabs(write_model):
    text = model_text(
        header="# leading comment\n\n nep4\t1 H   \r",
        cutoff="cutoff 4 3 10 10 # trailing comment 1 2 3\r\n   # a comment between keyword lines",
        n_max="\n\nn_max 1 1\r",
    )
    calc = load(write_model(text))
    assert (calc.radial_cutoff, calc.angular_cutoff, calc.feature_count) == (4.0, 3.0, 4)


def test_duplicated_element_keeps_both_types(write_model):
    text = model_text(BASE_VALUES + 2 * 12 + 6, header="nep4 2 O O")
    assert load(write_model(text)).species == [8, 8]


@pytest.mark.parametrize(
    "cutoff, radial, angular",
    [("cutoff 6 4 5 3 100 100", 6.0, 4.0), ("cutoff 5 3 6 4 100 100", 6.0, 4.0), ("cutoff 6 4 100 100", 6.0, 4.0)],
)
def test_two_type_cutoff_forms(write_model, cutoff, radial, angular):
    # Two types: 4 coefficients per pair and part, 6 weights per type.
    text = model_text(BASE_VALUES + 2 * 12 + 6, header="nep4 2 H O", cutoff=cutoff)
    calc = load(write_model(text))
    assert (calc.radial_cutoff, calc.angular_cutoff) == (radial, angular)


@pytest.mark.parametrize(
    "l_max, slots",
    [
        ("l_max 4 0 0", 4),
        ("l_max 4 2 1", 6),
        ("l_max 4 1 0", 5),
        ("l_max 0 1 1", 2),
        ("l_max 2 0 0 1", 3),
        ("l_max 3 1 1 1 1 1 1", 9),
        ("l_max 3 0 0 0 0 0 1 junk after the six flags", 4),
        ("l_max 8 -1 0 0 0 0 0", 9),
    ],
)
def test_descriptor_dimensions(write_model, l_max, slots):
    features = 2 + 2 * slots
    weights = 1 * (features + 2)
    values = weights + 1 + 4 + 4 + features
    calc = load(write_model(model_text(values, l_max=l_max)))
    assert calc.feature_count == features
    assert calc.l_max == int(l_max.split()[1])


@pytest.mark.parametrize(
    "version, types, hidden",
    [(3, 1, (30, 0)), (3, 2, (30, 0)), (4, 2, (30, 0)), (5, 2, (30, 0)), (4, 3, (7, 5)), (4, 1, (1, 0))],
)
def test_parameter_block_size_exact_and_one_short(write_model, rng, version, types, hidden):
    model = synthetic_model(
        rng, symbols=("H", "O", "C")[:types], n_max=(2, 3), basis_size=(3, 2), l_max=3, flags=(1, 0, 1),
        version=version, hidden=hidden,
    )
    text = model.text()
    load(write_model(text))
    with pytest.raises(ValueError, match="^NEP model parameter block is truncated$"):
        load(write_model(text[: text.rstrip("\n").rfind("\n") + 1]))
    model.extra_values = 7
    load(write_model(model.text()))


# ---------------------------------------------------------------- errors, in grammar order

# Each case: id, file text, exception type, exact message.
ERROR_CASES = [
    ("empty file", "", ValueError, "invalid NEP model header"),
    ("only comments and blanks", "# nep4 1 H\n\n  \t \n", ValueError, "invalid NEP model header"),
    ("header of two tokens", model_text(header="nep4 1"), ValueError, "invalid NEP model header"),
    ("header in capitals", model_text(header="NEP4 1 H"), ValueError, "invalid NEP model header"),
    ("header with a prefix", model_text(header="xnep4 1 H"), ValueError, "invalid NEP model header"),
    ("version missing", model_text(header="nep 1 H"), ValueError, "invalid NEP version: "),
    ("version not a digit", model_text(header="nepx 1 H"), ValueError, "invalid NEP version: x"),
    ("version sign only", model_text(header="nep+ 1 H"), ValueError, "invalid NEP version: +"),
    ("version 6", model_text(header="nep6 1 H"), ValueError, "unsupported NEP model version"),
    ("version 2", model_text(header="nep2 1 H"), ValueError, "unsupported NEP model version"),
    ("version 10 reads as 1", model_text(header="nep10 1 H"), ValueError, "unsupported NEP model version"),
    ("version before variant", model_text(header="nep9_dipole 1 H"), ValueError, "unsupported NEP model version"),
    ("dipole", model_text(header="nep3_dipole 1 H"), ValueError,
     "NepCalculator currently supports ordinary NEP descriptors only"),
    ("polarizability", model_text(header="nep4_polarizability 1 H"), ValueError,
     "NepCalculator currently supports ordinary NEP descriptors only"),
    ("spin", model_text(header="nep4_spin 1 H"), ValueError,
     "NepCalculator currently supports ordinary NEP descriptors only"),
    ("charge after zbl", model_text(header="nep5_zbl_charge1 1 H"), ValueError,
     "NepCalculator currently supports ordinary NEP descriptors only"),
    ("type count not a number", model_text(header="nep4 one H"), ValueError, "invalid number of NEP atom types: one"),
    ("type count not an int32", model_text(header="nep4 2147483648 H"), ValueError,
     "invalid number of NEP atom types: 2147483648"),
    ("type count real", model_text(header="nep4 1.0 H"), ValueError, "invalid number of NEP atom types: 1.0"),
    ("zero types", model_text(header="nep4 0 H"), ValueError, "NEP model header has an invalid atom type list"),
    ("negative types", model_text(header="nep4 -1 H"), ValueError, "NEP model header has an invalid atom type list"),
    ("one symbol too many", model_text(header="nep4 2 H O O"), ValueError,
     "NEP model header has an invalid atom type list"),
    ("one symbol too few", model_text(header="nep4 3 H O"), ValueError,
     "NEP model header has an invalid atom type list"),
    ("unknown symbol", model_text(header="nep4 2 H Xx"), ValueError, "unknown element in NEP model: Xx"),
    ("lower-case symbol", model_text(header="nep4 2 O h"), ValueError, "unknown element in NEP model: h"),
    ("element 95", model_text(header="nep4 1 Am"), ValueError, "unknown element in NEP model: Am"),
    ("header only", "nep4 1 H\n", ValueError, "unexpected end of NEP model"),
    ("header and zbl only", "nep4_zbl 1 H\nzbl 1 2\n", ValueError, "unexpected end of NEP model"),
    ("spin cutoff line", model_text(cutoff="spin_cutoff 4 3 10 10"), ValueError,
     "spin NEP descriptors are not supported by NepCalculator"),
    ("misspelt cutoff", model_text(cutoff="cutoffs 4 3 10 10"), ValueError, "NEP model is missing cutoff"),
    ("no cutoff line", model_text(drop=("cutoff",)), ValueError, "NEP model is missing cutoff"),
    ("keyword and two values", model_text(cutoff="cutoff 4 3"), ValueError,
     "NEP cutoff line has an invalid number of values"),
    ("two types, five values", model_text(header="nep4 2 H O", cutoff="cutoff 4 3 4 3 10"), ValueError,
     "NEP cutoff line has an invalid number of values"),
    ("two types, old two-value form", model_text(header="nep4 2 H O", cutoff="cutoff 4 3"), ValueError,
     "NEP cutoff line has an invalid number of values"),
    ("radial cutoff text", model_text(cutoff="cutoff four 3 10 10"), ValueError, "invalid radial cutoff: four"),
    ("radial cutoff trailing text", model_text(cutoff="cutoff 4.0a 3 10 10"), ValueError,
     "invalid radial cutoff: 4.0a"),
    ("angular cutoff nan", model_text(cutoff="cutoff 4 nan 10 10"), ValueError, "invalid angular cutoff: nan"),
    ("angular cutoff out of range", model_text(cutoff="cutoff 4 1e400 10 10"), ValueError,
     "invalid angular cutoff: 1e400"),
    ("radial cutoff infinite", model_text(cutoff="cutoff inf 3 10 10"), ValueError, "invalid radial cutoff: inf"),
    ("per-type angular cutoff text", model_text(header="nep4 2 H O", cutoff="cutoff 4 3 5 y 10 10"), ValueError,
     "invalid angular cutoff: y"),
    ("bad value before non-positive one", model_text(header="nep4 2 H O", cutoff="cutoff 0 3 5 y 10 10"),
     ValueError, "invalid angular cutoff: y"),
    ("zero radial cutoff", model_text(cutoff="cutoff 0 3 10 10"), ValueError, "NEP cutoffs must be positive"),
    ("negative angular cutoff of type 1", model_text(header="nep4 2 H O", cutoff="cutoff 4 3 5 -3 10 10"),
     ValueError, "NEP cutoffs must be positive"),
    ("n_max line missing", model_text(None, drop=("n_max", "basis", "l_max", "ann")), ValueError,
     "unexpected end of NEP model"),
    ("n_max with one value", model_text(n_max="n_max 1"), ValueError, "invalid NEP n_max line"),
    ("n_max with three values", model_text(n_max="n_max 1 1 1"), ValueError, "invalid NEP n_max line"),
    ("n_max misspelt", model_text(n_max="nmax 1 1"), ValueError, "invalid NEP n_max line"),
    ("zbl line not right after the header", model_text(header="nep4 1 H\ncutoff 4 3 10 10\nzbl 1 2",
     cutoff=None), ValueError, "invalid NEP n_max line"),
    ("radial n_max text", model_text(n_max="n_max a 1"), ValueError, "invalid radial n_max: a"),
    ("angular n_max real", model_text(n_max="n_max 1 1.5"), ValueError, "invalid angular n_max: 1.5"),
    ("bad n_max before missing basis line", model_text(None, n_max="n_max 1 b", drop=("basis", "l_max", "ann")),
     ValueError, "invalid angular n_max: b"),
    ("basis_size line missing", model_text(None, drop=("basis", "l_max", "ann")), ValueError,
     "unexpected end of NEP model"),
    ("basis_size malformed", model_text(basis="basis_size 1"), ValueError, "invalid NEP basis_size line"),
    ("basis_size misspelt", model_text(basis="basis 1 1"), ValueError, "invalid NEP basis_size line"),
    ("radial basis size text", model_text(basis="basis_size x 1"), ValueError, "invalid radial basis size: x"),
    ("angular basis size too large", model_text(basis="basis_size 1 99999999999"), ValueError,
     "invalid angular basis size: 99999999999"),
    ("l_max line missing", model_text(None, drop=("l_max", "ann")), ValueError, "unexpected end of NEP model"),
    ("l_max with two values", model_text(l_max="l_max 4 2"), ValueError, "invalid NEP l_max line"),
    ("l_max misspelt", model_text(l_max="lmax 4 2 1"), ValueError, "invalid NEP l_max line"),
    ("l_max text", model_text(l_max="l_max four 0 0"), ValueError, "invalid l_max: four"),
    ("l_max 9", model_text(l_max="l_max 9 0 0"), ValueError, "NEP l_max must be in [0, 8]"),
    ("l_max -1", model_text(l_max="l_max -1 0 0"), ValueError, "NEP l_max must be in [0, 8]"),
    ("angular flag text", model_text(l_max="l_max 1 0 yes"), ValueError, "invalid NEP angular flag: yes"),
    ("sixth angular flag text", model_text(l_max="l_max 1 0 0 0 0 0 1.0"), ValueError,
     "invalid NEP angular flag: 1.0"),
    ("negative n_max", model_text(n_max="n_max -1 1"), ValueError, "invalid NEP descriptor dimensions"),
    ("negative basis size", model_text(basis="basis_size 1 -1"), ValueError, "invalid NEP descriptor dimensions"),
    ("257 features", model_text(n_max="n_max 0 31", l_max="l_max 8 0 0"), ValueError,
     "invalid NEP descriptor dimensions"),
    ("ANN line missing", model_text(None, drop=("ann",)), ValueError, "unexpected end of NEP model"),
    ("ANN with one value", model_text(ann="ANN 1"), ValueError, "invalid NEP ANN line"),
    ("ANN in lower case", model_text(ann="ann 1 0"), ValueError, "invalid NEP ANN line"),
    ("first hidden size text", model_text(ann="ANN a 0"), ValueError, "invalid NEP first hidden layer size: a"),
    ("second hidden size text", model_text(ann="ANN 1 b"), ValueError, "invalid NEP second hidden layer size: b"),
    ("first hidden size zero", model_text(ann="ANN 0 0"), ValueError, "invalid NEP ANN sizes"),
    ("second hidden size negative", model_text(ann="ANN 1 -1"), ValueError, "invalid NEP ANN sizes"),
    ("two layers in version 3", model_text(header="nep3 1 H", ann="ANN 30 10"), ValueError,
     "unsupported two-layer NEP model"),
    ("two layers in version 5", model_text(header="nep5 1 H", ann="ANN 30 10"), ValueError,
     "unsupported two-layer NEP model"),
    ("parameter nan", model_text(["0.5"] * 5 + ["nan"] + ["0.5"] * 13), ValueError, "invalid NEP parameter: nan"),
    ("parameter out of range", model_text(["1e400"]), ValueError, "invalid NEP parameter: 1e400"),
    ("parameter beyond the required values", model_text(["0.5"] * 25 + ["-inf"]), ValueError,
     "invalid NEP parameter: -inf"),
    ("parameter text before truncation", model_text(["0.5", "x"]), ValueError, "invalid NEP parameter: x"),
    ("one value short", model_text(BASE_VALUES - 1), ValueError, "NEP model parameter block is truncated"),
    ("no values at all", model_text(0), ValueError, "NEP model parameter block is truncated"),
    ("huge network", model_text(ann="ANN 2147483647 0"), ValueError, "NEP model parameter block is truncated"),
    ("network count past 64 bits", model_text(header="nep4 4 H H H H", ann="ANN 2147483647 2147483647"),
     ValueError, "NEP model parameter block is truncated"),
]


@pytest.mark.parametrize("text, error, message", [c[1:] for c in ERROR_CASES], ids=[c[0] for c in ERROR_CASES])
def test_format_errors(write_model, text, error, message):
    with pytest.raises(error) as raised:
        load(write_model(text))
    assert type(raised.value) is error
    assert str(raised.value) == message


def test_unopenable_paths(tmp_path):
    for path in [str(tmp_path / "absent.txt"), str(tmp_path), ""]:
        with pytest.raises(RuntimeError) as raised:
            load(path)
        assert str(raised.value) == "could not open NEP model: " + path


def test_path_with_embedded_nul_does_not_name_another_file(tmp_path):
    real = tmp_path / "model.txt"
    real.write_text(model_text())
    with pytest.raises(RuntimeError) as raised:
        load(str(real) + "\0ignored")
    assert str(raised.value) == "could not open NEP model: " + str(real) + "\\x00ignored"


@pytest.mark.parametrize(
    "raw, message",
    [
        (b"nep4 1 \xff", "unknown element in NEP model: \\xff"),
        (b"nep4 1 \xc3\xa9", "unknown element in NEP model: \u00e9"),
        (b"nep4 1\x00 H", "invalid number of NEP atom types: 1\\x00"),
    ],
)
def test_undecodable_bytes_in_messages_are_escaped(write_model, raw, message):
    # The message must reach Python as a ValueError, so bytes that are not
    # text are shown as escapes instead of breaking the decoding.
    path = write_model(model_text().encode().replace(b"nep4 1 H", raw))
    with pytest.raises(ValueError) as raised:
        load(path)
    assert str(raised.value) == message


def overflow_model(part: str) -> str:
    # 8192 types (one element repeated) make T^2 = 2^26; with D at most 256
    # the basis part (n + 1)(b + 1) stays below 2^40 but times T^2 passes 2^64.
    header = "nep4 8192 " + " ".join(["H"] * 8192)
    if part == "radial":
        return model_text(0, header=header, n_max="n_max 255 0", basis="basis_size 2147483647 0",
                          l_max="l_max 0 0 0")
    return model_text(0, header=header, n_max="n_max 0 254", basis="basis_size 0 2147483647",
                      l_max="l_max 1 0 0")


@pytest.mark.parametrize("part", ["radial", "angular"])
def test_coefficient_count_overflow(write_model, part):
    with pytest.raises(OverflowError) as raised:
        load(write_model(overflow_model(part)))
    assert str(raised.value) == f"NEP {part} coefficients is too large"


def test_parameter_errors_come_before_overflow(write_model):
    text = overflow_model("radial") + "0.5\nnan\n"
    with pytest.raises(ValueError, match="^invalid NEP parameter: nan$"):
        load(write_model(text))


def test_model_errors_come_before_num_threads(write_model):
    with pytest.raises(ValueError, match="^invalid NEP model header$"):
        load(write_model(""), num_threads=-1)
    with pytest.raises(ValueError, match="^NEP num_threads must be non-negative$"):
        load(write_model(model_text()), num_threads=-1)


def test_options_record_defaults_and_copy(write_model):
    options = tandril.NepOptions()
    assert (options.model_path, options.num_threads) == ("", 0)
    options.model_path = write_model(model_text())
    calc = tandril.NepCalculator(options)
    options.model_path = "elsewhere"
    options.num_threads = -5
    assert calc.model_path != "elsewhere"
    with pytest.raises(TypeError):
        options.num_threads = 1.5
    with pytest.raises(TypeError):
        tandril.NepCalculator(options=options)


def test_reader_matches_python_reader_on_written_model(write_model, rng):
    model = synthetic_model(rng, symbols=("Ba", "Ti", "O"), n_max=(3, 2), basis_size=(5, 4), l_max=2, flags=(0, 1))
    path = write_model(model.text())
    again = read_model(path)
    assert np.array_equal(again.radial_coefficients, model.radial_coefficients)
    assert np.array_equal(again.scales, model.scales)
    assert load(path).feature_count == model.feature_count
