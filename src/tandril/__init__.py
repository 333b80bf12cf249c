"""Tandril: atomistic structure descriptors for periodic crystals.

Every name of the compiled extension (``tandril._descriptor_cpp``) is
re-exported here, beside a few Python conveniences such as :func:`batch`.
"""

from __future__ import annotations

from . import _descriptor_cpp
from ._batch import Batch, batch
from .soap import soap, soap_gto_basis, soap_options, soap_polynomial_basis

__version__ = "0.1.0"


def _export_extension() -> list[str]:
    names = [name for name in vars(_descriptor_cpp) if not name.startswith("_")]
    globals().update({name: getattr(_descriptor_cpp, name) for name in names})
    return names


__all__ = [*_export_extension(), "Batch", "batch", "soap", "soap_gto_basis", "soap_options", "soap_polynomial_basis"]
