"""Grid shading table: node gains of a raw flat field on an nx x ny grid
per Bayer channel, packed as per-cell cubic coefficients or node gains."""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Any, Optional, Sequence, Tuple

import numpy as np

from . import _buffers
from ._native import core, declares, fail

__all__ = ["ShadingTable", "ShadingSpline", "shading_table", "shading_spline", "decode_coefficients"]

_MEANINGS = {2: "raw image pointer missing", 3: "a working buffer could not be allocated",
             4: "the table exceeds the word limit of its kind", 5: "the table exceeds the 1000 result words"}


class _Config(ctypes.Structure):
    _fields_ = [("table_kind", ctypes.c_uint32), ("bit_depth", ctypes.c_uint32), ("reserved", ctypes.c_uint32),
                ("raw", ctypes.POINTER(ctypes.c_uint8))] + [
        (n, ctypes.c_int32) for n in ("width", "height", "left", "top", "right", "bottom", "nx", "ny", "window")] + [
        ("gain_scale", ctypes.c_uint32), ("find_brightest", ctypes.c_uint8), ("unity_scale", ctypes.c_uint8),
        ("centre_offset_x", ctypes.c_uint32), ("centre_offset_y", ctypes.c_uint32), ("max_gain_x10", ctypes.c_int32),
        ("poly", ctypes.c_double * 6), ("cell_width", ctypes.c_int32), ("cell_height", ctypes.c_int32)]


class _State(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int32), ("height", ctypes.c_int32), ("bit_depth", ctypes.c_uint32),
                ("raw", ctypes.POINTER(ctypes.c_uint8))] + [
        (n, ctypes.c_int32) for n in ("left", "top", "right", "bottom", "cell_width", "cell_height", "last_cell_width",
                                      "last_cell_height", "window", "half_height", "half_width", "nx", "ny")] + [
        ("scale", ctypes.c_float * 4), ("fixed", (ctypes.c_uint32 * 4) * 3), ("find_brightest", ctypes.c_uint32),
        ("max_gain_x10", ctypes.c_int32), ("centre_x", ctypes.c_double), ("centre_y", ctypes.c_double),
        ("poly", ctypes.c_double * 6)]


class _Result(ctypes.Structure):
    _fields_ = [("count", ctypes.c_uint32), ("words", ctypes.c_uint32 * 1000)]


@declares
def _declare(dll: ctypes.CDLL) -> None:
    c = ctypes
    dll.ShadingCalibrateEx.restype = c.c_int32
    dll.ShadingCalibrateEx.argtypes = [c.POINTER(_Config), c.POINTER(_Result), c.c_int32, c.c_int32]
    dll.Shading_Calibration_Process.restype = c.c_int32
    dll.Shading_Calibration_Process.argtypes = [c.POINTER(_State), c.POINTER(c.POINTER(c.c_uint8)),
                                                c.POINTER(c.POINTER(c.c_uint16))]


def decode_coefficients(encoded: Any) -> np.ndarray:
    """10-bit sign-and-magnitude coefficients (bit 9: sign) as signed ints."""
    e = np.asarray(encoded).astype(np.int32) & 0x3FF
    return np.where(e & 512, -(e & 511), e)


@dataclass(frozen=True)
class ShadingTable:
    """Result of ``shading_table``: ``words`` the packed table (uint32);
    ``clamped``: True when a coefficient was clamped to magnitude 511
    (status 6; the table is still valid). Format ``"coefficients"``:
    ``coefficients`` (ny - 1, nx - 1, 4, 12) signed, per cell and channel
    c1..c12. Format ``"gains"``: ``node_gains`` (4, ny, nx) float64 gains
    (word value / 8192). The other field is None."""

    format: str
    nx: int
    ny: int
    words: np.ndarray
    clamped: bool
    coefficients: Optional[np.ndarray]
    node_gains: Optional[np.ndarray]


def _grid_pair(value: Sequence[int], name: str) -> Tuple[int, int]:
    a = _buffers.array(value, name, (2,), np.int32)
    return int(a[0]), int(a[1])


def _raw_bytes(raw: Any, bits: int) -> Tuple[np.ndarray, int, int]:
    if not isinstance(raw, np.ndarray) or raw.ndim != 2:
        raise ValueError(f"raw: expected a 2-D NumPy array, got {getattr(raw, 'shape', type(raw).__name__)}")
    want = np.uint16 if bits == 10 else np.uint8
    if raw.dtype != want:
        raise ValueError(f"raw: expected dtype {np.dtype(want)} for bits={bits}, got {raw.dtype}")
    h, w = raw.shape
    if h < 4 or w < 4 or h % 2 or w % 2:
        raise ValueError(f"raw: expected even sizes of at least 4, got {w} x {h}")
    data = np.ascontiguousarray(raw.astype("<u2") if bits == 10 else raw)
    return data, w, h


def _check_grid(nx: int, ny: int, cw: int, ch: int, window: int, hw: int, hh: int, left: int, top: int) -> None:
    if nx < 2 or ny < 2:
        raise ValueError(f"grid: expected at least 2 x 2 nodes, got {nx} x {ny}")
    if cw < 1 or ch < 1:
        raise ValueError(f"cell: expected sizes of at least 1, got {cw} x {ch}")
    if hw - (nx - 2) * cw < 2 or hh - (ny - 2) * ch < 2:
        raise ValueError(f"cell: {nx} x {ny} nodes of {cw} x {ch} do not fit a {hw} x {hh} channel plane")
    if not 1 <= window <= min(hw, hh):
        raise ValueError(f"window: expected 1 to {min(hw, hh)} channel pixels, got {window}")
    if left // 2 > hw or top // 2 > hh:
        raise ValueError("left/top: node centres would lie beyond the channel plane")


def shading_table(raw: Any, grid: Sequence[int], cell: Sequence[int], window: int, *, bits: int = 8,
                  format: str = "coefficients", same_green: bool = False, kind: int = 2, brightest: bool = False,
                  max_gain: float = 4.0, poly: Sequence[float] = (1.0,), limits: Optional[Sequence[int]] = None,
                  gain_scale: int = 32, unity_scale: bool = False, centre_offset: Sequence[int] = (0, 0)) -> ShadingTable:
    """Grid shading table from one raw flat field.

    ``raw``: 2-D Bayer plane, even sizes of at least 4; ``uint8`` for
    ``bits=8``, ``uint16`` (10-bit codes) for ``bits=10``. ``grid``: (nx, ny)
    nodes, at least 2 each; ``cell``: node spacing (w, h) in channel pixels,
    the last cell taking the rest; ``window``: side of the averaging square
    in channel pixels. ``format``: ``"coefficients"`` or ``"gains"``;
    ``same_green``: channel 2 takes channel 1's table. ``kind``: 0 (at most
    320 words), 1 (896), other: no limit. ``brightest``: gains relative to
    the brightest window (else all 1.0); ``max_gain``: highest gain (kept in
    tenths); ``poly``: radial polynomial c0..c5 (up to six).
    ``limits``: node-centre limits (left, top, right, bottom) in image
    pixels, default the whole image. ``gain_scale``, ``unity_scale`` and
    ``centre_offset`` as the configuration's fields.
    Raises ``MorvikError`` for statuses 2..5.
    """
    if bits not in (8, 10):
        raise ValueError(f"bits: expected 8 or 10, got {bits}")
    if format not in ("coefficients", "gains"):
        raise ValueError(f"format: expected 'coefficients' or 'gains', got {format!r}")
    data, w, h = _raw_bytes(raw, bits)
    nx, ny = _grid_pair(grid, "grid")
    cw, ch = _grid_pair(cell, "cell")
    left, top, right, bottom = (0, 0, w, h) if limits is None else (
        int(v) for v in _buffers.array(limits, "limits", (4,), np.int32))
    _check_grid(nx, ny, cw, ch, int(window), w // 2, h // 2, left, top)
    coeffs = _buffers.array(poly, "poly", (None,), np.float64)
    if not 1 <= coeffs.shape[0] <= 6:
        raise ValueError(f"poly: expected 1 to 6 coefficients, got {coeffs.shape[0]}")
    if not 1.0 <= max_gain <= 1e8:
        raise ValueError(f"max_gain: expected 1 to 1e8, got {max_gain}")
    ox, oy = (_buffers.u32(v, "centre_offset") for v in _grid_pair(centre_offset, "centre_offset"))
    cfg = _Config(table_kind=_buffers.u32(kind, "kind"), bit_depth=bits, reserved=0,
                  raw=_buffers.ptr(data, ctypes.c_uint8), width=w, height=h, left=left, top=top, right=right,
                  bottom=bottom, nx=nx, ny=ny, window=int(window), gain_scale=_buffers.u32(gain_scale, "gain_scale"),
                  find_brightest=int(bool(brightest)), unity_scale=int(bool(unity_scale)), centre_offset_x=ox,
                  centre_offset_y=oy, max_gain_x10=int(round(max_gain * 10)), cell_width=cw, cell_height=ch)
    for k in range(6):
        cfg.poly[k] = float(coeffs[k]) * 1e6 if k < coeffs.shape[0] else 0.0
    result = _Result()
    fmt = 0 if format == "coefficients" else 1
    status = core().ShadingCalibrateEx(ctypes.byref(cfg), ctypes.byref(result), fmt, int(bool(same_green)))
    if status not in (0, 6):
        raise fail("ShadingCalibrateEx", status, _MEANINGS.get(status, "invalid argument"))
    words = np.array(result.words[:result.count], dtype=np.uint32)
    coefficients = gains = None
    if fmt == 0:
        fields = (words.reshape(-1, 4, 4, 1) >> np.array([0, 10, 20], dtype=np.uint32)) & 0x3FF
        coefficients = decode_coefficients(fields.reshape(ny - 1, nx - 1, 4, 12))
    else:
        pairs = words.reshape(ny, nx, 2)
        gains = np.stack([pairs[..., c // 2] >> (16 * (c % 2)) & 0xFFFF for c in range(4)]) / 8192.0
    return ShadingTable(format=format, nx=nx, ny=ny, words=words, clamped=status == 6, coefficients=coefficients,
                        node_gains=gains)


@dataclass(frozen=True)
class ShadingSpline:
    """Result of ``shading_spline``: ``encoded`` (4, ny - 1, nx - 1, 12)
    uint16 sign-and-magnitude coefficients per channel and cell (c1 first);
    ``last_cell``: (width, height) of the last cell."""

    encoded: np.ndarray
    last_cell: Tuple[int, int]

    @property
    def coefficients(self) -> np.ndarray:
        """The coefficients as signed integers."""
        return decode_coefficients(self.encoded)


def shading_spline(planes: Any, grid: Sequence[int], cell: Sequence[int], window: int, *, brightest: bool = True,
                   max_gain: float = 4.0, poly: Sequence[float] = (1.0,), limits: Optional[Sequence[int]] = None,
                   centre: Optional[Sequence[float]] = None) -> ShadingSpline:
    """The spline stage alone on four channel planes.

    ``planes``: (4, half_height, half_width) uint8, channel c = row parity
    x 2 + column parity of the mosaic. ``grid``, ``cell``, ``window``,
    ``brightest``, ``max_gain``: as ``shading_table``; ``poly``: radial
    polynomial c0..c5 (plain, not in millionths); ``limits`` in image pixels
    (default the whole image); ``centre``: optical centre (x, y) in channel
    pixels, default half_width / 2 + 1, half_height / 2 + 1.
    """
    p = _buffers.array(planes, "planes", (4, None, None), np.uint8, convert=False)
    hh, hw = int(p.shape[1]), int(p.shape[2])
    if hh < 2 or hw < 2:
        raise ValueError(f"planes: channel planes of {hw} x {hh}, at least 2 x 2 needed")
    nx, ny = _grid_pair(grid, "grid")
    cw, ch = _grid_pair(cell, "cell")
    left, top, right, bottom = (0, 0, 2 * hw, 2 * hh) if limits is None else (
        int(v) for v in _buffers.array(limits, "limits", (4,), np.int32))
    _check_grid(nx, ny, cw, ch, int(window), hw, hh, left, top)
    coeffs = _buffers.array(poly, "poly", (None,), np.float64)
    if not 1 <= coeffs.shape[0] <= 6:
        raise ValueError(f"poly: expected 1 to 6 coefficients, got {coeffs.shape[0]}")
    cx, cy = (hw / 2 + 1, hh / 2 + 1) if centre is None else (float(v) for v in centre)
    st = _State(width=2 * hw, height=2 * hh, bit_depth=8, left=left, top=top, right=right, bottom=bottom,
                cell_width=cw, cell_height=ch, window=int(window), half_height=hh, half_width=hw, nx=nx, ny=ny,
                find_brightest=int(bool(brightest)), max_gain_x10=max(10, int(round(max_gain * 10))),
                centre_x=cx, centre_y=cy)
    for c in range(4):
        st.scale[c] = 1.0
    for r, row in enumerate(((128, 128, 128, 32), (0, 0, 0, 32), (0, 0, 0, 32))):
        st.fixed[r][:] = row
    for k in range(6):
        st.poly[k] = float(coeffs[k]) if k < coeffs.shape[0] else 0.0
    out = np.zeros((4, ny - 1, nx - 1, 12), dtype=np.uint16)
    plane_ptrs = (ctypes.POINTER(ctypes.c_uint8) * 4)(*(_buffers.ptr(p[c], ctypes.c_uint8) for c in range(4)))
    out_ptrs = (ctypes.POINTER(ctypes.c_uint16) * 4)(*(_buffers.ptr(out[c], ctypes.c_uint16) for c in range(4)))
    status = core().Shading_Calibration_Process(ctypes.byref(st), plane_ptrs, out_ptrs)
    if status != 0:
        raise fail("Shading_Calibration_Process", status, _MEANINGS.get(status, "invalid argument"))
    return ShadingSpline(encoded=out, last_cell=(st.last_cell_width, st.last_cell_height))
