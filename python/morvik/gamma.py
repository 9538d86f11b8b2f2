"""Gamma tables: gamma anchors composed with tone curves, and the KT1 (20
anchors) <-> KT2 (144-entry table, gamma text file) conversions."""

from __future__ import annotations

import ctypes
import os
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Optional, Sequence, Union

import numpy as np

from . import _buffers
from ._native import MorvikError, core, declares, fail, last_error

__all__ = ["GAMMA_POSITIONS", "GAMMA_PREVIEW_INPUTS", "GammaUpdate", "Kt2Table", "Kt1Table", "gamma_update",
           "gamma_to_kt2", "gamma_to_kt1", "gamma_read_kt2", "gamma_kt2_inputs"]

#: 8-bit input codes of the 20 gamma anchors.
GAMMA_POSITIONS = np.array([2, 4, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 192, 208, 224, 240])

#: 8-bit inputs of the 64 preview samples: 2, 4, 8, 12, ..., 252.
GAMMA_PREVIEW_INPUTS = np.array([2] + list(range(4, 253, 4)))

_ENTRIES = 144
_BASES = 145


class _UpdateInput(ctypes.Structure):
    _fields_ = [("anchors", ctypes.c_uint8 * 20), ("tone", (ctypes.c_uint16 * 1024) * 4)]


class _UpdateOutput(ctypes.Structure):
    _fields_ = [("anchors", ctypes.c_uint8 * 20), ("composed", (ctypes.c_uint8 * 20) * 4),
                ("preview", (ctypes.c_uint8 * 64) * 5)]


@declares
def _declare(dll: ctypes.CDLL) -> None:
    c = ctypes
    u32p = c.POINTER(c.c_uint32)
    dll.aeZetDllUpateGammaTable.restype = None
    dll.aeZetDllUpateGammaTable.argtypes = [c.POINTER(_UpdateInput), c.POINTER(_UpdateOutput)]
    dll.GMA_convert_KT1_to_KT2.restype = c.c_int32
    dll.GMA_convert_KT1_to_KT2.argtypes = [u32p, u32p, u32p, c.c_char_p]
    dll.GMA_convert_KT2_to_KT1.restype = c.c_int32
    dll.GMA_convert_KT2_to_KT1.argtypes = [u32p, u32p, u32p]
    dll.GMA_convert_KT2_to_KT1_file.restype = c.c_int32
    dll.GMA_convert_KT2_to_KT1_file.argtypes = [c.c_char_p, u32p, u32p, u32p]


def gamma_kt2_inputs() -> np.ndarray:
    """12-bit inputs of the 144 KT2 grid entries (steps 8, 16, 32, 128)."""
    return np.concatenate([np.arange(0, 512, 8), np.arange(512, 1024, 16), np.arange(1024, 2048, 32),
                           np.arange(2048, 4096, 128)])


@dataclass(frozen=True)
class GammaUpdate:
    """Result of ``gamma_update``: ``anchors`` (20,) the gamma anchors;
    ``composed`` (4, 20) the gamma after tone curve k; ``previews`` (5, 64)
    the gamma (row 0) and the four compositions sampled at
    ``GAMMA_PREVIEW_INPUTS``. All uint8."""

    anchors: np.ndarray
    composed: np.ndarray
    previews: np.ndarray


def _anchors8(anchors: Any) -> np.ndarray:
    return _buffers.array(anchors, "anchors", (20,), np.uint8)


def gamma_update(anchors: Any, tones: Optional[Sequence[Any]] = None) -> GammaUpdate:
    """Compose the gamma after up to four tone curves.

    ``anchors``: 20 values 0..255 (outputs at ``GAMMA_POSITIONS``).
    ``tones``: up to four tone curves of 1024 values 0..65535 (a (k, 1024)
    array or a sequence of arrays); the others are the identity.
    """
    a = _anchors8(anchors)
    curves = [] if tones is None else list(tones)
    if isinstance(tones, np.ndarray) and tones.ndim == 1:
        curves = [tones]
    if len(curves) > 4:
        raise ValueError(f"tones: at most four tone curves, got {len(curves)}")
    block = _UpdateInput()
    ctypes.memmove(block.anchors, a.ctypes.data, 20)
    for k in range(4):
        t = (_buffers.array(curves[k], f"tones[{k}]", (1024,), np.uint16) if k < len(curves)
             else np.arange(1024, dtype=np.uint16))
        ctypes.memmove(block.tone[k], t.ctypes.data, 2048)
    out = _UpdateOutput()
    core().aeZetDllUpateGammaTable(ctypes.byref(block), ctypes.byref(out))
    raw = np.frombuffer(bytes(out), dtype=np.uint8)
    return GammaUpdate(anchors=raw[:20].copy(), composed=raw[20:100].reshape(4, 20).copy(),
                       previews=raw[100:420].reshape(5, 64).copy())


@dataclass(frozen=True)
class Kt2Table:
    """A KT2 gamma table: ``packed`` (144,) uint32 words (10-bit base in
    bits 0..9, rise over the step in bits 10..15) and ``base`` (145,) uint32:
    the 144 bases and the curve value at input 4095."""

    packed: np.ndarray
    base: np.ndarray

    @property
    def inputs(self) -> np.ndarray:
        """12-bit input of each entry."""
        return gamma_kt2_inputs()

    @property
    def slopes(self) -> np.ndarray:
        """Rise over each step (bits 10..15 of the packed words)."""
        return (self.packed >> 10) & 0x3F

    @property
    def value_at_4095(self) -> int:
        return int(self.base[_ENTRIES])


@dataclass(frozen=True)
class Kt1Table:
    """KT1 anchors read back from a KT2 table: ``anchors`` (20,) uint32 and
    the KT2 table they came from (``packed`` (144,), ``base`` (145,); from a
    file, ``base[144]`` is 0)."""

    anchors: np.ndarray
    packed: np.ndarray
    base: np.ndarray


def _u32(a: np.ndarray) -> Any:
    return _buffers.ptr(a, ctypes.c_uint32)


def gamma_to_kt2(anchors: Any, path: Union[str, "os.PathLike[str]", None] = None) -> Kt2Table:
    """KT2 table from 20 KT1 anchors (unsigned 32-bit, normally 0..255).

    With ``path`` the gamma text file is written there as well; a file that
    cannot be written raises ``MorvikError`` (status 0, ``partial`` holds the
    table). Without it nothing is kept on disk.
    """
    a = _buffers.array(anchors, "anchors", (20,), np.uint32)
    base = np.zeros(_BASES, dtype=np.uint32)
    packed = np.zeros(_ENTRIES, dtype=np.uint32)
    with tempfile.TemporaryDirectory(prefix="morvik-gamma-") as tmp:
        target = os.fsencode(path if path is not None else Path(tmp) / "gamma.txt")
        status = core().GMA_convert_KT1_to_KT2(_u32(a), _u32(base), _u32(packed), target)
        reason = last_error()
    if status != 0:
        raise fail("GMA_convert_KT1_to_KT2", status, "invalid argument")
    table = Kt2Table(packed=packed, base=base)
    if reason and path is not None:
        raise MorvikError("GMA_convert_KT1_to_KT2", status, reason, partial=table)
    return table


def gamma_to_kt1(packed: Any, value_at_4095: Optional[int] = None) -> Kt1Table:
    """KT1 anchors from a KT2 table, interpolated from its bases alone.

    ``packed``: 144 packed words (uint32). ``value_at_4095``: the curve value
    at input 4095; by default the last entry's base plus its slope.
    """
    p = _buffers.array(packed, "packed", (_ENTRIES,), np.uint32)
    base = np.zeros(_BASES, dtype=np.uint32)
    last = int(p[-1])
    base[_ENTRIES] = (last & 0x3FF) + ((last >> 10) & 0x3F) if value_at_4095 is None else _buffers.u32(
        value_at_4095, "value_at_4095")
    anchors = np.zeros(20, dtype=np.uint32)
    status = core().GMA_convert_KT2_to_KT1(_u32(p), _u32(anchors), _u32(base))
    if status != 0:
        raise fail("GMA_convert_KT2_to_KT1", status, "invalid argument")
    return Kt1Table(anchors=anchors, packed=p.copy(), base=base)


def gamma_read_kt2(path: Union[str, "os.PathLike[str]"]) -> Kt1Table:
    """Read a KT2 gamma text file and convert it with its stored slopes.

    Entries beyond the words in the file are 0. Raises ``MorvikError``
    (status 1) when the file cannot be opened or read.
    """
    anchors = np.zeros(20, dtype=np.uint32)
    packed = np.zeros(_ENTRIES, dtype=np.uint32)
    base = np.zeros(_BASES, dtype=np.uint32)
    status = core().GMA_convert_KT2_to_KT1_file(os.fsencode(path), _u32(anchors), _u32(packed), _u32(base))
    if status != 0:
        raise fail("GMA_convert_KT2_to_KT1_file", status, f"{os.fspath(path)}: cannot be opened as a gamma file")
    return Kt1Table(anchors=anchors, packed=packed, base=base)
