"""Small builders shared by the SOAP tests."""

from __future__ import annotations

import numpy as np

import tandril
from conftest import make_batch


def soap_options(species=(1, 8), r_cut=3.0, n_max=3, l_max=3, sigma=0.4, rbf="gto", grid_size=60, **fields):
    """SoapOptions with ready-made tables, per-atom rows, then `fields` set as given."""
    options = tandril.soap_options(species, r_cut, n_max, l_max, sigma, rbf, grid_size=grid_size)
    for name, value in fields.items():
        setattr(options, name, value)
    return options


def compute(options, structures, **arguments):
    """Rows of a calculator built from `options`, with the averaging arguments matching the stored flags."""
    arguments.setdefault("inner_average", options.inner_average)
    arguments.setdefault("outer_average", options.outer_average)
    return tandril.SoapCalculator(options).compute(*make_batch(structures), **arguments)


def dimer(distance: float, numbers=(1, 8), box: float = 40.0):
    """Two atoms on the x axis in a box large enough to isolate them."""
    return np.array(numbers), np.array([[1.0, 1.0, 1.0], [1.0 + distance, 1.0, 1.0]]), np.eye(3) * box


def isolated_atom(number: int = 1, box: float = 40.0):
    return np.array([number]), np.array([[0.5, 0.5, 0.5]]), np.eye(3) * box
