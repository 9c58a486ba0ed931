"""Types of marrowick's extension module."""

from typing import Optional, Sequence, SupportsIndex, Tuple

import numpy as np
from numpy.typing import ArrayLike, DTypeLike, NDArray

_Single = NDArray[np.float32] | NDArray[np.complex64]
# A result of either precision (the signal's dtype decides).
_Result = NDArray[np.float32] | NDArray[np.complex64] | NDArray[np.float64] | NDArray[np.complex128]


_Workers = Optional[SupportsIndex]


def _filter(b: ArrayLike, a: ArrayLike, x: ArrayLike, zi: Optional[ArrayLike],
            axis: SupportsIndex, workers: _Workers) -> Tuple[_Result, _Result]: ...


def _lfilter(b: ArrayLike, a: ArrayLike, x: ArrayLike, zi: Optional[ArrayLike],
             axis: SupportsIndex, workers: _Workers = 1) -> Tuple[_Result, _Result]: ...


def _sosfilt(sos: ArrayLike, x: ArrayLike, zi: Optional[ArrayLike],
             axis: SupportsIndex, workers: _Workers) -> Tuple[_Result, _Result]: ...


def _refusal(name: str, context: str) -> str: ...
def _steady_states(coefficients: Tuple[np.ndarray, np.ndarray] | np.ndarray, double: bool = False) -> np.ndarray: ...


def _zero_phase(coefficients: Tuple[np.ndarray, np.ndarray] | np.ndarray, x: ArrayLike,
                axis: int, padtype: Optional[str], edge: int, workers: int) -> _Result: ...


def _zero_phase_start(coefficients: Tuple[np.ndarray, np.ndarray] | np.ndarray, dtype: DTypeLike,
                      padtype: Optional[str], edge: int, first: np.ndarray) -> _Result: ...


def _zero_phase_turn(coefficients: Tuple[np.ndarray, np.ndarray] | np.ndarray, dtype: DTypeLike,
                     padtype: Optional[str], edge: int, last: np.ndarray,
                     states: Optional[np.ndarray]) -> _Result: ...


def _coefficients(b: ArrayLike, a: ArrayLike, scipy: bool = False,
                  double: bool = False) -> Tuple[np.ndarray, np.ndarray, int]: ...


def _check_signal(dtype: DTypeLike) -> np.dtype: ...


def _check_axis(axis: SupportsIndex, ndim: int) -> int: ...


def _argument_text(value: object) -> str: ...


def _check_workers(workers: _Workers) -> int: ...


def _check_dimensions(ndim: int, lead: int) -> None: ...


def _check_numbers(values: ArrayLike, name: str) -> np.ndarray: ...


def _check_sections(sos: ArrayLike, single: bool = True) -> np.ndarray: ...


def _check_state(zi_shape: Sequence[int], x_shape: Sequence[int], axis: int, L: int, scipy: bool = False,
                 sections: int = -1) -> Tuple[int, ...]: ...


def _set_piece_limit(limit: int) -> int: ...
