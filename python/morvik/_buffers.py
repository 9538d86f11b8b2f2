"""Checks of NumPy buffers before they reach a C call: a wrong shape, dtype
or layout raises ValueError here instead of reading beyond a buffer."""

from __future__ import annotations

import ctypes
from typing import Any, Optional, Sequence, Tuple, Union

import numpy as np

Shape = Tuple[Optional[int], ...]


def array(value: Any, name: str, shape: Shape, dtype: Union[type, np.dtype], *, convert: bool = True) -> np.ndarray:
    """``value`` as a C-contiguous array of ``dtype`` and ``shape``.

    ``None`` in ``shape`` accepts any length on that axis. With ``convert``
    any array-like whose values fit ``dtype`` exactly is converted (lists,
    other integer or float types); otherwise the dtype must match.
    """
    dtype = np.dtype(dtype)
    if convert and not isinstance(value, np.ndarray):
        value = np.asarray(value)
    if not isinstance(value, np.ndarray):
        raise ValueError(f"{name}: expected a NumPy array, got {type(value).__name__}")
    if value.ndim != len(shape) or any(want is not None and have != want for have, want in zip(value.shape, shape)):
        want_text = "(" + ", ".join("n" if s is None else str(s) for s in shape) + ("," if len(shape) == 1 else "") + ")"
        raise ValueError(f"{name}: expected shape {want_text}, got {value.shape}")
    if value.dtype != dtype:
        if not convert or value.dtype.kind not in "biuf":
            raise ValueError(f"{name}: expected dtype {dtype}, got {value.dtype}")
        converted = value.astype(dtype)
        if dtype.kind in "iu" and not np.array_equal(converted, value):
            raise ValueError(f"{name}: values do not fit {dtype}")
        value = converted
    return np.ascontiguousarray(value)


def plane8(value: Any, name: str = "raw", *, bits: Optional[int] = None, min_size: Tuple[int, int] = (1, 1)) -> np.ndarray:
    """A raw Bayer plane as a 2-D C-contiguous ``uint8`` array.

    ``uint8`` planes are used as they are. ``uint16`` planes need ``bits``
    (9..16): each sample is shifted right by ``bits - 8`` and clamped to 255,
    as the CLI reduces bare raw files; a ``RawImage`` from ``read_raw`` gives
    its black-subtracted 8-bit plane (``RawImage.plane8``). Other dtypes, a
    non-2-D shape, or a plane smaller than ``min_size`` (height, width)
    raise ValueError. A non-contiguous view is copied.
    """
    from .io import RawImage  # the raw reader is optional for array input

    if isinstance(value, RawImage):
        value = value.plane8()
    if not isinstance(value, np.ndarray):
        raise ValueError(f"{name}: expected a 2-D uint8 or uint16 NumPy array, got {type(value).__name__}")
    if value.ndim != 2:
        raise ValueError(f"{name}: expected a 2-D plane (height, width), got shape {value.shape}")
    if value.dtype == np.uint16:
        if bits is None or not 9 <= bits <= 16:
            raise ValueError(f"{name}: a uint16 plane needs bits= between 9 and 16 (got {bits})")
        value = np.minimum(value >> (bits - 8), 255).astype(np.uint8)
    elif value.dtype != np.uint8:
        raise ValueError(f"{name}: expected dtype uint8 or uint16, got {value.dtype}")
    elif bits not in (None, 8):
        raise ValueError(f"{name}: a uint8 plane has 8 bits, not {bits}")
    h, w = value.shape
    if h < min_size[0] or w < min_size[1]:
        raise ValueError(f"{name}: plane of {w} x {h} samples, at least {min_size[1]} x {min_size[0]} needed")
    return np.ascontiguousarray(value)


def ptr(a: np.ndarray, ctype: Any) -> Any:
    """A ctypes pointer of ``ctype`` to the array's data."""
    return a.ctypes.data_as(ctypes.POINTER(ctype))


def struct_array(ctype: Any, rows: np.ndarray, fields: Sequence[str]) -> Any:
    """A ctypes array of structures filled row by row from ``rows``."""
    out = (ctype * len(rows))()
    for item, row in zip(out, rows):
        for field, v in zip(fields, row):
            setattr(item, field, v.item() if hasattr(v, "item") else v)
    return out


def u32(value: int, name: str) -> int:
    """An unsigned 32-bit argument, checked."""
    v = int(value)
    if not 0 <= v <= 0xFFFFFFFF:
        raise ValueError(f"{name}: {value} is outside 0..4294967295")
    return v


def in_range(value: int, name: str, lo: int, hi: int) -> int:
    v = int(value)
    if not lo <= v <= hi:
        raise ValueError(f"{name}: {value} is outside {lo}..{hi}")
    return v
