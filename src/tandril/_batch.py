"""Conversion of a list of structures into the five flat batch arrays."""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import Any, NamedTuple

import numpy as np


class Batch(NamedTuple):
    """The five arrays every compute entry point takes, in argument order.

    Attributes
    ----------
    numbers : numpy.ndarray
        int32, shape (n_atoms,): atomic numbers, structures one after another.
    positions : numpy.ndarray
        float64, shape (n_atoms, 3): Cartesian positions.
    cells : numpy.ndarray
        float64, shape (n_structures, 3, 3): lattice vectors as rows.
    pbc : numpy.ndarray
        int32, shape (n_structures, 3): periodicity flags.
    offsets : numpy.ndarray
        int64, shape (n_structures + 1,): structure ``s`` owns atoms
        ``offsets[s]`` to ``offsets[s + 1] - 1``.
    """

    numbers: np.ndarray
    positions: np.ndarray
    cells: np.ndarray
    pbc: np.ndarray
    offsets: np.ndarray


def _is_atoms_like(obj: Any) -> bool:
    return all(hasattr(obj, name) for name in ("get_atomic_numbers", "get_positions", "get_cell", "get_pbc"))


def _structure_arrays(index: int, structure: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    if _is_atoms_like(structure):
        numbers = structure.get_atomic_numbers()
        positions = structure.get_positions()
        cell = np.asarray(structure.get_cell())
        pbc = structure.get_pbc()
    elif isinstance(structure, (tuple, list)) and len(structure) in (3, 4):
        numbers, positions, cell = structure[:3]
        pbc = structure[3] if len(structure) == 4 else (True, True, True)
    else:
        raise TypeError(
            f"structure {index}: cannot convert {type(structure).__name__!r}; expected an ASE Atoms object "
            "or a (numbers, positions, cell) or (numbers, positions, cell, pbc) tuple"
        )

    numbers = np.asarray(numbers)
    positions = np.asarray(positions, dtype=np.float64)
    cell = np.asarray(cell, dtype=np.float64)
    pbc = np.asarray(pbc)
    if numbers.ndim != 1 or not (np.issubdtype(numbers.dtype, np.integer) or numbers.size == 0):
        raise ValueError(f"structure {index}: numbers must be a 1-D sequence of integers")
    if positions.shape != (len(numbers), 3):
        raise ValueError(
            f"structure {index}: positions must have shape ({len(numbers)}, 3), got {positions.shape}"
        )
    if cell.shape != (3, 3):
        raise ValueError(f"structure {index}: cell must have shape (3, 3), got {cell.shape}")
    if pbc.shape != (3,):
        raise ValueError(f"structure {index}: pbc must have three flags, got shape {pbc.shape}")
    return numbers.astype(np.int32), positions, cell, pbc.astype(np.int32)


def batch(structures: Iterable[Any] | Any) -> Batch:
    """Turn structures into the five arrays of a structure batch.

    Parameters
    ----------
    structures : iterable
        ASE ``Atoms`` objects (or anything with ``get_atomic_numbers``,
        ``get_positions``, ``get_cell`` and ``get_pbc``) and/or tuples
        ``(numbers, positions, cell)`` or ``(numbers, positions, cell, pbc)``.
        Tuples without ``pbc`` are taken as periodic in all three directions.
        A single ``Atoms`` object is accepted as a batch of one.

    Returns
    -------
    Batch
        ``(numbers, positions, cells, pbc, offsets)`` with dtypes int32,
        float64, float64, int32 and int64; unpack it straight into a compute
        call: ``calculator.compute(*tandril.batch(structures))``.

    Raises
    ------
    TypeError
        If an entry is neither an ``Atoms``-like object nor a tuple of three
        or four items.
    ValueError
        If an entry's arrays have the wrong shapes.
    """
    if _is_atoms_like(structures):
        structures = [structures]
    if isinstance(structures, (str, bytes)) or not isinstance(structures, Iterable):
        raise TypeError(f"expected a sequence of structures, got {type(structures).__name__!r}")
    items: Sequence[Any] = list(structures)
    converted = [_structure_arrays(index, structure) for index, structure in enumerate(items)]

    counts = np.array([len(numbers) for numbers, _, _, _ in converted], dtype=np.int64)
    offsets = np.zeros(len(converted) + 1, dtype=np.int64)
    np.cumsum(counts, out=offsets[1:])
    if converted:
        numbers = np.concatenate([c[0] for c in converted]).astype(np.int32, copy=False)
        positions = np.concatenate([c[1] for c in converted]).reshape(-1, 3)
        cells = np.stack([c[2] for c in converted])
        pbc = np.stack([c[3] for c in converted])
    else:
        numbers = np.zeros(0, dtype=np.int32)
        positions = np.zeros((0, 3))
        cells = np.zeros((0, 3, 3))
        pbc = np.zeros((0, 3), dtype=np.int32)
    return Batch(
        np.ascontiguousarray(numbers, dtype=np.int32),
        np.ascontiguousarray(positions, dtype=np.float64),
        np.ascontiguousarray(cells, dtype=np.float64),
        np.ascontiguousarray(pbc, dtype=np.int32),
        offsets,
    )
