"""Loewdin orthonormalisation of radial overlaps, and the Gauss-Legendre rule."""

from __future__ import annotations

import numpy as np
import pytest

from tandril import _core_testing as core

SINGULAR = "^radial overlap matrix is singular, lower max_radial$"


def test_identity_stays_identity():
    np.testing.assert_array_equal(core.radial_orthonormalisation(np.eye(4)), np.eye(4))


def test_one_by_one():
    np.testing.assert_array_equal(core.radial_orthonormalisation([[4.0]]), [[0.5]])


def test_empty_basis():
    assert core.radial_orthonormalisation(np.zeros((0, 0))).shape == (0, 0)


def test_two_by_two_closed_form():
    t = core.radial_orthonormalisation([[1.0, 0.5], [0.5, 1.0]])
    a = (1 / np.sqrt(0.5) + 1 / np.sqrt(1.5)) / 2
    b = (1 / np.sqrt(1.5) - 1 / np.sqrt(0.5)) / 2
    np.testing.assert_allclose(t, [[a, b], [b, a]], rtol=1e-15)
    assert b < 0


@pytest.mark.parametrize("n", [3, 8, 20])
def test_random_overlap_is_inverted_square_root(n):
    rng = np.random.default_rng(n)
    functions = rng.normal(size=(n, 3 * n))
    overlap = functions @ functions.T / (3 * n)
    t = core.radial_orthonormalisation(overlap)
    np.testing.assert_allclose(t, t.T, atol=1e-13)
    np.testing.assert_allclose(t @ overlap @ t, np.eye(n), atol=1e-10)


def test_gaussian_basis_becomes_orthonormal_by_quadrature():
    # raw functions exp(-a_k r^2) on [0, 6] with weight r^2
    r, w = core.gauss_legendre_rule(200, 0.0, 6.0)
    exponents = np.array([0.3, 0.7, 1.5, 3.0])
    raw = np.exp(-exponents[:, None] * r**2)
    overlap = (raw * w * r**2) @ raw.T
    orthonormal = core.radial_orthonormalisation(overlap) @ raw
    np.testing.assert_allclose((orthonormal * w * r**2) @ orthonormal.T, np.eye(4), atol=1e-9)


@pytest.mark.parametrize(
    "overlap",
    [[[1.0, 1.0], [1.0, 1.0]], [[1.0, 2.0], [2.0, 1.0]], [[-1.0]], [[0.0]], [[np.nan, 0.0], [0.0, 1.0]]],
    ids=["singular", "indefinite", "negative", "zero", "nan"],
)
def test_singular_or_indefinite_overlaps_are_refused(overlap):
    with pytest.raises(ValueError, match=SINGULAR):
        core.radial_orthonormalisation(overlap)


@pytest.mark.parametrize("n", [1, 2, 5, 16, 240])
def test_gauss_legendre_integrates_polynomials_exactly(n):
    nodes, weights = core.gauss_legendre_rule(n)
    assert np.all(np.diff(nodes) > 0)
    np.testing.assert_allclose(nodes, -nodes[::-1], atol=1e-15)
    for degree in range(0, 2 * n, max(1, (2 * n) // 7)):
        exact = 2.0 / (degree + 1) if degree % 2 == 0 else 0.0
        assert abs(np.sum(weights * nodes**degree) - exact) < 1e-12


def test_gauss_legendre_on_an_interval():
    nodes, weights = core.gauss_legendre_rule(6, 1.0, 3.0)
    assert abs(np.sum(weights * np.exp(nodes)) - (np.exp(3) - np.exp(1))) < 1e-9
