"""The extension module: contents, version guard, control object, exception mapping, argument conversion."""

from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import tandril
from tandril import _descriptor_cpp
from tandril import _core_testing as core
from conftest import make_batch, rock_salt

# The module's contents in registration order; families not built yet are absent.
REGISTRATION_ORDER = [
    "CancelledError", "ComputeControl", "build_neighbor_graph", "compute_coulomb_matrix", "compute_matrix",
    "compute_mbtr", "compute_ead", "compute_pyxtal", "compute_featomic_atomic_composition",
    "compute_featomic_sorted_distances", "compute_featomic_neighbor_list", "compute_featomic_spherical",
    "compute_featomic_spherical_by_pair", "SoapCalculator", "SoapTurboCalculator", "AcsfCalculator",
    "C00PSMlffCalculator", "MtpCalculator", "NepCalculator", "SoapOptions", "C00PSMlffOptions",
    "SoapTurboOptions", "AcsfOptions", "MtpOptions", "NepOptions",
]


def test_docstring_and_registration_order():
    assert _descriptor_cpp.__doc__ == "Tandril periodic SOAP and ACSF CPU descriptors"
    public = [name for name in vars(_descriptor_cpp) if not name.startswith("_")]
    assert set(public) <= set(REGISTRATION_ORDER), set(public) - set(REGISTRATION_ORDER)
    assert public == [name for name in REGISTRATION_ORDER if name in public]
    assert public[:3] == ["CancelledError", "ComputeControl", "build_neighbor_graph"]


def test_package_reexports_the_extension():
    for name in vars(_descriptor_cpp):
        if not name.startswith("_"):
            assert getattr(tandril, name) is getattr(_descriptor_cpp, name)
            assert name in tandril.__all__


def test_cancelled_error_class():
    assert issubclass(tandril.CancelledError, Exception)
    assert not issubclass(tandril.CancelledError, RuntimeError)
    assert tandril.CancelledError.__module__ + "." + tandril.CancelledError.__name__ == (
        _descriptor_cpp.__name__ + ".CancelledError"
    )


def test_compute_control_methods():
    control = tandril.ComputeControl()
    assert (control.cancelled(), control.completed(), control.total()) == (False, 0, 0)
    control.cancel()
    assert control.cancelled() is True
    control.reset(-3)
    assert (control.cancelled(), control.completed(), control.total()) == (False, 0, -3)
    control.reset(2**63 - 1)
    assert control.total() == 2**63 - 1
    with pytest.raises(TypeError):
        control.reset(2**63)
    with pytest.raises(TypeError):
        control.reset(total=3)  # positional only
    with pytest.raises(TypeError):
        control.reset(1.5)


def test_functions_carry_no_docstring_besides_the_signature():
    doc = tandril.build_neighbor_graph.__doc__
    assert doc.startswith("build_neighbor_graph(") and "\n" not in doc.strip()


def test_import_under_another_python_version_is_refused(tmp_path: Path):
    other = shutil.which("python3.11") or shutil.which("python3.13")
    if other is None or subprocess.run([other, "-c", "pass"]).returncode != 0:
        pytest.skip("no Python interpreter other than 3.12 is available")
    library = Path(_descriptor_cpp.__file__)
    shutil.copy(library, tmp_path / "_descriptor_cpp.so")
    result = subprocess.run([other, "-c", "import _descriptor_cpp"], cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode != 0
    assert "ImportError: Python version mismatch: module was compiled for Python 3.12, but the interpreter " \
           "version is incompatible: " in result.stderr


def test_native_errors_map_to_python_exceptions():
    # invalid_argument -> ValueError, out_of_range -> IndexError, bad_alloc -> MemoryError
    with pytest.raises(ValueError, match="^cell matrix is singular$"):
        tandril.build_neighbor_graph([1], np.zeros((1, 3)), np.zeros((3, 3)), [1, 1, 1], 1.0)
    with pytest.raises(IndexError):
        tandril.build_neighbor_graph(np.int32(3), np.zeros((1, 3)), np.eye(3), [1, 1, 1], 1.0)
    with pytest.raises(MemoryError):
        tandril.build_neighbor_graph([1], np.zeros((1, 3)), np.eye(3) * 1e-3, [1, 1, 1], 1e3)
    with pytest.raises(ValueError, match="^radial overlap matrix is singular, lower max_radial$"):
        core.radial_orthonormalisation(np.ones((2, 2)))


class TestArgumentConversion:
    def reference(self):
        numbers, positions, cell = rock_salt()
        return tandril.build_neighbor_graph(numbers, positions, cell, [1, 1, 1], 3.0)

    def assert_same(self, graph):
        for a, b in zip(graph, self.reference()):
            np.testing.assert_array_equal(a, b)

    def test_float_numbers_and_bool_pbc_are_cast(self):
        numbers, positions, cell = rock_salt()
        self.assert_same(tandril.build_neighbor_graph(numbers + 0.7, positions, cell, np.array([True] * 3), 3.0))

    def test_fortran_order_and_non_contiguous_inputs(self):
        numbers, positions, cell = rock_salt()
        strided = np.zeros((8, 6))
        strided[:, ::2] = positions
        self.assert_same(tandril.build_neighbor_graph(numbers, np.asfortranarray(positions), cell.T.copy().T, [1] * 3, 3.0))
        self.assert_same(tandril.build_neighbor_graph(numbers, strided[:, ::2], np.asfortranarray(cell), [1] * 3, 3.0))

    def test_nested_lists(self):
        numbers, positions, cell = rock_salt()
        self.assert_same(
            tandril.build_neighbor_graph(numbers.tolist(), positions.tolist(), cell.tolist(), [1, 1, 1], 3)
        )

    @pytest.mark.parametrize("bad", ["0 8", b"08", np.array(["0", "8"]), ["0", "8"], None, object()])
    def test_text_and_non_numeric_offsets_are_type_errors(self, bad):
        numbers, positions, cells, pbc, _ = make_batch([rock_salt()])
        with pytest.raises(TypeError):
            core.validate_descriptor_batch(numbers, positions, cells, pbc, bad)

    def test_batch_arrays_are_converted_before_validation(self):
        numbers, positions, cells, pbc, offsets = make_batch([rock_salt()])
        core.validate_descriptor_batch(numbers.astype(float) + 0.2, positions.tolist(), cells.astype(np.float32),
                                       pbc.astype(bool), offsets.astype(np.int32))


def _per_atom_entry_points():
    acsf = tandril.AcsfOptions()
    acsf.species = [14]
    c00ps = tandril.C00PSMlffOptions()
    c00ps.species = [14]
    soap = tandril.soap(species=[14], r_cut=4.0, n_max=3, l_max=2, sigma=0.5)
    return {
        "ead": lambda b: tandril.compute_ead(*b, eta=[1.0], rs=[0.0]),
        "mbtr_local": lambda b: tandril.compute_mbtr(*b, species=[14], local=True),
        "acsf": lambda b: tandril.AcsfCalculator(acsf).compute(*b),
        "c00ps_mlff": lambda b: tandril.C00PSMlffCalculator(c00ps).compute(*b),
        "soap": lambda b: soap.compute(*b, inner_average=False),
    }


@pytest.mark.parametrize("name", list(_per_atom_entry_points()))
def test_atoms_outside_every_structure_get_zero_rows(name):
    # a batch without structures can still carry atoms; their rows are never stale memory
    numbers = np.full(300, 14, np.int32)
    batch = (numbers, np.ones((300, 3)), np.zeros((0, 3, 3)), np.zeros((0, 3), np.int32), np.zeros(1, np.int64))
    rows = _per_atom_entry_points()[name](batch)
    assert rows.shape[0] == 300 and not rows.any()
