"""The hot-loop entries of exp and pow give exactly the math library's results."""

from __future__ import annotations

import math
import platform

import numpy as np
import pytest

from tandril import _core_testing as core


def test_exp_is_bit_identical_to_the_library():
    rng = np.random.default_rng(1)
    samples = np.concatenate([rng.uniform(-750, 710, 2000), rng.normal(size=2000), [0.0, -0.0, 709.78, -745.13]])
    for x in samples:
        assert core.platform_exp(float(x)) == math.exp(x)
    assert core.platform_exp(float("-inf")) == 0.0
    assert core.platform_exp(float("inf")) == float("inf")
    assert core.platform_exp(1000.0) == float("inf")
    assert math.isnan(core.platform_exp(float("nan")))


def test_pow_is_bit_identical_to_the_library():
    rng = np.random.default_rng(2)
    for x, y in zip(rng.uniform(0, 50, 3000), rng.uniform(-8, 8, 3000)):
        assert core.platform_pow(float(x), float(y)) == math.pow(x, y)
    assert core.platform_pow(0.0, 0.0) == 1.0
    assert core.platform_pow(0.0, 2.0) == 0.0
    assert core.platform_pow(-2.0, 3.0) == -8.0
    assert math.isnan(core.platform_pow(-8.0, 1 / 3))
    assert core.platform_pow(2.0, 2000.0) == float("inf")


@pytest.mark.skipif(platform.libc_ver()[0] != "glibc", reason="the inner entries exist in glibc only")
def test_glibc_inner_entries_are_found():
    assert core.platform_math_inner_entry()


def hypot_arguments(rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    """Pairs of every relative size and sign: comparable, far apart, nearly equal, huge, tiny, special."""
    count = 200_000
    comparable = rng.uniform(-1, 1, (2, count)) * 2.0 ** rng.uniform(-60, 60, count)
    apart = rng.uniform(-1, 1, (2, count)) * 2.0 ** rng.uniform(-80, 80, (2, count))
    near = rng.uniform(-1, 1, count)
    nearly_equal = np.stack([near, near * (1 + rng.uniform(-1, 1, count) * 2.0 ** -rng.uniform(10, 52, count))])
    anywhere = rng.uniform(-1, 1, (2, count)) * 2.0 ** rng.uniform(-1074, 1023, (2, count))
    special = np.array([0.0, -0.0, 3.0, 2.0**511, 2.0**-459, 2.0**-460, 5e-324, 1.7976931348623157e308,
                        np.inf, -np.inf, np.nan])
    pairs = np.array(np.meshgrid(special, special)).reshape(2, -1)
    x, y = np.concatenate([comparable, apart, nearly_equal, anywhere, pairs], axis=1)
    return np.ascontiguousarray(x), np.ascontiguousarray(y)


def test_written_out_hypot_is_bit_identical_to_the_library():
    if not core.platform_math_inline_hypot():
        pytest.skip("this math library computes hypot differently; the library function is used")
    x, y = hypot_arguments(np.random.default_rng(3))
    library, written, lanes = core.hypot_values(x, y)
    np.testing.assert_array_equal(written, library)  # NaN matches NaN
    computed = ~np.isnan(lanes)
    np.testing.assert_array_equal(lanes[computed], library[computed])
    # the two-lane form handles ordinary pairs itself rather than handing them on
    assert computed[:200_000].mean() > 0.99


@pytest.mark.skipif(
    platform.machine() != "x86_64" or platform.libc_ver()[0] != "glibc"
    or tuple(map(int, platform.libc_ver()[1].split(".")[:2])) < (2, 35),
    reason="the written-out hypot follows glibc 2.35 or later on x86-64",
)
def test_written_out_hypot_is_used_with_the_glibc_it_follows():
    assert core.platform_math_inline_hypot()
