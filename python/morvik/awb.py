"""White balance: calibration from grey statistics, light-source windows,
and the AWB statistics filter on a raw frame."""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np

from . import _buffers
from ._native import core, declares, fail, library_lock

__all__ = ["AwbCalibration", "AwbFilterResult", "awb_calibration", "awb_windows", "awb_small_windows",
           "awb_apply_windows", "awb_filter"]


class _Grey(ctypes.Structure):
    _fields_ = [("key", ctypes.c_uint16), ("channel1", ctypes.c_uint16), ("channel2", ctypes.c_uint16),
                ("channel3", ctypes.c_uint16)]


class _Calibration(ctypes.Structure):
    _fields_ = [(name, ctypes.c_uint8) for name in
                ("gain1", "gain2", "gain3", "coef_a", "coef_b", "x_upper", "x_lower", "y_upper", "y_lower")]


class _FilterParam(ctypes.Structure):
    _fields_ = [(name, ctypes.c_uint8) for name in
                ("nFirstPixel", "SUPSEL", "U_GAIN", "V_GAIN", "Y_LIMIT", "S_RB_P", "S_RB_N", "S_MG_P", "S_MG_N")] + [
        ("width", ctypes.c_uint32), ("height", ctypes.c_uint32), ("raw", ctypes.POINTER(ctypes.c_uint8))]


@declares
def _declare(dll: ctypes.CDLL) -> None:
    c = ctypes
    dll.AWB_Calibration.restype = c.c_int32
    dll.AWB_Calibration.argtypes = [c.c_int32, c.c_int32, c.c_int32, c.c_int32, c.POINTER(_Grey),
                                    c.POINTER(_Calibration)]
    dll.AWB_WIN_AUTO_CAL.restype = None
    dll.AWB_WIN_AUTO_CAL.argtypes = [c.POINTER(c.c_double), c.POINTER(c.c_double)]
    dll.AWB_Small_win_Calibration.restype = c.c_int32
    dll.AWB_Small_win_Calibration.argtypes = [c.POINTER(c.c_int32), c.POINTER(c.c_int32)]
    dll.AWB_Update_11_Window_Before_Apply.restype = c.c_int32
    dll.AWB_Update_11_Window_Before_Apply.argtypes = [c.POINTER(c.c_int32)]
    dll.AWB_Filter.restype = c.c_int32
    dll.AWB_Filter.argtypes = [c.POINTER(_FilterParam), c.POINTER(c.c_uint8), c.POINTER(c.c_uint8)]


@dataclass(frozen=True)
class AwbCalibration:
    """Result of ``awb_calibration`` ("Exhausting Search").

    ``gains``: channel gains 1..3 in 1/64 (63 for the smallest median);
    ``coef_a``, ``coef_b``: projection coefficients (15..31); the limit bytes
    of the grey region: ``x_upper`` = trunc(1.2 Xmax' + 1), ``x_lower`` =
    trunc(2 (1.2 (-Xmin') + 1)), ``y_upper`` = trunc(1.2 Ymax + 1),
    ``y_lower`` = trunc(-Ymin); ``upper_key``/``lower_key``: the key limits
    used."""

    gains: np.ndarray
    coef_a: int
    coef_b: int
    x_upper: int
    x_lower: int
    y_upper: int
    y_lower: int
    upper_key: int
    lower_key: int


def awb_calibration(entries: Any, upper_key: Optional[int] = None, lower_key: Optional[int] = None) -> AwbCalibration:
    """Calibrate white balance from grey statistics.

    ``entries``: (n, 4) array of unsigned 16-bit values, one row per light
    source: key (e.g. colour temperature), channel 1, 2 and 3 averages;
    2 <= n <= 20. ``upper_key``/``lower_key`` (0..65535) extrapolate the
    first axis of the grey region beyond the measured keys; by default they
    are the largest and smallest key (nothing extrapolated).

    Raises ``MorvikError`` with status 1 when no projection spreads the grey
    points to both sides of both axes (``partial`` then holds the result
    with its valid gains), status -1 when a channel's median is 0.
    """
    e = _buffers.array(entries, "entries", (None, 4), np.uint16)
    n = e.shape[0]
    if not 2 <= n <= 20:
        raise ValueError(f"entries: {n} rows, expected 2 to 20")
    upper = int(e[:, 0].max()) if upper_key is None else _buffers.in_range(upper_key, "upper_key", 0, 65535)
    lower = int(e[:, 0].min()) if lower_key is None else _buffers.in_range(lower_key, "lower_key", 0, 65535)
    grey = _buffers.struct_array(_Grey, e, ("key", "channel1", "channel2", "channel3"))
    r = _Calibration()
    status = core().AWB_Calibration(0, n, upper, lower, grey, ctypes.byref(r))
    result = AwbCalibration(gains=np.array([r.gain1, r.gain2, r.gain3], dtype=np.uint8), coef_a=r.coef_a,
                            coef_b=r.coef_b, x_upper=r.x_upper, x_lower=r.x_lower, y_upper=r.y_upper,
                            y_lower=r.y_lower, upper_key=upper, lower_key=lower)
    if status == 1:
        raise fail("AWB_Calibration", status, "no projection spreads the grey points to both sides of both axes; "
                   "only the gains are valid", partial=result)
    if status != 0:
        raise fail("AWB_Calibration", status, "a channel's median over the entries is 0")
    return result


def awb_windows(lights: Any) -> np.ndarray:
    """Ten light-source windows from five light sources.

    ``lights``: (5, 4) array of (center_u, center_v, spread_u, spread_v),
    in increasing order along u, lights 2 and 3 side by side along v.
    Returns a (10, 4) float64 array of (upper_v, lower_v, lower_u, upper_u).
    """
    src = _buffers.array(lights, "lights", (5, 4), np.float64)
    out = np.zeros((10, 4), dtype=np.float64)
    core().AWB_WIN_AUTO_CAL(_buffers.ptr(src, ctypes.c_double), _buffers.ptr(out, ctypes.c_double))
    return out


def awb_small_windows(large: Any) -> np.ndarray:
    """Six small windows cut out of four large ones.

    ``large``: (4, 4) int32 array of (x0, x1, y0, y1). Returns (6, 4) int32.
    """
    src = _buffers.array(large, "large", (4, 4), np.int32)
    out = np.zeros((6, 4), dtype=np.int32)
    status = core().AWB_Small_win_Calibration(_buffers.ptr(src, ctypes.c_int32), _buffers.ptr(out, ctypes.c_int32))
    if status != 0:
        raise fail("AWB_Small_win_Calibration", status, "null buffer")
    return out


def awb_apply_windows(windows: Any) -> None:
    """Record the eleven windows about to be applied in the library's
    applied-window table. ``windows``: (11, 4) int32 array of (x0, x1, y0, y1)."""
    src = _buffers.array(windows, "windows", (11, 4), np.int32)
    with library_lock:
        status = core().AWB_Update_11_Window_Before_Apply(_buffers.ptr(src, ctypes.c_int32))
    if status != 0:
        raise fail("AWB_Update_11_Window_Before_Apply", status, "null buffer")


@dataclass(frozen=True)
class AwbFilterResult:
    """Result of ``awb_filter``: ``mask`` (h-1, w-1) bool, True where the
    statistics block accepts the pixel as grey; ``rgb`` (h-1, w-1, 3) uint8,
    the 2 x 2 demosaiced image."""

    mask: np.ndarray
    rgb: np.ndarray

    @property
    def accepted(self) -> int:
        """Number of pixels accepted as grey."""
        return int(self.mask.sum())


def awb_filter(raw: Any, first_pixel: Optional[int] = None, supsel: int = 7, u_gain: int = 32, v_gain: int = 32,
               y_limit: int = 4, s_rb_p: int = 16, s_rb_n: int = 16, s_mg_p: int = 16, s_mg_n: int = 16, *,
               bits: Optional[int] = None) -> AwbFilterResult:
    """Mark the pixels of a raw frame that the AWB statistics block accepts.

    ``raw``: 2-D ``uint8`` Bayer plane of at least 2 x 2 (``uint16`` with
    ``bits``, or a ``RawImage``). ``first_pixel``: colour of the first
    sample, 0 R, 1 Gr, 2 Gb, 3 B; by default a ``RawImage``'s Bayer order,
    else 0. ``supsel``: saturation cut at 8 * supsel + 192 (8 or
    more: none). ``u_gain``/``v_gain``: colour-difference gains in 1/32;
    ``y_limit``: luminance floor in units of 4; ``s_*``: axis limits in
    1/128 of luminance. Register fields are 0..255. Logs the request.
    """
    from .io import RawImage

    if first_pixel is None:
        first_pixel = raw.bayer_order if isinstance(raw, RawImage) else 0
    plane = _buffers.plane8(raw, "raw", bits=bits, min_size=(2, 2))
    p = _FilterParam()
    p.nFirstPixel = _buffers.in_range(first_pixel, "first_pixel", 0, 3)
    for name, value in (("SUPSEL", supsel), ("U_GAIN", u_gain), ("V_GAIN", v_gain), ("Y_LIMIT", y_limit),
                        ("S_RB_P", s_rb_p), ("S_RB_N", s_rb_n), ("S_MG_P", s_mg_p), ("S_MG_N", s_mg_n)):
        setattr(p, name, _buffers.in_range(value, name.lower(), 0, 255))
    h, w = plane.shape
    p.width, p.height = w, h
    p.raw = _buffers.ptr(plane, ctypes.c_uint8)
    mask = np.zeros((h - 1, w - 1), dtype=np.uint8)
    rgb = np.zeros((h - 1, w - 1, 3), dtype=np.uint8)
    status = core().AWB_Filter(ctypes.byref(p), _buffers.ptr(mask, ctypes.c_uint8), _buffers.ptr(rgb, ctypes.c_uint8))
    if status != 0:
        raise fail("AWB_Filter", status, "null buffer or frame too large")
    return AwbFilterResult(mask=mask == 255, rgb=rgb)
