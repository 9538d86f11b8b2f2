"""Hue/saturation (PCA) tables: the block's hue angle and per-pixel
transform, table generation from chart patches, and one-colour tuning."""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Any, Tuple

import numpy as np

from . import _buffers
from ._native import core, declares, fail

__all__ = ["PCA_BINS", "PCA_TOO_MANY_STEPS", "PcaTable", "PcaTuning", "pca_hue", "pca_apply", "pca_generate",
           "pca_tune"]

#: Hue bins of an exchanged table (2 degrees each).
PCA_BINS = 180
#: Status of AdvTuning when the hue softening needs more steps than allowed.
PCA_TOO_MANY_STEPS = 5


class _GenSettings(ctypes.Structure):
    _fields_ = [("skip_limiter", ctypes.c_uint8), ("chroma_threshold", ctypes.c_int32),
                ("hue_limit", ctypes.c_double), ("sat_limit", ctypes.c_double), ("luma_limit", ctypes.c_double),
                ("patch_count", ctypes.c_int32)]


class _TuningRequest(ctypes.Structure):
    _fields_ = [("source", ctypes.c_int32 * 3), ("target", ctypes.c_int32 * 3), ("range_below", ctypes.c_int32),
                ("range_above", ctypes.c_int32), ("hue_limit", ctypes.c_double), ("sat_limit", ctypes.c_double),
                ("max_steps", ctypes.c_int32), ("strength", ctypes.c_float)]


@declares
def _declare(dll: ctypes.CDLL) -> None:
    c = ctypes
    i32p, u32p = c.POINTER(c.c_int32), c.POINTER(c.c_uint32)
    dll.atan2_hw_360.restype = c.c_int32
    dll.atan2_hw_360.argtypes = [c.c_int32, c.c_int32]
    dll.pca_core.restype = c.c_int32
    dll.pca_core.argtypes = [u32p, u32p, u32p, c.c_int32, c.c_int32, c.c_int32, i32p, i32p, i32p]
    dll.AutoGenTable.restype = c.c_int32
    dll.AutoGenTable.argtypes = [i32p, i32p, c.POINTER(_GenSettings)]
    dll.AdvTuning.restype = c.c_int32
    dll.AdvTuning.argtypes = [c.POINTER(_TuningRequest), i32p, i32p]


@dataclass(frozen=True)
class PcaTable:
    """A PCA table: per hue bin the ``hue`` rotation (half degrees), the
    ``saturation`` gain minus one (1/128) and the ``luma`` gain minus one at
    full chroma (1/128); int32 arrays of 180 bins (360 for full-circle
    tables)."""

    hue: np.ndarray
    saturation: np.ndarray
    luma: np.ndarray

    @classmethod
    def from_words(cls, words: Any) -> "PcaTable":
        """From 540 (or 1080) words: hue, then saturation, then luma."""
        w = _buffers.array(words, "words", (None,), np.int32)
        if w.shape[0] not in (3 * PCA_BINS, 6 * PCA_BINS):
            raise ValueError(f"words: expected 540 or 1080 words, got {w.shape[0]}")
        hue, sat, luma = w.reshape(3, -1)
        return cls(hue.copy(), sat.copy(), luma.copy())

    @classmethod
    def zero(cls) -> "PcaTable":
        """The identity table (every entry 0)."""
        return cls.from_words(np.zeros(3 * PCA_BINS, dtype=np.int32))

    def words(self) -> np.ndarray:
        """The exchanged layout: hue, saturation, luma arrays in one int32 array."""
        return np.concatenate([self.hue, self.saturation, self.luma]).astype(np.int32)


def _table_arrays(table: Any) -> Tuple[np.ndarray, int]:
    words = table.words() if isinstance(table, PcaTable) else np.asarray(table)
    if words.ndim == 2:
        words = words.reshape(-1)
    t = PcaTable.from_words(words)
    return t.words(), t.hue.shape[0]


def pca_hue(y: int, x: int) -> int:
    """The PCA block's hue angle (whole degrees 0..359) of the chroma vector
    (x = U - 128, y = V - 128); (0, 0) gives 0. Signed 32-bit arguments."""
    return int(core().atan2_hw_360(_buffers.in_range(y, "y", -2**31, 2**31 - 1),
                                   _buffers.in_range(x, "x", -2**31, 2**31 - 1)))


def pca_apply(yuv: Any, table: Any, *, hue_offset: int = 0, chroma_threshold: int = 0) -> Tuple[np.ndarray, np.ndarray]:
    """Run YUV pixels through the PCA block.

    ``yuv``: (..., 3) uint8 Y, U, V codes (U, V offset binary around 128).
    ``table``: a ``PcaTable`` or its words, (540,) / (3, 180) for 2-degree
    bins, (1080,) / (3, 360) for 1-degree bins. ``hue_offset`` 0..359 is
    added to each pixel's angle. Returns the transformed (..., 3) uint8
    codes and the (...) int32 angles after the offset.
    """
    px = _buffers.array(yuv, "yuv", (None,) * (np.ndim(yuv) - 1) + (3,), np.uint8) if np.ndim(yuv) >= 1 else None
    if px is None:
        raise ValueError("yuv: expected an array of shape (..., 3)")
    words, bins = _table_arrays(table)
    offset = _buffers.in_range(hue_offset, "hue_offset", 0, 359)
    i32 = ctypes.c_int32
    hue = words[:bins]
    sat = words[bins:2 * bins]
    luma = words[2 * bins:]
    flat = px.reshape(-1, 3)
    # Each distinct Y, U, V triple goes through the block once: photos hold
    # far fewer distinct colours than pixels.
    codes = (flat[:, 0].astype(np.uint32) << 16) | (flat[:, 1].astype(np.uint32) << 8) | flat[:, 2]
    distinct, where = np.unique(codes, return_inverse=True)
    out_distinct = np.empty((distinct.size, 3), dtype=np.uint8)
    angle_distinct = np.empty(distinct.size, dtype=np.int32)
    fn = core().pca_core
    hp, sp, lp = (_buffers.ptr(a, i32) for a in (hue, sat, luma))
    y, u, v = ctypes.c_uint32(), ctypes.c_uint32(), ctypes.c_uint32()
    threshold = _buffers.in_range(chroma_threshold, "chroma_threshold", -2**31, 2**31 - 1)
    full_circle = int(bins == 360)
    for k, c in enumerate(distinct.tolist()):
        y.value, u.value, v.value = (c >> 16) << 8, ((c >> 8) & 255) << 8, (c & 255) << 8
        angle_distinct[k] = fn(ctypes.byref(y), ctypes.byref(u), ctypes.byref(v), offset, threshold, full_circle,
                               hp, sp, lp)
        out_distinct[k] = (y.value >> 8, u.value >> 8, v.value >> 8)
    where = where.reshape(-1)
    out = out_distinct[where]
    angles = angle_distinct[where]
    return out.reshape(px.shape), angles.reshape(px.shape[:-1])


def _rgb_rows(value: Any, name: str) -> np.ndarray:
    a = _buffers.array(value, name, (None, 3), np.int32)
    if not 18 <= a.shape[0] <= 25:
        raise ValueError(f"{name}: {a.shape[0]} patches, expected 18 to 25 (the first 18 are used)")
    return a


def pca_generate(source: Any, target: Any, *, chroma_threshold: int = 0, hue_limit: float = 1.5,
                 sat_limit: float = 3.0, luma_limit: float = 3.0, limiter: bool = True) -> PcaTable:
    """A whole table from the 18 chromatic patches of a chart.

    ``source``, ``target``: (n, 3) RGB (8-bit values), 18 <= n <= 25; the
    first 18 rows are used. ``hue_limit``/``sat_limit``/``luma_limit``: the
    slope limiter's largest change per degree of hue; ``limiter=False``
    skips it. ``chroma_threshold`` is passed to the block for the
    prediction. The luma array of the result is 0.
    """
    s, t = _rgb_rows(source, "source"), _rgb_rows(target, "target")
    patches = np.zeros((2, 25, 3), dtype=np.int32)
    patches[0, :len(s)], patches[1, :len(t)] = s, t
    settings = _GenSettings(skip_limiter=0 if limiter else 1, chroma_threshold=int(chroma_threshold),
                            hue_limit=float(hue_limit), sat_limit=float(sat_limit), luma_limit=float(luma_limit),
                            patch_count=18)
    table = np.zeros(3 * PCA_BINS, dtype=np.int32)
    status = core().AutoGenTable(_buffers.ptr(patches, ctypes.c_int32), _buffers.ptr(table, ctypes.c_int32),
                                 ctypes.byref(settings))
    if status != 0:
        raise fail("AutoGenTable", status, "invalid argument")
    return PcaTable.from_words(table)


@dataclass(frozen=True)
class PcaTuning:
    """Result of ``pca_tune``: the tuned ``table``; hue, chroma and luma
    records of ``source`` and ``target`` (dicts); ``softened_range`` and
    ``edited_range`` as (start, end) angles; ``report`` the 10 raw words."""

    table: PcaTable
    source: dict
    target: dict
    softened_range: Tuple[int, int]
    edited_range: Tuple[int, int]
    report: np.ndarray


def pca_tune(table: Any, source: Any, target: Any, range_below: int, range_above: int, *, hue_limit: float = 4.0,
             sat_limit: float = 8.0, max_steps: int = 180, strength: float = 1.0) -> PcaTuning:
    """Move one colour of a 180-bin table toward a target colour.

    ``source``/``target``: R, G, B. ``range_below``/``range_above``:
    degrees of hue edited around the source hue. ``hue_limit``/``sat_limit``:
    largest half difference of neighbouring entries after softening;
    ``max_steps``: softening steps allowed on the hue array; ``strength``
    0..1: share of the change applied. The input table is not modified.
    Raises ``MorvikError`` with status ``PCA_TOO_MANY_STEPS`` (``partial``:
    the half-softened result) when softening needs more steps.
    """
    words, bins = _table_arrays(table)
    if bins != PCA_BINS:
        raise ValueError("table: tuning edits 180-bin tables only")
    words = words.copy()
    rq = _TuningRequest()
    rq.source[:] = [int(v) for v in _buffers.array(source, "source", (3,), np.int32)]
    rq.target[:] = [int(v) for v in _buffers.array(target, "target", (3,), np.int32)]
    rq.range_below = _buffers.in_range(range_below, "range_below", -2**31, 2**31 - 1)
    rq.range_above = _buffers.in_range(range_above, "range_above", -2**31, 2**31 - 1)
    rq.hue_limit, rq.sat_limit = float(hue_limit), float(sat_limit)
    rq.max_steps = _buffers.in_range(max_steps, "max_steps", -2**31, 2**31 - 1)
    rq.strength = float(strength)
    report = np.zeros(10, dtype=np.int32)
    status = core().AdvTuning(ctypes.byref(rq), _buffers.ptr(words, ctypes.c_int32),
                              _buffers.ptr(report, ctypes.c_int32))
    w = report.tolist()
    result = PcaTuning(table=PcaTable.from_words(words), source=dict(hue=w[0], chroma=w[1], luma=w[2]),
                       target=dict(hue=w[3], chroma=w[4], luma=w[5]), softened_range=(w[6], w[7]),
                       edited_range=(w[8], w[9]), report=report)
    if status != 0:
        raise fail("AdvTuning", status, "softening the hue entries needs more than max_steps steps"
                   if status == PCA_TOO_MANY_STEPS else "invalid argument", partial=result)
    return result
