"""Sensor response: per-channel linear fit of a flat-field exposure series,
and the light-value ladder of an exposure base."""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Any, Optional, Sequence

import numpy as np

from . import _buffers
from ._native import core, declares, fail

__all__ = ["SensorResponse", "LightValues", "sensor_response", "light_values", "LV_LEVELS"]

#: Levels of the light-value ladder: 45, 60, ..., 255.
LV_LEVELS = np.arange(45, 256, 15)


class _Input(ctypes.Structure):
    _fields_ = [("bit_mode", ctypes.c_uint8), ("count", ctypes.c_int32), ("reserved", ctypes.c_uint32),
                ("exposure", ctypes.POINTER(ctypes.c_int32)), ("response", ctypes.POINTER(ctypes.c_double) * 4),
                ("black", ctypes.c_uint32 * 4)]


class _Lv(ctypes.Structure):
    _fields_ = [("scale", ctypes.c_uint8), ("base_log2", ctypes.c_double), ("lv_45", ctypes.c_double),
                ("lv", ctypes.c_double * 14), ("level_45", ctypes.c_uint16), ("level", ctypes.c_uint16 * 14)]


@declares
def _declare(dll: ctypes.CDLL) -> None:
    c = ctypes
    d = c.POINTER(c.c_double)
    dll.SC_SlopeOffset_Calibration.restype = c.c_int32
    dll.SC_SlopeOffset_Calibration.argtypes = [c.c_int32, c.POINTER(_Input), d, c.POINTER(c.c_uint32), d, d, d, d]
    dll.SC_LV_Calculation.restype = c.c_int32
    dll.SC_LV_Calculation.argtypes = [c.POINTER(_Lv)]


@dataclass(frozen=True)
class SensorResponse:
    """Result of ``sensor_response``, per channel 0..3: ``slopes`` and
    ``intercepts`` of the fitted lines, ``gains`` (largest slope / slope),
    ``offsets`` (uint32, black minus intercept, x 4 for 8-bit data);
    ``ratio`` = saturation / ``linear_limit``, the response level where
    linearity ends."""

    slopes: np.ndarray
    intercepts: np.ndarray
    gains: np.ndarray
    offsets: np.ndarray
    ratio: float
    linear_limit: float


def sensor_response(exposure: Any, response: Any, *, bits: int = 8,
                    black: Sequence[int] = (0, 0, 0, 0)) -> SensorResponse:
    """Fit slope, offset and linear limit of a flat-field series.

    ``exposure``: (n,) int32 exposures, increasing, n >= 5. ``response``:
    (n, 4) float64 mean response of channels 0..3 per exposure. ``bits``: 8
    (saturation 255) or 10 (saturation 1023). ``black``: four black levels.
    Writes an empty "sensorcurve.csv" into the inspection folder
    (``MORVIK_INSPECT_DIR``).
    """
    e = _buffers.array(exposure, "exposure", (None,), np.int32)
    n = e.shape[0]
    if n < 5:
        raise ValueError(f"exposure: {n} points, at least 5 needed")
    r = _buffers.array(response, "response", (n, 4), np.float64)
    if bits not in (8, 10):
        raise ValueError(f"bits: expected 8 or 10, got {bits}")
    b = _buffers.array(black, "black", (4,), np.uint32)
    channels = [np.ascontiguousarray(r[:, c]) for c in range(4)]
    inp = _Input(bit_mode=1 if bits == 10 else 0, count=n, reserved=0)
    inp.exposure = _buffers.ptr(e, ctypes.c_int32)
    for c in range(4):
        inp.response[c] = _buffers.ptr(channels[c], ctypes.c_double)
        inp.black[c] = int(b[c])
    gains, slopes, intercepts = (np.zeros(4) for _ in range(3))
    offsets = np.zeros(4, dtype=np.uint32)
    ratio, limit = ctypes.c_double(), ctypes.c_double()
    d = ctypes.c_double
    status = core().SC_SlopeOffset_Calibration(0, ctypes.byref(inp), _buffers.ptr(gains, d),
                                               _buffers.ptr(offsets, ctypes.c_uint32), _buffers.ptr(slopes, d),
                                               _buffers.ptr(intercepts, d), ctypes.byref(ratio), ctypes.byref(limit))
    if status != 0:
        raise fail("SC_SlopeOffset_Calibration", status, "invalid argument")
    return SensorResponse(slopes=slopes, intercepts=intercepts, gains=gains, offsets=offsets, ratio=ratio.value,
                          linear_limit=limit.value)


@dataclass(frozen=True)
class LightValues:
    """Result of ``light_values``: ``light_values`` (15,) float64 of the
    levels ``LV_LEVELS`` (45, 60, ..., 255) and ``levels`` (15,) uint16 the
    levels they stand for."""

    light_values: np.ndarray
    levels: np.ndarray


def light_values(scale: int, base_log2: float) -> LightValues:
    """Light values of the levels 45, 60, ..., 255 for an exposure base.

    ``scale``: divisor of the levels, 1..255; ``base_log2``: log2 of the
    exposure base.
    """
    lv = _Lv(scale=_buffers.in_range(scale, "scale", 1, 255), base_log2=float(base_log2))
    status = core().SC_LV_Calculation(ctypes.byref(lv))
    if status != 0:
        raise fail("SC_LV_Calculation", status, "scale is 0")
    return LightValues(light_values=np.array([lv.lv_45, *lv.lv]), levels=np.array([lv.level_45, *lv.level],
                                                                                     dtype=np.uint16))
