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
