"""Ready-made SOAP radial tables and the one-call calculator factory."""

from __future__ import annotations

import functools
import math

import numpy as np
import pytest
from scipy.special import gamma

import tandril
from conftest import make_batch, rock_salt


@functools.lru_cache(maxsize=None)
def legendre_rule(points: int):
    return np.polynomial.legendre.leggauss(points)


def gauss_legendre(a: float, b: float, points: int):
    x, w = legendre_rule(points)
    return 0.5 * (b - a) * x + 0.5 * (b + a), 0.5 * (b - a) * w


@pytest.mark.parametrize("r_cut, n_max, l_max", [(5.0, 8, 6), (3.0, 4, 9), (6.5, 10, 3), (2.0, 1, 0), (8.0, 6, 20)])
def test_gto_basis_definition_and_orthonormality(r_cut, n_max, l_max):
    alphas, betas = tandril.soap_gto_basis(r_cut, n_max, l_max)
    assert alphas.shape == (l_max + 1, n_max) and betas.shape == (l_max + 1, n_max, n_max)
    assert alphas.dtype == betas.dtype == np.float64
    reach = np.linspace(1.0, r_cut, n_max)
    for l in range(l_max + 1):
        # primitive n has fallen to 1e-3 at r_n
        np.testing.assert_allclose(reach**l * np.exp(-alphas[l] * reach**2), 1e-3, rtol=1e-12)
        np.testing.assert_allclose(betas[l], betas[l].T, rtol=0, atol=1e-12 * np.abs(betas[l]).max())
        # orthonormal on [0, inf) with weight r^2, by an independent quadrature
        r, w = gauss_legendre(0.0, 12.0 / math.sqrt(alphas[l].min()) + 1.0, 400)
        g = betas[l] @ (r**l * np.exp(-np.outer(alphas[l], r**2)))
        np.testing.assert_allclose((g * w * r**2) @ g.T, np.eye(n_max), atol=1e-8)


def test_gto_betas_are_the_inverse_square_root_of_the_overlap():
    alphas, betas = tandril.soap_gto_basis(4.0, 5, 2)
    for l in range(3):
        overlap = gamma(l + 1.5) / (2 * np.add.outer(alphas[l], alphas[l]) ** (l + 1.5))
        np.testing.assert_allclose(betas[l] @ overlap @ betas[l], np.eye(5), atol=1e-10)
        assert np.all(np.linalg.eigvalsh(betas[l]) > 0)  # the symmetric, positive root


@pytest.mark.parametrize(
    "r_cut, n_max, l_max, message",
    [
        (1.0, 4, 2, "SOAP GTO basis needs a finite r_cut greater than 1 (its first primitive falls off at 1)"),
        (math.nan, 4, 2, "SOAP GTO basis needs a finite r_cut greater than 1 (its first primitive falls off at 1)"),
        (math.inf, 4, 2, "SOAP GTO basis needs a finite r_cut greater than 1 (its first primitive falls off at 1)"),
        (5.0, 0, 2, "SOAP GTO basis needs n_max >= 1"),
        (5.0, 4, -1, "SOAP GTO basis needs 0 <= l_max <= 20"),
        (5.0, 4, 21, "SOAP GTO basis needs 0 <= l_max <= 20"),
        (3.0, 12, 2, "SOAP GTO basis: the primitives of degree 0 are numerically linearly dependent; "
                     "lower n_max or raise r_cut"),
    ],
)
def test_gto_basis_errors(r_cut, n_max, l_max, message):
    with pytest.raises(ValueError) as error:
        tandril.soap_gto_basis(r_cut, n_max, l_max)
    assert str(error.value) == message


@pytest.mark.parametrize("r_cut, n_max, grid_size", [(5.0, 8, 100), (3.0, 3, 6), (4.0, 12, 40), (1.5, 1, 4)])
def test_polynomial_basis_definition_and_orthonormality(r_cut, n_max, grid_size):
    grid, weights, values = tandril.soap_polynomial_basis(r_cut, n_max, grid_size)
    assert grid.shape == weights.shape == (grid_size,) and values.shape == (n_max, grid_size)
    x, w = gauss_legendre(0.0, r_cut, grid_size)
    np.testing.assert_allclose(grid, x, rtol=1e-13)
    np.testing.assert_allclose(weights, w, rtol=1e-11)
    assert np.all((grid > 0) & (grid < r_cut))
    # orthonormal with weight r^2 on the returned grid
    np.testing.assert_allclose((values * weights * grid**2) @ values.T, np.eye(n_max), atol=1e-12)
    # in the span of the primitives: (r_cut - r)^2 times a polynomial of degree n_max - 1
    u = r_cut - grid
    span = np.polynomial.legendre.legvander(2 * u / r_cut - 1, n_max - 1) * (u**2)[:, None]
    for g in values:
        fit = span @ np.linalg.lstsq(span, g, rcond=None)[0]
        np.testing.assert_allclose(fit, g, atol=1e-11 * np.abs(g).max())
    # Loewdin: g = S^(-1/2) phi, so <g_n, phi_m> = (S^(1/2))[n, m]: symmetric, and squaring to S
    primitives = np.array([u ** (m + 2) for m in range(n_max)])
    root = (values * weights * grid**2) @ primitives.T
    p = np.add.outer(np.arange(n_max), np.arange(n_max)) + 4
    overlap = r_cut ** (p + 3) * 2.0 / ((p + 1) * (p + 2) * (p + 3))
    np.testing.assert_allclose(root, root.T, rtol=0, atol=1e-9 * np.abs(root).max())
    np.testing.assert_allclose(root @ root, overlap, rtol=1e-9)


def test_polynomial_basis_functions_do_not_depend_on_the_grid():
    coarse_grid, _, coarse = tandril.soap_polynomial_basis(4.0, 5, 8)
    fine_grid, _, fine = tandril.soap_polynomial_basis(4.0, 5, 200)
    for n in range(5):
        # a polynomial of degree n_max + 1 through the coarse samples, evaluated on the fine grid
        fit = np.polynomial.Polynomial.fit(coarse_grid, coarse[n], 6)
        np.testing.assert_allclose(fit(fine_grid), fine[n], atol=1e-9 * np.abs(fine[n]).max())


@pytest.mark.parametrize(
    "r_cut, n_max, grid_size, message",
    [
        (0.0, 4, 20, "SOAP polynomial basis needs a finite, positive r_cut"),
        (math.inf, 4, 20, "SOAP polynomial basis needs a finite, positive r_cut"),
        (5.0, 0, 20, "SOAP polynomial basis needs n_max >= 1"),
        (5.0, 4, 6, "SOAP polynomial basis needs grid_size >= n_max + 3"),
        (5.0, 2**31 - 1, 20, "SOAP polynomial basis needs grid_size >= n_max + 3"),
    ],
)
def test_polynomial_basis_errors(r_cut, n_max, grid_size, message):
    with pytest.raises(ValueError) as error:
        tandril.soap_polynomial_basis(r_cut, n_max, grid_size)
    assert str(error.value) == message


def test_polynomial_basis_too_large_to_stay_independent():
    with pytest.raises(ValueError, match="^SOAP polynomial basis: n_max is too large for numerically independent polynomials$"):
        tandril.soap_polynomial_basis(5.0, 40, 200)


# ---------------------------------------------------------------------------
# Factory


def test_soap_options_fill_every_table_and_flag():
    options = tandril.soap_options([11, 17], 5.0, 4, 3, 0.5)
    alphas, betas = tandril.soap_gto_basis(5.0, 4, 3)
    assert options.species == [11, 17]
    assert (options.r_cut, options.n_max, options.l_max, options.sigma) == (5.0, 4, 3, 0.5)
    assert options.radial_basis == 0
    assert options.alphas == alphas.ravel().tolist() and options.betas == betas.ravel().tolist()
    assert options.species_weights == [1.0, 1.0]
    assert (options.inner_average, options.outer_average, options.compression) == (False, False, 0)
    poly = tandril.soap_options([11, 17], 5.0, 4, 3, 0.5, "polynomial", grid_size=30, average="outer",
                                compression="total", species_weights=[1.0, 2.0], num_threads=1)
    grid, weights, values = tandril.soap_polynomial_basis(5.0, 4, 30)
    assert poly.radial_basis == 1 and poly.radial_grid == grid.tolist() and poly.radial_weights == weights.tolist()
    assert poly.radial_values == values.ravel().tolist()
    assert (poly.inner_average, poly.outer_average, poly.compression) == (False, True, 2)
    assert poly.species_weights == [1.0, 2.0] and poly.num_threads == 1


def test_soap_options_weighting_mapping():
    options = tandril.soap_options([1], 3.0, 2, 1, 0.4, weighting={"function": "pow", "r0": 2.0, "c": 0.5, "d": 0.1,
                                                                   "m": 3, "w0": 0.0, "threshold": 0.001})
    assert options.weighting_has_function and options.weighting_function == 2
    assert (options.weighting_r0, options.weighting_c, options.weighting_d, options.weighting_m) == (2.0, 0.5, 0.1, 3.0)
    assert options.weighting_has_w0 and options.weighting_w0 == 0.0
    assert options.weighting_threshold == 0.001
    only_w0 = tandril.soap_options([1], 3.0, 2, 1, 0.4, weighting={"w0": 0.5})
    assert only_w0.weighting_has_w0 and not only_w0.weighting_has_function


@pytest.mark.parametrize(
    "arguments, message",
    [
        ({"rbf": "spline"}, "rbf must be 'gto' or 'polynomial'"),
        ({"average": "both"}, "average must be 'off', 'inner' or 'outer'"),
        ({"compression": "zip"}, "unknown compression"),
        ({"weighting": {"function": "cos"}}, "weighting function must be"),
        ({"weighting": {"width": 1.0}}, "unknown weighting keys"),
    ],
)
def test_soap_options_refuse_unknown_choices(arguments, message):
    with pytest.raises(ValueError, match=message):
        tandril.soap_options([1], 3.0, 2, 1, 0.4, **arguments)


@pytest.mark.parametrize("rbf", ["gto", "polynomial"])
def test_factory_gives_a_working_calculator(rbf):
    calculator = tandril.soap(species=[11, 17], r_cut=4.0, n_max=4, l_max=4, sigma=0.5, rbf=rbf)
    assert isinstance(calculator, tandril.SoapCalculator)
    rows = calculator.compute(*make_batch([rock_salt()]), inner_average=False)
    assert rows.shape == (8, calculator.feature_count)
    # the four sodium atoms and the four chlorine atoms are alike
    scale = np.abs(rows).max()
    np.testing.assert_allclose(rows[:4], np.tile(rows[0], (4, 1)), rtol=1e-12, atol=1e-12 * scale)
    np.testing.assert_allclose(rows[4:], np.tile(rows[4], (4, 1)), rtol=1e-12, atol=1e-12 * scale)
    averaged = tandril.soap([11, 17], 4.0, 4, 4, 0.5, rbf, average="outer")
    np.testing.assert_allclose(averaged.compute(*make_batch([rock_salt()]), inner_average=False, outer_average=True)[0],
                               rows.mean(axis=0), rtol=1e-13, atol=1e-13 * scale)
