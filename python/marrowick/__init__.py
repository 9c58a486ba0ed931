"""marrowick: exact single-precision IIR filtering of NumPy arrays."""

from ._core import filter

__all__ = ["filter"]
