"""Batch construction, the two validation routines, the species check and the one-structure view."""

from __future__ import annotations

import numpy as np
import pytest

from tandril import _core_testing as core
from conftest import make_batch, rock_salt

VALIDATORS = {"A": core.validate_calculator_batch, "B": core.validate_descriptor_batch}


def two_structures():
    numbers, positions, cell = rock_salt()
    return [list(a) for a in make_batch([(numbers[:2], positions[:2], cell), (numbers[:3], positions[:3], cell)])]


def with_changes(**changes):
    batch = dict(zip(("numbers", "positions", "cells", "pbc", "offsets"), two_structures()))
    batch = {k: np.array(v) for k, v in batch.items()}
    batch.update(changes)
    return batch


@pytest.mark.parametrize(
    "changes, message",
    [
        (dict(numbers=np.zeros((5, 1), np.int32)), "invalid StructureBatch array shapes"),
        (dict(positions=np.zeros((5, 2))), "invalid StructureBatch array shapes"),
        (dict(positions=np.zeros(15)), "invalid StructureBatch array shapes"),
        (dict(cells=np.zeros((2, 9))), "invalid StructureBatch array shapes"),
        (dict(cells=np.zeros((2, 3, 2))), "invalid StructureBatch array shapes"),
        (dict(pbc=np.ones(6, np.int32)), "invalid StructureBatch array shapes"),
        (dict(offsets=np.zeros((3, 1), np.int64)), "invalid StructureBatch array shapes"),
        (dict(offsets=np.zeros(0, np.int64)), "invalid StructureBatch array shapes"),
        # the rank tests come before the length tests
        (dict(positions=np.zeros((4, 2)), offsets=np.zeros(7, np.int64)), "invalid StructureBatch array shapes"),
        (dict(positions=np.zeros((4, 3))), "StructureBatch arrays have inconsistent lengths"),
        (dict(cells=np.zeros((3, 3, 3))), "StructureBatch arrays have inconsistent lengths"),
        (dict(pbc=np.ones((1, 3), np.int32)), "StructureBatch arrays have inconsistent lengths"),
        (dict(offsets=np.array([0, 2], np.int64)), "StructureBatch arrays have inconsistent lengths"),
    ],
)
@pytest.mark.parametrize("routine", ["A", "B"])
def test_shape_and_length_errors(changes, message, routine):
    with pytest.raises(ValueError, match=f"^{message}$"):
        VALIDATORS[routine](**with_changes(**changes))


def test_valid_batch_passes_both_routines():
    for validate in VALIDATORS.values():
        validate(*two_structures())


def test_zero_structures_pass_without_further_tests():
    for validate in VALIDATORS.values():
        validate(np.zeros(4, np.int32), np.full((4, 3), np.nan), np.zeros((0, 3, 3)), np.zeros((0, 3), np.int32),
                 np.zeros(1, np.int64))


def test_empty_structure_in_the_middle_passes():
    numbers, positions, cell = rock_salt()
    batch = make_batch([(numbers[:2], positions[:2], cell), ([], np.zeros((0, 3)), cell), (numbers[:1], positions[:1], cell)])
    assert batch[4].tolist() == [0, 2, 2, 3]
    for validate in VALIDATORS.values():
        validate(*batch)


NAN_CELL = np.diag([4.0, 4.0, np.nan])
INF_CELL = np.diag([np.inf, 4.0, 4.0])


@pytest.mark.parametrize(
    "changes, message_a, message_b",
    [
        (dict(pbc=np.array([[1, 1, 1], [1, 1, 0]], np.int32)), "only fully periodic structures are supported", None),
        (dict(pbc=np.array([[1, 1, 2], [1, 1, 1]], np.int32)), "only fully periodic structures are supported", None),
        (dict(cells=np.array([np.eye(3), np.diag([1.0, 1.0, 0.99e-14])])), "cell matrix is singular", None),
        (dict(cells=np.array([np.eye(3), NAN_CELL])), "cell matrix is singular", None),
        (dict(cells=np.array([INF_CELL, np.eye(3)])), "cell matrix is singular", None),
        (dict(offsets=np.array([0, 6, 5])), "offsets must be monotonic", None),
        (dict(offsets=np.array([1, 2, 5])), "offsets do not describe the flattened arrays", None),
        (dict(offsets=np.array([0, 2, 4])), "offsets do not describe the flattened arrays", None),
        # the bounds test stands after the per-structure loop in A and before it in B
        (dict(offsets=np.array([0, 6, 5]), pbc=np.array([[1, 0, 1], [1, 1, 1]], np.int32)),
         "only fully periodic structures are supported", None),
        (dict(offsets=np.array([1, 2, 5]), pbc=np.array([[1, 0, 1], [1, 1, 1]], np.int32)),
         "only fully periodic structures are supported", "offsets do not describe the flattened arrays"),
        (dict(positions=np.array([[0.0, 0, 0]] * 4 + [[np.inf, 0, 0]])), "positions must be finite", None),
        (dict(positions=np.array([[0.0, 0, 0]] * 4 + [[0, np.nan, 0]])), "positions must be finite", None),
        # cells are tested before positions
        (dict(positions=np.array([[np.inf, 0, 0]] * 5), cells=np.array([np.eye(3), np.zeros((3, 3))])),
         "cell matrix is singular", None),
    ],
)
def test_content_errors_in_routine_order(changes, message_a, message_b):
    batch = with_changes(**changes)
    with pytest.raises(ValueError, match=f"^{message_a}$"):
        core.validate_calculator_batch(**batch)
    with pytest.raises(ValueError, match=f"^{message_b or message_a}$"):
        core.validate_descriptor_batch(**batch)


def test_spec_offset_examples_differ_between_routines():
    numbers = np.array([1, 1], np.int32)
    positions = np.zeros((2, 3))
    cells = np.array([np.eye(3)] * 2)
    pbc = np.ones((2, 3), np.int32)
    for validate in VALIDATORS.values():
        with pytest.raises(ValueError, match="^offsets must be monotonic$"):
            validate(numbers, positions, cells, pbc, np.array([0, 3, 2]))
    one = (np.array([1], np.int32), np.zeros((1, 3)), np.array([np.eye(3)]), np.ones((1, 3), np.int32))
    with pytest.raises(ValueError, match="^offsets must be monotonic$"):
        core.validate_calculator_batch(*one, np.array([2, 1]))
    with pytest.raises(ValueError, match="^offsets do not describe the flattened arrays$"):
        core.validate_descriptor_batch(*one, np.array([2, 1]))
    three = (np.ones(3, np.int32), np.zeros((3, 3)), np.array([np.eye(3)]), np.ones((1, 3), np.int32))
    for validate in VALIDATORS.values():
        with pytest.raises(ValueError, match="^offsets do not describe the flattened arrays$"):
            validate(*three, np.array([1, 3]))


def test_determinant_of_exactly_1e14_passes():
    batch = with_changes(cells=np.array([np.eye(3), np.diag([1.0, 1.0, 1e-14])]))
    for validate in VALIDATORS.values():
        validate(**batch)


@pytest.mark.parametrize("bad", [0, -3])
def test_non_positive_atomic_numbers(bad):
    batch = with_changes(numbers=np.array([1, bad, 1, 1, 1], np.int32))
    core.validate_calculator_batch(**batch)  # routine A does not read atomic numbers
    with pytest.raises(ValueError, match="^atomic numbers must be positive$"):
        core.validate_descriptor_batch(**batch)
    with pytest.raises(ValueError, match="^atomic numbers must be positive$"):
        core.check_batch_species(**batch, species=[1, bad])


def test_routine_b_reports_atoms_in_order():
    positions = np.zeros((5, 3))
    positions[1, 2] = np.nan
    batch = with_changes(numbers=np.array([1, 1, 0, 1, 1], np.int32), positions=positions)
    with pytest.raises(ValueError, match="^positions must be finite$"):
        core.validate_descriptor_batch(**batch)


@pytest.mark.parametrize(
    "species, message",
    [
        ([8, 1, 8], "species must not contain duplicates"),
        ([], "batch contains an atomic number outside calculator species"),
        ([17], "batch contains an atomic number outside calculator species"),
    ],
)
def test_species_check_errors(species, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        core.check_batch_species(*two_structures(), species=species)


def test_species_check_accepts_any_order_and_extra_species():
    core.check_batch_species(*two_structures(), species=[17, 5, 11])


def test_duplicate_species_are_found_before_atoms_are_read():
    batch = with_changes(numbers=np.array([0, 0, 0, 0, 0], np.int32))
    with pytest.raises(ValueError, match="^species must not contain duplicates$"):
        core.check_batch_species(**batch, species=[8, 1, 8])


def test_structure_view_aliases_one_structure():
    batch = two_structures()
    view = core.structure_view(*batch, s=1)
    assert view["range"] == (2, 5)
    assert view["n_structures"] == 1 and view["n_atoms"] == 3
    assert view["offsets"] == [0, 3]
    assert view["numbers"] == list(batch[0][2:5])
    np.testing.assert_array_equal(np.reshape(view["positions"], (3, 3)), np.asarray(batch[1])[2:5])
    np.testing.assert_array_equal(view["cell"], np.asarray(batch[2])[1].reshape(-1))


@pytest.mark.parametrize(
    "offsets, message",
    [([0, 3, 2], "offsets must be monotonic"), ([0, 2, 7], "offsets do not describe the flattened arrays"),
     ([-1, 2, 5], "offsets do not describe the flattened arrays")],
)
def test_offsets_guard_for_unvalidated_entry_points(offsets, message):
    numbers, positions, cells, pbc, _ = two_structures()
    with pytest.raises(ValueError, match=f"^{message}$"):
        core.check_batch_offsets(numbers, positions, cells, pbc, np.array(offsets))
    # everything else is left alone
    core.check_batch_offsets(np.zeros(5, np.int32), np.full((5, 3), np.nan), np.zeros((2, 3, 3)),
                             np.zeros((2, 3), np.int32), np.array([0, 2, 5]))
