"""Periodic neighbour graph: exact entries and order, completeness, strategies, errors."""

from __future__ import annotations


import numpy as np
import pytest

import tandril
from tandril import _core_testing as core
from conftest import cancelled_during, diamond_silicon, make_batch, random_triclinic, rock_salt, rotation_matrix, supercell
from neighbor_reference import brute_force_pairs, graph_entries, ordered_graph


def graph_of(structure, cutoff):
    numbers, positions, cell = structure
    return tandril.build_neighbor_graph(numbers, positions, cell, [1, 1, 1], cutoff)


def test_single_atom_cubic_cell_includes_faces_at_the_cutoff():
    row_offsets, neighbors, shifts, vectors, d2 = graph_of(([1], [[0.0, 0.0, 0.0]], np.eye(3) * 3.0), 3.0)
    assert row_offsets.tolist() == [0, 7]
    assert neighbors.tolist() == [0] * 7
    assert sorted(map(tuple, shifts.tolist())) == sorted(
        [(0, 0, 0), (1, 0, 0), (-1, 0, 0), (0, 1, 0), (0, -1, 0), (0, 0, 1), (0, 0, -1)]
    )
    assert sorted(d2.tolist()) == [0.0] + [9.0] * 6
    np.testing.assert_array_equal(vectors, shifts * 3.0)


def test_result_arrays_have_documented_dtypes_and_shapes():
    numbers, positions, cell = rock_salt()
    out = graph_of((numbers, positions, cell), 3.0)
    assert [a.dtype for a in out] == [np.int64, np.int32, np.int32, np.float64, np.float64]
    p = out[0][-1]
    assert [a.shape for a in out] == [(9,), (p,), (p, 3), (p, 3), (p,)]


@pytest.mark.parametrize(
    "make, cutoff",
    [(rock_salt, 4.1), (diamond_silicon, 3.9), (lambda: random_triclinic(np.random.default_rng(3), 9), 3.3),
     (lambda: random_triclinic(np.random.default_rng(4), 5, volume_per_atom=4.0), 5.0)],
    ids=["rock_salt", "diamond", "triclinic", "small_cell_large_cutoff"],
)
def test_entries_and_order_match_reference_algorithm(make, cutoff):
    numbers, positions, cell = make()
    row_offsets, neighbors, shifts, vectors, d2 = graph_of((numbers, positions, cell), cutoff)
    expected = ordered_graph(np.asarray(positions, dtype=float), np.asarray(cell, dtype=float), cutoff)
    centres = np.repeat(np.arange(len(numbers)), np.diff(row_offsets))
    assert len(expected) == len(neighbors)
    assert centres.tolist() == [e[0] for e in expected]
    assert neighbors.tolist() == [e[1] for e in expected]
    assert [tuple(s) for s in shifts.tolist()] == [e[2] for e in expected]
    np.testing.assert_array_equal(vectors, np.array([e[3] for e in expected]))
    np.testing.assert_array_equal(d2, np.array([e[4] for e in expected]))


def test_vectors_and_distances_are_consistent_with_shifts():
    numbers, positions, cell = random_triclinic(np.random.default_rng(5), 12)
    row_offsets, neighbors, shifts, vectors, d2 = graph_of((numbers, positions, cell), 4.0)
    centres = np.repeat(np.arange(len(numbers)), np.diff(row_offsets))
    np.testing.assert_allclose(vectors, positions[neighbors] + shifts @ cell - positions[centres], atol=1e-12)
    np.testing.assert_allclose(d2, np.sum(vectors**2, axis=1), rtol=1e-14)
    assert np.all(d2 <= 16.0)
    # every pair is listed from both sides with the opposite shift
    pairs = set(graph_entries((row_offsets, neighbors, shifts, vectors, d2)))
    assert all((j, i, tuple(-np.array(s))) in pairs for i, j, s in pairs)


@pytest.mark.parametrize("seed", range(6))
def test_unwrapped_positions_give_the_complete_graph(seed):
    rng = np.random.default_rng(100 + seed)
    numbers, positions, cell = random_triclinic(rng, 7, volume_per_atom=10.0)
    # move atoms several lattice vectors away, as molecular dynamics output does
    moved = positions + rng.integers(-4, 5, size=(len(numbers), 3)) @ cell
    cutoff = rng.uniform(2.5, 6.0)
    graph = graph_of((numbers, moved, cell), cutoff)
    found = graph_entries(graph)
    assert len(found) == len(set(found)), "an entry is listed twice"
    expected, borderline = brute_force_pairs(moved, cell, cutoff)
    assert set(found) ^ expected <= borderline


def test_in_cell_structure_keeps_exact_order_when_widening_is_not_needed():
    numbers, positions, cell = random_triclinic(np.random.default_rng(8), 10)
    wrapped = graph_of((numbers, positions, cell), 3.5)
    expected = ordered_graph(positions, cell, 3.5)
    assert graph_entries(wrapped) == [(e[0], e[1], e[2]) for e in expected]


def test_rotation_and_translation_leave_the_distances_unchanged(rng):
    numbers, positions, cell = random_triclinic(rng, 10)
    rotation = rotation_matrix(rng)
    reference = graph_of((numbers, positions, cell), 3.7)
    moved = graph_of((numbers, positions @ rotation.T + [0.3, -1.2, 2.0], cell @ rotation.T), 3.7)

    def distances_by_pair(graph):
        return {key: round(float(d), 9) for key, d in zip(graph_entries(graph), graph[4])}

    assert distances_by_pair(reference).keys() == distances_by_pair(moved).keys()
    a, b = distances_by_pair(reference), distances_by_pair(moved)
    assert all(abs(a[k] - b[k]) < 1e-8 for k in a)


def test_supercell_rows_have_the_primitive_cell_distances():
    primitive = diamond_silicon()
    big = supercell(primitive, (2, 2, 2))
    small_graph = graph_of(primitive, 4.0)
    big_graph = graph_of(big, 4.0)
    for graph, n in ((small_graph, 8), (big_graph, 64)):
        rows = np.split(graph[4], graph[0][1:-1])
        assert len(rows) == n
    small_rows = [sorted(r.tolist()) for r in np.split(small_graph[4], small_graph[0][1:-1])]
    big_rows = [sorted(r.tolist()) for r in np.split(big_graph[4], big_graph[0][1:-1])]
    for m, row in enumerate(big_rows):
        np.testing.assert_allclose(row, small_rows[m % 8], rtol=1e-12)


@pytest.mark.parametrize("pbc", [[0, 0, 0], [1, 0, 1]])
def test_pbc_values_are_not_read(pbc):
    numbers, positions, cell = rock_salt()
    periodic = tandril.build_neighbor_graph(numbers, positions, cell, [1, 1, 1], 3.0)
    other = tandril.build_neighbor_graph(numbers, positions, cell, pbc, 3.0)
    for a, b in zip(periodic, other):
        np.testing.assert_array_equal(a, b)


def test_empty_structure():
    out = tandril.build_neighbor_graph(np.zeros(0, np.int32), np.zeros((0, 3)), np.eye(3), [1, 1, 1], 2.0)
    assert out[0].tolist() == [0]
    assert all(len(a) == 0 for a in out[1:])


@pytest.mark.parametrize("cutoff", [0.0, -1.0, float("nan"), float("inf")])
def test_bad_cutoff_is_refused_first(cutoff):
    with pytest.raises(ValueError, match="^neighbor cutoff must be finite and positive$"):
        tandril.build_neighbor_graph(np.zeros(0, np.int32), np.zeros((0, 3)), np.zeros((3, 3)), [1, 1, 1], cutoff)


@pytest.mark.parametrize(
    "cell",
    [np.zeros((3, 3)), np.diag([1.0, 1.0, 0.99e-14]), np.diag([1.0, 1.0, np.nan]), np.diag([np.inf, 1.0, 1.0])],
    ids=["zero", "tiny", "nan", "inf"],
)
def test_singular_cell_is_refused_even_without_atoms(cell):
    with pytest.raises(ValueError, match="^cell matrix is singular$"):
        tandril.build_neighbor_graph(np.zeros(0, np.int32), np.zeros((0, 3)), cell, [1, 1, 1], 1.0)


def test_determinant_of_exactly_1e14_passes():
    out = tandril.build_neighbor_graph([1], [[0.0, 0.0, 0.0]], np.diag([1.0, 1.0, 1e-14]), [1, 1, 1], 1e-15)
    assert out[0].tolist() == [0, 1]


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(cell=np.eye(3)[:2]), "invalid single-structure neighbor graph shapes"),
        (dict(cell=np.eye(3).reshape(1, 3, 3)), "invalid single-structure neighbor graph shapes"),
        (dict(pbc=[1, 1]), "invalid single-structure neighbor graph shapes"),
        (dict(pbc=[[1, 1, 1]]), "invalid single-structure neighbor graph shapes"),
        (dict(positions=np.zeros((2, 2))), "invalid single-structure neighbor positions"),
        (dict(positions=np.zeros((3, 3))), "invalid single-structure neighbor positions"),
        (dict(positions=np.zeros(6)), "invalid single-structure neighbor positions"),
    ],
)
def test_build_neighbor_graph_shape_errors(kwargs, message):
    args = dict(numbers=[1, 1], positions=np.zeros((2, 3)), cell=np.eye(3) * 4, pbc=[1, 1, 1], cutoff=1.0)
    args.update(kwargs)
    with pytest.raises(ValueError, match=f"^{message}$"):
        tandril.build_neighbor_graph(**args)


def test_zero_dimensional_numbers_is_an_index_error():
    with pytest.raises(IndexError):
        tandril.build_neighbor_graph(np.int32(1), np.zeros((1, 3)), np.eye(3), [1, 1, 1], 1.0)


def test_strings_are_refused_with_type_error():
    with pytest.raises(TypeError):
        tandril.build_neighbor_graph("11", np.zeros((2, 3)), np.eye(3), [1, 1, 1], 1.0)
    with pytest.raises(TypeError):
        tandril.build_neighbor_graph([1], np.zeros((1, 3)), np.eye(3), [1, 1, 1], "2.0")


@pytest.mark.parametrize(
    "positions, cell, cutoff",
    [([[0.0, 0.0, 0.0]], np.eye(3) * 1e-3, 1e3), ([[0.0, 0.0, 0.0]], np.eye(3) * 1e-4, 1e300),
     ([[0.0, 0.0, 0.0], [1e9, 0.0, 0.0]], np.eye(3) * 3.0, 2.0)],
    ids=["cutoff_against_tiny_cell", "absurd_cutoff", "atom_far_outside"],
)
def test_huge_image_count_raises_memory_error_before_allocating(positions, cell, cutoff):
    with pytest.raises(MemoryError, match="^neighbor search needs more periodic images than fit in memory"):
        tandril.build_neighbor_graph([1] * len(positions), positions, cell, [1, 1, 1], cutoff)


def test_non_finite_positions_do_not_break_the_search():
    # callers without batch validation may pass them; the finite atoms keep their graph
    positions = np.array([[0.0, 0.0, 0.0], [np.nan, 0.0, 0.0], [1.0, 0.0, 0.0], [np.inf, 1.0, 1.0]])
    row_offsets, neighbors, _, _, d2 = tandril.build_neighbor_graph([1] * 4, positions, np.eye(3) * 4.0, [1] * 3, 1.5)
    assert np.all(np.isfinite(d2))
    first = neighbors[row_offsets[0]:row_offsets[1]].tolist()
    assert sorted(first) == [0, 2]


# --- the batch search (several structures, strategies, pruning, cancellation) ---


def batch_graph(batch, cutoff, **kwargs):
    return core.build_batch_neighbors(*batch, cutoff=cutoff, **kwargs)


def test_batch_concatenates_structures_with_global_indices():
    structures = [rock_salt(), (np.zeros(0, int), np.zeros((0, 3)), np.eye(3) * 3.0), diamond_silicon()]
    batch = make_batch(structures)
    row_offsets, neighbors, shifts, vectors, d2 = batch_graph(batch, 3.0)
    assert len(row_offsets) == 17
    alone = [graph_of(s, 3.0) for s in (structures[0], structures[2])]
    np.testing.assert_array_equal(neighbors[: row_offsets[8]], alone[0][1])
    np.testing.assert_array_equal(neighbors[row_offsets[8]:], alone[1][1] + 8)
    np.testing.assert_array_equal(d2, np.concatenate([alone[0][4], alone[1][4]]))
    np.testing.assert_array_equal(row_offsets[8:] - row_offsets[8], alone[1][0])
    # no entry points into another structure
    centres = np.repeat(np.arange(16), np.diff(row_offsets))
    assert np.all((centres < 8) == (neighbors < 8))


def test_structure_rows_are_local_with_batch_indices():
    batch = make_batch([rock_salt(), diamond_silicon()])
    row_offsets, neighbors, *_ = core.build_structure_neighbors(*batch, s=1, cutoff=3.0)
    assert row_offsets[0] == 0 and len(row_offsets) == 9
    assert neighbors.min() >= 8


@pytest.mark.parametrize("prune", [False, True])
def test_strategies_give_identical_graphs(prune):
    rng = np.random.default_rng(11)
    batch = make_batch([random_triclinic(rng, n) for n in (5, 0, 17, 3)])
    single = batch_graph(batch, 4.0, num_threads=1, prune_images=prune)
    for threads in (0, 4, -2):
        other = batch_graph(batch, 4.0, num_threads=threads, prune_images=prune)
        for a, b in zip(single, other):
            np.testing.assert_array_equal(a, b)


def test_shifts_are_left_empty_on_request():
    batch = make_batch([rock_salt()])
    with_shifts = batch_graph(batch, 3.0)
    without = batch_graph(batch, 3.0, store_shifts=False)
    np.testing.assert_array_equal(with_shifts[4], without[4])
    assert not without[2].any()


def test_pruned_images_have_negated_shifts_and_the_same_pairs(rng):
    numbers, positions, cell = random_triclinic(rng, 9)
    batch = make_batch([(numbers, positions, cell)])
    plain = batch_graph(batch, 3.5)
    pruned = batch_graph(batch, 3.5, prune_images=True)
    assert sorted(graph_entries(plain)) == sorted(graph_entries(pruned))
    # the vectors agree with the negated-shift images
    centres = np.repeat(np.arange(len(numbers)), np.diff(pruned[0]))
    np.testing.assert_allclose(pruned[3], positions[pruned[1]] + pruned[2] @ cell - positions[centres], atol=1e-12)


def test_batch_without_structures_returns_zero_rows():
    batch = (np.zeros(3, np.int32), np.zeros((3, 3)), np.zeros((0, 3, 3)), np.zeros((0, 3), np.int32), np.zeros(1, np.int64))
    row_offsets, neighbors, *_ = batch_graph(batch, 1.0)
    assert row_offsets.tolist() == [0, 0, 0, 0] and len(neighbors) == 0


def test_batch_with_broken_offsets_is_refused_not_read():
    numbers, positions, cells, pbc, _ = make_batch([rock_salt(), rock_salt()])
    for offsets, message in (([0, 17, 16], "offsets must be monotonic"), ([0, 8, 17], "offsets do not describe"),
                             ([0, -1, 16], "offsets must be monotonic"), ([1, 8, 16], "offsets do not describe")):
        with pytest.raises(ValueError, match=message):
            batch_graph((numbers, positions, cells, pbc, np.array(offsets)), 3.0)


@pytest.mark.parametrize("num_threads", [0, 1])
def test_cancelled_control_stops_the_search(num_threads):
    control = tandril.ComputeControl()
    control.cancel()
    for batch in (make_batch([rock_salt()]), make_batch([rock_salt(), diamond_silicon()])):
        with pytest.raises(tandril.CancelledError, match="^descriptor computation cancelled$"):
            batch_graph(batch, 3.0, num_threads=num_threads, control=control)
    # the search never starts or advances the counters
    assert control.completed() == 0 and control.total() == 0


def test_cancellation_from_another_thread_during_a_large_search():
    structure = supercell(diamond_silicon(), (8, 8, 8))
    batch = make_batch([structure] * 4)

    def repeatedly(control):
        for _ in range(100):  # long enough to be interrupted
            batch_graph(batch, 6.0, num_threads=1, control=control)

    cancelled_during(repeatedly)
