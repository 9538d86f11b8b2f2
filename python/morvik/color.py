"""Colour correction: colour error, CCM calibration, colour difference and
the multi-illuminant matrix, on 24-patch charts."""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Any, Sequence

import numpy as np

from . import _buffers
from ._native import core, declares, fail

__all__ = ["ColorError", "CcmResult", "ColorDifference", "MultiCcm", "color_error", "ccm_calibration",
           "color_difference", "multi_ccm", "reference_record"]

PATCHES = 24

_f = ctypes.POINTER(ctypes.c_float)
_i = ctypes.POINTER(ctypes.c_int32)


@declares
def _declare(dll: ctypes.CDLL) -> None:
    c = ctypes
    dll.CalColorError.restype = None
    dll.CalColorError.argtypes = [_f, _f, _f, _f, _f, _f]
    dll.CC_Calibration.restype = c.c_int32
    dll.CC_Calibration.argtypes = [c.c_int32, c.c_float, _f, _f, _i, c.POINTER(c.c_uint8), _i]
    dll.CC_Calibration_KT1.restype = c.c_int32
    dll.CC_Calibration_KT1.argtypes = [c.c_int32, c.c_float, _f, _f, _i, _i, _i]
    dll.CD_Calibration.restype = c.c_int32
    dll.CD_Calibration.argtypes = [c.c_int32, _f, _f, _f, _f]
    dll.MultiCCM.restype = None
    dll.MultiCCM.argtypes = [c.POINTER(_i), _i, _i, _i, _i, c.c_int32, c.c_int32, _i, c.POINTER(_i)]


def reference_record(reference: Any) -> np.ndarray:
    """The library's 24 x 11 reference record of a chart.

    ``reference``: (24, 4) array of reference R, G, B (linear, 0..255) and
    patch weight, or an already built (24, 11) record (fields 6, 7, 8:
    R, G, B; field 9: weight; the others unused).
    """
    ref = np.asarray(reference)
    if ref.shape == (PATCHES, 11):
        return _buffers.array(ref, "reference", (PATCHES, 11), np.float32)
    ref = _buffers.array(ref, "reference", (PATCHES, 4), np.float32)
    rec = np.zeros((PATCHES, 11), dtype=np.float32)
    rec[:, 6:10] = ref
    return rec


def _measured(measured: Any) -> np.ndarray:
    return _buffers.array(measured, "measured", (PATCHES, 6), np.float32)


@dataclass(frozen=True)
class ColorError:
    """CIELAB (24, 3) of the patches after the matrix, of the reference and
    of the patches before the matrix, as ``color_error`` computes them."""

    lab_corrected: np.ndarray
    lab_reference: np.ndarray
    lab_uncorrected: np.ndarray

    @property
    def delta_e_before(self) -> np.ndarray:
        """Delta E*ab per patch, before the matrix (float64)."""
        return np.linalg.norm(self.lab_uncorrected.astype(np.float64) - self.lab_reference, axis=1)

    @property
    def delta_e_after(self) -> np.ndarray:
        """Delta E*ab per patch, after the matrix (float64)."""
        return np.linalg.norm(self.lab_corrected.astype(np.float64) - self.lab_reference, axis=1)


def color_error(measured: Any, reference: Any, matrix: Any) -> ColorError:
    """Colour error of a 3 x 3 ``matrix`` (row-major, out r = sum M[r, c] in
    c) on a chart.

    ``measured``: (24, 6) chart R, G, B and illumination R, G, B per patch;
    ``reference``: see ``reference_record``. Patches go through black
    offsets, white-balance gains and tone lines from the neutral row, then
    to CIELAB.
    """
    m, ref = _measured(measured), reference_record(reference)
    mat = _buffers.array(matrix, "matrix", (3, 3), np.float32)
    out = [np.zeros((PATCHES, 3), dtype=np.float32) for _ in range(3)]
    core().CalColorError(*(_buffers.ptr(a, ctypes.c_float) for a in (m, ref, mat, *out)))
    return ColorError(lab_corrected=out[0], lab_reference=out[1], lab_uncorrected=out[2])


@dataclass(frozen=True)
class CcmResult:
    """Result of ``ccm_calibration``.

    ``registers_8bit``: nine sign-magnitude bytes, unity 32 (bit 7 sign);
    ``registers_kt1``: nine words, unity 256 (bit 10 sign); ``matrix_8bit``
    and ``matrix_kt1``: the same as signed integer (3, 3) matrices; ``side``:
    the four values passed through."""

    registers_8bit: np.ndarray
    registers_kt1: np.ndarray
    side: np.ndarray

    @property
    def matrix_8bit(self) -> np.ndarray:
        r = self.registers_8bit.astype(np.int32)
        return np.where(r & 0x80, -(r & 0x7F), r).reshape(3, 3)

    @property
    def matrix_kt1(self) -> np.ndarray:
        r = self.registers_kt1
        return np.where(r & 0x400, -(r & 0x3FF), r).reshape(3, 3)


def ccm_calibration(measured: Any, reference: Any, strength: float = 1.0, side: Sequence[int] = (0, 0, 0, 0)
                    ) -> CcmResult:
    """Calibrate the colour-correction matrix from a 24-patch chart.

    Weighted least squares over the chromatic patches, rows normalised to
    sum 1, blended towards the identity by ``strength`` (0 identity, 1 the
    fit), quantised to the 8-bit (unity 32) and KT1 (unity 256) registers.
    Each of the two exports rewrites the inspection file "Camera_CC.csv" in
    MORVIK_INSPECT_DIR (default: the current directory).
    """
    m, ref = _measured(measured), reference_record(reference)
    side_in = _buffers.array(side, "side", (4,), np.int32)
    reg8 = np.zeros(9, dtype=np.uint8)
    reg11 = np.zeros(9, dtype=np.int32)
    side_out = np.zeros(4, dtype=np.int32)
    lib = core()
    fp = _buffers.ptr
    status = lib.CC_Calibration(0, float(strength), fp(m, ctypes.c_float), fp(ref, ctypes.c_float),
                                fp(side_in, ctypes.c_int32), fp(reg8, ctypes.c_uint8), fp(side_out, ctypes.c_int32))
    if status != 0:
        raise fail("CC_Calibration", status, "null buffer")
    status = lib.CC_Calibration_KT1(0, float(strength), fp(m, ctypes.c_float), fp(ref, ctypes.c_float),
                                    fp(side_in, ctypes.c_int32), fp(reg11, ctypes.c_int32),
                                    fp(side_out, ctypes.c_int32))
    if status != 0:
        raise fail("CC_Calibration_KT1", status, "null buffer")
    return CcmResult(registers_8bit=reg8, registers_kt1=reg11, side=side_out)


@dataclass(frozen=True)
class ColorDifference:
    """Result of ``color_difference``: ``delta_ab`` (24,) chroma difference
    per patch, ``lab`` (24, 3) of the measured colours, ``reference_lab``
    (24, 3), all float32."""

    delta_ab: np.ndarray
    lab: np.ndarray
    reference_lab: np.ndarray


def color_difference(measured: Any, reference: Any) -> ColorDifference:
    """Chroma difference (Delta ab, CIELAB D65) of 24 measured colours
    against a reference chart. ``measured``: (24, 3) linear R, G, B at any
    common scale; ``reference``: see ``reference_record``."""
    m = _buffers.array(measured, "measured", (PATCHES, 3), np.float32)
    ref = reference_record(reference)
    diff = np.zeros((PATCHES, 4), dtype=np.float32)
    ref_lab = np.zeros((PATCHES, 3), dtype=np.float32)
    fp = _buffers.ptr
    status = core().CD_Calibration(0, fp(m, ctypes.c_float), fp(ref, ctypes.c_float), fp(diff, ctypes.c_float),
                                   fp(ref_lab, ctypes.c_float))
    if status != 0:
        raise fail("CD_Calibration", status, "null buffer")
    return ColorDifference(delta_ab=diff[:, 0].copy(), lab=diff[:, 1:].copy(), reference_lab=ref_lab)


@dataclass(frozen=True)
class MultiCcm:
    """Result of ``multi_ccm``: ``normalisation`` = round(100 * (mean x,
    sd x, mean y, sd y)); ``coefficients`` (6, 9) = round(10000 *
    coefficient) of the terms 1, x, y, x^2, xy, y^2 for the nine matrix
    elements (0 beyond the terms used); ``terms_used``."""

    normalisation: np.ndarray
    coefficients: np.ndarray
    terms_used: int


def multi_ccm(matrices: Any, chromaticity: Any, weights: Any = None, terms: int = 6) -> MultiCcm:
    """Fit the matrices of several lights as polynomials of chromaticity.

    ``matrices``: (n, 9) int32, n >= 2; ``chromaticity``: (n, 3) int32 of
    (first numerator, denominator, second numerator), x = 512 first / den,
    y = 512 second / den (denominators non-zero); ``weights``: (n,) int32
    (default 1). ``terms`` 1..6 (3 below six lights).
    """
    mats = _buffers.array(matrices, "matrices", (None, 9), np.int32)
    n = mats.shape[0]
    if n < 2:
        raise ValueError(f"matrices: {n} lights, at least 2 needed")
    chroma = _buffers.array(chromaticity, "chromaticity", (n, 3), np.int32)
    if (chroma[:, 1] == 0).any():
        raise ValueError("chromaticity: a denominator is 0")
    w = _buffers.array(np.ones(n, dtype=np.int32) if weights is None else weights, "weights", (n,), np.int32)
    terms = _buffers.in_range(terms, "terms", 1, 6)
    first, den, second = (np.ascontiguousarray(chroma[:, k]) for k in range(3))
    norm = np.zeros(4, dtype=np.int32)
    coef = np.zeros((6, 9), dtype=np.int32)
    i32 = ctypes.c_int32
    rows = (_i * n)(*(ctypes.cast(mats[k].ctypes.data, _i) for k in range(n)))
    coef_rows = (_i * 6)(*(ctypes.cast(coef[k].ctypes.data, _i) for k in range(6)))
    core().MultiCCM(rows, _buffers.ptr(first, i32), _buffers.ptr(den, i32), _buffers.ptr(second, i32),
                    _buffers.ptr(w, i32), n, terms, _buffers.ptr(norm, i32), coef_rows)
    return MultiCcm(normalisation=norm, coefficients=coef, terms_used=terms if n >= 6 else 3)
