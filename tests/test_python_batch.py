"""tandril.batch: structures to the five batch arrays."""

from __future__ import annotations

import numpy as np
import pytest

import tandril
from conftest import diamond_silicon, rock_salt

ase = pytest.importorskip("ase")
from ase.build import bulk  # noqa: E402


def test_tuples_and_atoms_objects():
    nacl = bulk("NaCl", "rocksalt", a=5.64)
    nacl.pbc = (True, True, False)
    result = tandril.batch([rock_salt(), nacl, diamond_silicon()])
    numbers, positions, cells, pbc, offsets = result
    assert (numbers.dtype, positions.dtype, cells.dtype, pbc.dtype, offsets.dtype) == (
        np.int32, np.float64, np.float64, np.int32, np.int64)
    assert offsets.tolist() == [0, 8, 10, 18]
    assert numbers[8:10].tolist() == [11, 17]
    np.testing.assert_array_equal(positions[8:10], nacl.get_positions())
    np.testing.assert_array_equal(cells[1], np.asarray(nacl.cell))
    assert pbc.tolist() == [[1, 1, 1], [1, 1, 0], [1, 1, 1]]
    assert result.offsets is offsets
    assert all(a.flags.c_contiguous for a in result)


def test_single_atoms_object_and_pbc_tuple():
    si = bulk("Si", "diamond", a=5.43)
    assert tandril.batch(si).offsets.tolist() == [0, 2]
    numbers, positions, cell = diamond_silicon()
    assert tandril.batch([(numbers, positions, cell, (1, 0, 1))]).pbc.tolist() == [[1, 0, 1]]


def test_empty_list_gives_an_empty_batch():
    numbers, positions, cells, pbc, offsets = tandril.batch([])
    assert numbers.shape == (0,) and positions.shape == (0, 3) and cells.shape == (0, 3, 3)
    assert pbc.shape == (0, 3) and offsets.tolist() == [0]


def test_batch_feeds_the_neighbour_graph():
    numbers, positions, cells, pbc, offsets = tandril.batch([bulk("Cu", "fcc", a=3.6, cubic=True)])
    row_offsets, *_ = tandril.build_neighbor_graph(numbers, positions, cells[0], pbc[0], 2.6)
    assert np.diff(row_offsets).tolist() == [13] * 4


@pytest.mark.parametrize(
    "structures, error, message",
    [
        ("Si", TypeError, "sequence of structures"),
        ([{"numbers": [1]}], TypeError, "structure 0: cannot convert 'dict'"),
        ([(1, 2)], TypeError, "structure 0"),
        ([([1, 1], np.zeros((3, 3)), np.eye(3))], ValueError, r"positions must have shape \(2, 3\)"),
        ([([1], np.zeros((1, 3)), np.eye(2))], ValueError, r"cell must have shape \(3, 3\)"),
        ([([1.5], np.zeros((1, 3)), np.eye(3))], ValueError, "numbers must be a 1-D sequence of integers"),
        ([([1], np.zeros((1, 3)), np.eye(3), (1, 1))], ValueError, "pbc must have three flags"),
    ],
)
def test_what_cannot_be_converted_is_named(structures, error, message):
    with pytest.raises(error, match=message):
        tandril.batch(structures)
