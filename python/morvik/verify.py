"""Test-image verification: defective pixels and green unbalance."""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Any, Optional, Tuple

import numpy as np

from . import _buffers
from ._native import declares, core, fail

__all__ = ["DefectResult", "UnbalanceResult", "defect_verify", "unbalance_verify", "pixel_array"]

FORMAT_RAW = 1
FORMAT_COLOUR = 2


class _DefectVerifyResult(ctypes.Structure):
    _fields_ = [("WBP", ctypes.c_uint32), ("DBP", ctypes.c_uint32), ("mean", ctypes.c_double * 4),
                ("std", ctypes.c_double * 4), ("GCHECKTHD", ctypes.c_uint32), ("RBCHECKTHD", ctypes.c_uint32)]


class _UnbalanceVerifyResult(ctypes.Structure):
    _fields_ = [("GoddMean", ctypes.c_double), ("GevenMean", ctypes.c_double), ("GoddStd", ctypes.c_double),
                ("GevenStd", ctypes.c_double), ("GdiffMean", ctypes.c_double), ("GdiffStd", ctypes.c_double),
                ("mean", ctypes.c_double * 4), ("std", ctypes.c_double * 4)]


@declares
def _declare(dll: ctypes.CDLL) -> None:
    c = ctypes
    dll.Defect_Verify.restype = c.c_int32
    dll.Defect_Verify.argtypes = [c.POINTER(c.c_uint8), c.c_int32, c.c_int32, c.c_int32, c.c_int32, c.c_int32,
                                  c.POINTER(_DefectVerifyResult)]
    dll.Unbalance_Verify.restype = c.c_int32
    dll.Unbalance_Verify.argtypes = [c.POINTER(c.c_uint8), c.c_int32, c.c_int32, c.c_int32, c.c_int32,
                                     c.POINTER(_UnbalanceVerifyResult)]


def pixel_array(image: np.ndarray) -> Tuple[np.ndarray, int]:
    """The test-image pixel array of an image, and its format.

    A 2-D ``uint8`` raw plane (top row first) becomes format 1 with each
    sample in all three bytes of its pixel; an (h, w, 3) ``uint8`` R, G, B
    image becomes format 2. Rows are stored bottom-up as blue, green, red,
    each padded to a multiple of 4 bytes, so that the cell's site 0 is the
    top-left sample in picture order (the one the Bayer order names).
    """
    if not isinstance(image, np.ndarray):
        raise ValueError(f"image: expected a NumPy array, got {type(image).__name__}")
    if image.ndim == 2:
        plane = _buffers.plane8(image, "image")
        bgr = np.repeat(plane[:, :, None], 3, axis=2)
        fmt = FORMAT_RAW
    elif image.ndim == 3 and image.shape[2] == 3:
        if image.dtype != np.uint8:
            raise ValueError(f"image: expected dtype uint8, got {image.dtype}")
        bgr = image[:, :, ::-1]
        fmt = FORMAT_COLOUR
    else:
        raise ValueError(f"image: expected a 2-D raw plane or an (h, w, 3) RGB image, got shape {image.shape}")
    h, w = bgr.shape[:2]
    stride = 3 * w + (4 - 3 * w % 4) % 4
    out = np.zeros((h, stride), dtype=np.uint8)
    out[:, : 3 * w] = bgr[::-1].reshape(h, 3 * w)
    return out, fmt


@dataclass(frozen=True)
class DefectResult:
    """Result of ``defect_verify``.

    ``mean`` and ``std`` are per cell site 0..3 for a raw image and per R,
    G, B, Y for a colour image; the check thresholds exist for raw images
    only (None for colour)."""

    bright: int
    dark: int
    mean: np.ndarray
    std: np.ndarray
    green_check_threshold: Optional[int]
    red_blue_check_threshold: Optional[int]


@dataclass(frozen=True)
class UnbalanceResult:
    """Result of ``unbalance_verify``: the first greens (upper row of each
    cell or row pair), the second greens, their signed difference, and the
    mean and std of each channel (sites 0..3 raw; R, G, B, Y colour)."""

    first_green_mean: float
    first_green_std: float
    second_green_mean: float
    second_green_std: float
    difference_mean: float
    difference_std: float
    mean: np.ndarray
    std: np.ndarray


_MEANING = {2: "unknown image format", -1: "image too small for the verification window or null buffer"}



def _raw_input(image: Any, bayer_order: Optional[int]) -> Tuple[Any, int]:
    """A RawImage becomes its black-subtracted 8-bit plane and gives the
    default Bayer order; anything else keeps order 0 by default."""
    from .io import RawImage

    if isinstance(image, RawImage):
        return image.plane8(), image.bayer_order if bayer_order is None else bayer_order
    return image, 0 if bayer_order is None else bayer_order


def defect_verify(image: Any, threshold: int = 16, bayer_order: Optional[int] = None) -> DefectResult:
    """Count the bright and dark defective pixels of a test image.

    ``image``: a 2-D ``uint8`` raw plane (format 1; at least 6 x 6), a
    ``RawImage`` (its black-subtracted 8-bit plane), or an (h, w, 3)
    ``uint8`` RGB image (format 2; at least 5 x 5), top row first.
    ``threshold`` (0..255): allowed deviation from the same-channel
    neighbourhood. ``bayer_order`` (0 R, 1 Gr, 2 Gb, 3 B; default a
    ``RawImage``'s, else 0) decides which proposed check value is the green
    one. Logs one framed block.
    """
    image, bayer_order = _raw_input(image, bayer_order)
    arr, fmt = pixel_array(image)
    h, w = image.shape[:2]
    low = 6 if fmt == FORMAT_RAW else 5
    if w < low or h < low:
        raise ValueError(f"image: {w} x {h} is smaller than the {low} x {low} the defect window needs")
    r = _DefectVerifyResult()
    status = core().Defect_Verify(_buffers.ptr(arr, ctypes.c_uint8), fmt, _buffers.in_range(bayer_order, "bayer_order", 0, 3),
                                  w, h, _buffers.in_range(threshold, "threshold", 0, 255), ctypes.byref(r))
    if status != 0:
        raise fail("Defect_Verify", status, _MEANING.get(status, "failed"))
    raw = fmt == FORMAT_RAW
    return DefectResult(bright=r.WBP, dark=r.DBP, mean=np.array(r.mean[:]), std=np.array(r.std[:]),
                        green_check_threshold=r.GCHECKTHD if raw else None,
                        red_blue_check_threshold=r.RBCHECKTHD if raw else None)


def unbalance_verify(image: Any, bayer_order: Optional[int] = None) -> UnbalanceResult:
    """Measure the unbalance between the two greens of each Bayer cell (raw
    plane, at least 2 x 2) or between pairs of rows (RGB image), and the
    mean and std of every channel. Arguments as ``defect_verify``."""
    image, bayer_order = _raw_input(image, bayer_order)
    arr, fmt = pixel_array(image)
    h, w = image.shape[:2]
    if w < 2 or h < 2:
        raise ValueError(f"image: {w} x {h} is smaller than 2 x 2")
    r = _UnbalanceVerifyResult()
    status = core().Unbalance_Verify(_buffers.ptr(arr, ctypes.c_uint8), fmt,
                                     _buffers.in_range(bayer_order, "bayer_order", 0, 3), w, h, ctypes.byref(r))
    if status != 0:
        raise fail("Unbalance_Verify", status, _MEANING.get(status, "failed"))
    return UnbalanceResult(first_green_mean=r.GevenMean, first_green_std=r.GevenStd, second_green_mean=r.GoddMean,
                           second_green_std=r.GoddStd, difference_mean=r.GdiffMean, difference_std=r.GdiffStd,
                           mean=np.array(r.mean[:]), std=np.array(r.std[:]))
