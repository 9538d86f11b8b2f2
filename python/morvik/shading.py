"""Lens shading: optical centre, gains and shading curves of a flat field."""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Any, List, Optional, Tuple, Union

import numpy as np

from . import _buffers
from ._native import MorvikError, capture_log, core, declares

__all__ = ["LensShading", "lens_shading", "SHADING_RINGS", "CHIP_KT3"]

#: Rings (radius units of the shading curve) of the 11 gamma nodes.
SHADING_RINGS = np.array([32, 64, 96, 128, 144, 160, 176, 192, 208, 224, 240])

#: Chip value selecting the step-limited shading gamma.
CHIP_KT3 = 0x4B33 << 16


class _Params(ctypes.Structure):
    _fields_ = [("target_scale", ctypes.c_float), ("below_max", ctypes.c_float), ("overshoot", ctypes.c_float),
                ("shading_min", ctypes.c_float), ("y_only", ctypes.c_uint8)]


class _Result(ctypes.Structure):
    _fields_ = [(name, ctypes.c_uint32) for name in
                ("center_x", "center_y", "Kr", "Kg", "Kb", "K", "Radius_factor", "Curve_sel")] + [
        ("gamma_R", ctypes.c_uint32 * 11), ("gamma_G", ctypes.c_uint32 * 11), ("gamma_B", ctypes.c_uint32 * 11)]


@declares
def _declare(dll: ctypes.CDLL) -> None:
    c = ctypes
    dll.LSC_Calculate.restype = c.c_int32
    dll.LSC_Calculate.argtypes = [c.c_uint32, c.c_uint32, c.POINTER(c.c_uint8), c.c_uint32, c.c_uint32,
                                  c.POINTER(_Params), c.POINTER(_Result)]


@dataclass(frozen=True)
class LensShading:
    """Result of ``lens_shading``.

    ``center_x``/``center_y``: optical centre in half pixels (see
    ``center``); ``gain_r``/``gain_g``/``gain_b``: gain mantissas 1..255 and
    ``gain_exponent`` 0..3 (gain = mantissa << exponent); ``radius_factor``
    and ``curve_select`` 0..3; ``gamma``: (3, 11) shading-gamma nodes for R,
    G, B at ``SHADING_RINGS``; ``log``: the calculation's debug-log lines."""

    center_x: int
    center_y: int
    gain_r: int
    gain_g: int
    gain_b: int
    gain_exponent: int
    radius_factor: int
    curve_select: int
    gamma: np.ndarray
    log: List[str]

    @property
    def center(self) -> Tuple[float, float]:
        """Optical centre (x, y) in pixels."""
        return (self.center_x / 2.0, self.center_y / 2.0)

    @property
    def gains(self) -> np.ndarray:
        """R, G, B gain factors, mantissa << exponent."""
        return np.array([self.gain_r, self.gain_g, self.gain_b]) << self.gain_exponent


def _failure_reason(log: List[str]) -> str:
    # The reason is the line written before the working memory is released.
    for i in range(len(log) - 1, 0, -1):
        if log[i] == "Shading: free memory\n":
            return log[i - 1].rstrip("\n")
    return "lens-shading calculation failed"


def lens_shading(raw: Any, bayer_order: Optional[int] = None, *, chip: Union[int, str] = 0,
                 target_scale: float = 1.0, below_max: float = 0.05, overshoot: float = 0.1,
                 shading_min: float = 0.9, y_only: bool = False, bits: Optional[int] = None) -> LensShading:
    """Lens-shading compensation from one raw Bayer flat field.

    ``raw``: 2-D ``uint8`` plane of at least 4 x 4 and at most 65535 x 65535
    (``uint16`` with ``bits``, or a ``RawImage``, reduced to 8 bits with its
    black levels). ``bayer_order``: colour of the first sample, 0 R, 1 Gr,
    2 Gb, 3 B; defaults to a ``RawImage``'s order and is required for
    arrays. ``chip``: 32-bit chip value, or ``"kt3"`` for ``CHIP_KT3``
    (step-limited gamma). The other arguments are the tuning parameters.
    Raises ``MorvikError`` (status 1, the log's reason) when the
    calculation fails.
    """
    from .io import RawImage

    if bayer_order is None:
        if not isinstance(raw, RawImage):
            raise ValueError("bayer_order: required for a plane given as an array (0 R, 1 Gr, 2 Gb, 3 B)")
        bayer_order = raw.bayer_order
    order = _buffers.in_range(bayer_order, "bayer_order", 0, 3)
    plane = _buffers.plane8(raw, "raw", bits=bits, min_size=(4, 4))
    h, w = plane.shape
    if h > 0xFFFF or w > 0xFFFF:
        raise ValueError(f"raw: {w} x {h} exceeds 65535 samples per side")
    chip_value = CHIP_KT3 if isinstance(chip, str) and chip.lower() == "kt3" else _buffers.u32(chip, "chip")
    params = _Params(float(target_scale), float(below_max), float(overshoot), float(shading_min), 1 if y_only else 0)
    r = _Result()
    with capture_log() as log:
        status = core().LSC_Calculate(chip_value, order, _buffers.ptr(plane, ctypes.c_uint8), w, h,
                                      ctypes.byref(params), ctypes.byref(r))
    if status != 0:
        raise MorvikError("LSC_Calculate", status, _failure_reason(log))
    return LensShading(center_x=r.center_x, center_y=r.center_y, gain_r=r.Kr, gain_g=r.Kg, gain_b=r.Kb,
                       gain_exponent=r.K, radius_factor=r.Radius_factor, curve_select=r.Curve_sel,
                       gamma=np.array([r.gamma_R[:], r.gamma_G[:], r.gamma_B[:]], dtype=np.uint32), log=list(log))
