"""Ready-made radial tables for SOAP and a one-call way to build a calculator.

``SoapOptions`` expects the radial basis as tables. The functions here build
them (the numerics run in the native helper module ``tandril._tables_cpp``)
and fill in the options, so that SOAP is usable without hand-made tables.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Literal

import numpy as np

from . import _descriptor_cpp, _tables_cpp

__all__ = ["soap", "soap_gto_basis", "soap_options", "soap_polynomial_basis"]

#: Default number of Gauss-Legendre points of the polynomial basis.
DEFAULT_GRID_SIZE = 100

_WEIGHTING_FUNCTIONS = {"poly": 1, "pow": 2, "exp": 3, 1: 1, 2: 2, 3: 3}
_WEIGHTING_KEYS = {"function", "r0", "c", "d", "m", "threshold", "w0"}
_AVERAGES = {"off": (False, False), "inner": (True, False), "outer": (False, True)}
_COMPRESSIONS = {"full": 0, "species_merged": 1, "total": 2, "same_species": 3}


def soap_gto_basis(r_cut: float, n_max: int, l_max: int) -> tuple[np.ndarray, np.ndarray]:
    """Gaussian-type orbital radial basis for ``SoapOptions`` (``radial_basis = 0``).

    For every degree ``l`` the basis holds ``n_max`` primitives
    ``phi_{l,n}(r) = r**l * exp(-alpha_{l,n} * r**2)``. The exponent is chosen
    so that the primitive has fallen to ``1e-3`` at ``r_n``, with the ``r_n``
    evenly spaced from 1 to ``r_cut``::

        alpha_{l,n} = (l * log(r_n) - log(1e-3)) / r_n**2

    The primitives of each degree are then orthonormalised on ``[0, inf)``
    with weight ``r**2`` by the symmetric (Loewdin) transformation
    ``beta_l = S_l**(-1/2)`` of their overlap
    ``S_l[n, m] = Gamma(l + 3/2) / (2 (alpha_{l,n} + alpha_{l,m})**(l + 3/2))``,
    so that ``g_{n,l}(r) = sum_m beta_{l,n,m} phi_{l,m}(r)`` satisfy
    ``int_0^inf g_{n,l} g_{m,l} r**2 dr = delta_{nm}``.

    Parameters
    ----------
    r_cut : float
        Cutoff radius; must be finite and greater than 1 (the first primitive
        falls off at 1).
    n_max : int
        Number of radial functions per degree (at least 1).
    l_max : int
        Largest degree, 0 to 20.

    Returns
    -------
    alphas : numpy.ndarray
        float64, shape ``(l_max + 1, n_max)``: ``alphas[l, n] = alpha_{l,n}``.
        ``alphas.ravel()`` is the ``SoapOptions.alphas`` list.
    betas : numpy.ndarray
        float64, shape ``(l_max + 1, n_max, n_max)``:
        ``betas[l, n, m] = beta_{l,n,m}`` (symmetric in ``n, m``).
        ``betas.ravel()`` is the ``SoapOptions.betas`` list.

    Raises
    ------
    ValueError
        For parameters out of range, or when the primitives of some degree are
        numerically linearly dependent (too many functions for the interval
        from 1 to ``r_cut``).
    """
    return _tables_cpp.soap_gto_basis(float(r_cut), int(n_max), int(l_max))


def soap_polynomial_basis(
    r_cut: float, n_max: int, grid_size: int = DEFAULT_GRID_SIZE
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Polynomial radial basis on a quadrature grid for ``SoapOptions`` (``radial_basis = 1``).

    The functions ``phi_n(r) = (r_cut - r)**(n + 2)``, ``n = 0 .. n_max - 1``,
    are orthonormalised on ``[0, r_cut]`` with weight ``r**2`` by the
    symmetric (Loewdin) transformation ``S**(-1/2)`` of their overlap, giving
    ``g_n(r) = sum_m (S**(-1/2))[n, m] phi_m(r)`` with
    ``int_0^r_cut g_n g_m r**2 dr = delta_{nm}``. They are returned as values
    on a ``grid_size``-point Gauss-Legendre grid over ``[0, r_cut]``, the grid
    the SOAP calculator integrates on. Every overlap is integrated exactly by
    the grid (``grid_size >= n_max + 3``), so
    ``(values * weights * grid**2) @ values.T`` is the identity; finer grids
    integrate the neighbour densities more accurately.

    Parameters
    ----------
    r_cut : float
        Cutoff radius (finite, positive).
    n_max : int
        Number of radial functions (at least 1).
    grid_size : int, optional
        Number of grid points, at least ``n_max + 3``.

    Returns
    -------
    radial_grid : numpy.ndarray
        float64, shape ``(grid_size,)``: abscissae ``r_i``, ascending in
        ``(0, r_cut)``.
    radial_weights : numpy.ndarray
        float64, shape ``(grid_size,)``: quadrature weights (positive).
    radial_values : numpy.ndarray
        float64, shape ``(n_max, grid_size)``: ``radial_values[n, i] = g_n(r_i)``.
        ``radial_values.ravel()`` is the ``SoapOptions.radial_values`` list.

    Raises
    ------
    ValueError
        For parameters out of range, or when ``n_max`` is too large for the
        polynomials to stay numerically independent.
    """
    return _tables_cpp.soap_polynomial_basis(float(r_cut), int(n_max), int(grid_size))


def _weighting_fields(weighting: Mapping[str, float | int | str]) -> dict[str, object]:
    unknown = set(weighting) - _WEIGHTING_KEYS
    if unknown:
        raise ValueError(f"unknown weighting keys {sorted(unknown)}; expected some of {sorted(_WEIGHTING_KEYS)}")
    fields: dict[str, object] = {}
    if "function" in weighting:
        function = weighting["function"]
        if function not in _WEIGHTING_FUNCTIONS:
            raise ValueError(f"weighting function must be 'poly', 'pow' or 'exp' (or 1, 2, 3), got {function!r}")
        fields["weighting_has_function"] = True
        fields["weighting_function"] = _WEIGHTING_FUNCTIONS[function]
    for key in ("r0", "c", "d", "m", "threshold", "w0"):
        if key in weighting:
            fields[f"weighting_{key}"] = float(weighting[key])
    if "w0" in weighting:
        fields["weighting_has_w0"] = True
    return fields


def soap_options(
    species: Sequence[int],
    r_cut: float,
    n_max: int,
    l_max: int,
    sigma: float,
    rbf: Literal["gto", "polynomial"] = "gto",
    *,
    compression: int | str = 0,
    average: Literal["off", "inner", "outer"] = "off",
    weighting: Mapping[str, float | int | str] | None = None,
    species_weights: Sequence[float] | None = None,
    grid_size: int = DEFAULT_GRID_SIZE,
    num_threads: int = 0,
) -> _descriptor_cpp.SoapOptions:
    """``SoapOptions`` filled in, radial tables included.

    Parameters
    ----------
    species : sequence of int
        Atomic numbers; their order orders the species blocks of every row.
    r_cut : float
        Cutoff radius of the radial basis.
    n_max : int
        Number of radial functions.
    l_max : int
        Largest angular degree (0 to 20).
    sigma : float
        Width of the Gaussian placed on every atom.
    rbf : {"gto", "polynomial"}, optional
        Radial basis: :func:`soap_gto_basis` or :func:`soap_polynomial_basis`.
    compression : int or str, optional
        Row layout: 0 (``"full"``) every species pair, 1 (``"species_merged"``)
        one channel for all species, 2 (``"total"``) each species against the
        total density, 3 (``"same_species"``) same-species pairs only.
    average : {"off", "inner", "outer"}, optional
        ``"off"``: one row per atom. ``"inner"``: the expansion coefficients are
        averaged over each structure before the power spectrum is formed;
        ``"outer"``: the per-atom power spectra are averaged. Both give one row
        per structure. The calculator's ``compute`` must then be called with
        the matching ``inner_average``/``outer_average`` arguments.
    weighting : mapping, optional
        Radial weighting of the neighbours, ``x = r / r0``: ``"function"`` is
        ``"poly"`` (``c (1 - 3x^2 + 2x^3)^m`` up to ``r0``, 0 beyond),
        ``"pow"`` (``c / (x^m + d)``) or ``"exp"`` (``c / (exp(-x) + d)``), with
        the parameters ``"r0"``, ``"c"``, ``"d"``, ``"m"``; ``"w0"`` sets the
        weight of the centre atom itself; ``"threshold"`` is stored only.
    species_weights : sequence of float, optional
        One multiplier per species (default: all 1).
    grid_size : int, optional
        Grid points of the polynomial basis (ignored for ``"gto"``).
    num_threads : int, optional
        Thread count handed to the neighbour search.

    Returns
    -------
    SoapOptions

    Raises
    ------
    ValueError
        For an unknown ``rbf``, ``average``, ``compression`` or weighting key, or
        when the radial tables cannot be built. The calculator checks every
        other parameter when it computes.
    """
    options = _descriptor_cpp.SoapOptions()
    options.species = [int(z) for z in species]
    options.r_cut = float(r_cut)
    options.n_max = int(n_max)
    options.l_max = int(l_max)
    options.sigma = float(sigma)
    if rbf == "gto":
        alphas, betas = soap_gto_basis(r_cut, n_max, l_max)
        options.radial_basis = 0
        options.alphas = alphas.ravel().tolist()
        options.betas = betas.ravel().tolist()
    elif rbf == "polynomial":
        grid, weights, values = soap_polynomial_basis(r_cut, n_max, grid_size)
        options.radial_basis = 1
        options.radial_grid = grid.tolist()
        options.radial_weights = weights.tolist()
        options.radial_values = values.ravel().tolist()
    else:
        raise ValueError(f"rbf must be 'gto' or 'polynomial', got {rbf!r}")
    if isinstance(compression, str):
        if compression not in _COMPRESSIONS:
            raise ValueError(f"unknown compression {compression!r}; expected one of {sorted(_COMPRESSIONS)} or 0 to 3")
        compression = _COMPRESSIONS[compression]
    options.compression = int(compression)
    if average not in _AVERAGES:
        raise ValueError(f"average must be 'off', 'inner' or 'outer', got {average!r}")
    options.inner_average, options.outer_average = _AVERAGES[average]
    for name, value in _weighting_fields(weighting or {}).items():
        setattr(options, name, value)
    options.species_weights = (
        [1.0] * len(options.species) if species_weights is None else [float(w) for w in species_weights]
    )
    options.num_threads = int(num_threads)
    return options


def soap(
    species: Sequence[int],
    r_cut: float,
    n_max: int,
    l_max: int,
    sigma: float,
    rbf: Literal["gto", "polynomial"] = "gto",
    **options: object,
) -> _descriptor_cpp.SoapCalculator:
    """A ``SoapCalculator`` with ready-made radial tables.

    Takes the arguments of :func:`soap_options` and builds the calculator from
    the options it returns.

    Examples
    --------
    >>> calculator = tandril.soap(species=[11, 17], r_cut=5.0, n_max=8, l_max=6, sigma=0.5)
    >>> rows = calculator.compute(*tandril.batch(structures), inner_average=False)

    Returns
    -------
    SoapCalculator
        Rows of ``calculator.feature_count`` values; per atom, or per structure
        with ``average="inner"``/``"outer"`` (pass the matching
        ``inner_average``/``outer_average`` to ``compute``).
    """
    return _descriptor_cpp.SoapCalculator(soap_options(species, r_cut, n_max, l_max, sigma, rbf, **options))
