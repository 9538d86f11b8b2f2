"""KT2 register blocks as the tuning tool's levels and sliders.

A block is a 1-D ``uint32`` array of register words (word n at byte offset
4n). ``isp_get`` reads one level (or the sliders) with its flag, True when
the fields differ from what that level produces; ``isp_set`` returns a copy
of the block with one level written, every other bit kept; ``isp_show``
reads every level of a block, as ``morvik isp show`` does.
"""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from . import _buffers
from ._native import core, declares, fail

__all__ = ["ISP_BLOCK_WORDS", "ISP_READINGS", "IspReading", "isp_get", "isp_set", "isp_show"]

#: Words of each block kind; "mfll" is the mixer word and the threshold word.
ISP_BLOCK_WORDS: Dict[str, int] = {"dm": 21, "ee": 16, "nr3d": 15, "mfll": 2, "anr": 18, "ccr": 4, "sat": 545}

# (kind, reading) -> (SET export, GET export, word of the block the exports start at)
_LEVELS: Dict[Tuple[str, str], Tuple[str, str, int]] = {
    ("nr3d", "strength"): ("ISP_KT2_NR3D_SET_STRENGTH_REG", "ISP_KT2_NR3D_STRENGTH_GET_LEL", 0),
    ("nr3d", "ynoise"): ("ISP_KT2_NR3D_SET_YNOISE_REG", "ISP_KT2_NR3D_YNOISE_GET_LEL", 0),
    ("nr3d", "unoise"): ("ISP_KT2_NR3D_SET_UNOISE_REG", "ISP_KT2_NR3D_UNOISE_GET_LEL", 0),
    ("nr3d", "vnoise"): ("ISP_KT2_NR3D_SET_VNOISE_REG", "ISP_KT2_NR3D_VNOISE_GET_LEL", 0),
    ("mfll", "mixer"): ("ISP_KT2_MFLL_SET_MIXER_REG", "ISP_KT2_MFLL_MIXER_GET_LEL", 0),
    ("mfll", "threshold"): ("ISP_KT2_MFLL_SET_MFB_TH_REG", "ISP_KT2_MFLL_MFB_TH_GET_LEL", 1),
    ("anr", "ystrength"): ("ISP_KT2_ANR_SET_Y_STRENGTH_REG", "ISP_KT2_ANR_Y_STR_GET_LEL", 0),
    ("anr", "cstrength"): ("ISP_KT2_ANR_SET_C_STRENGTH_REG", "ISP_KT2_ANR_C_STR_GET_LEL", 0),
    ("anr", "ynoise"): ("ISP_KT2_ANR_SET_Y_NOISE_REG", "ISP_KT2_ANR_Y_NOISE_GET_LEL", 0),
    ("anr", "cnoise"): ("ISP_KT2_ANR_SET_C_NOISE_REG", "ISP_KT2_ANR_C_NOISE_GET_LEL", 0),
    ("ccr", "level"): ("ISP_KT2_CCR_SET_CHROMA_REDUCTION_REG", "ISP_KT2_CHROMA_REDUCT_GET_LEL", 0),
}

#: Readings of each kind, in the order ``isp_show`` lists them.
ISP_READINGS: Dict[str, List[str]] = {"dm": ["sliders"], "ee": ["sliders"], "sat": ["sat0", "sat1", "sat2"]}
for _kind, _name in _LEVELS:
    ISP_READINGS.setdefault(_kind, []).append(_name)


@declares
def _declare(dll: ctypes.CDLL) -> None:
    c = ctypes
    u32p, i32p, i32 = c.POINTER(c.c_uint32), c.POINTER(c.c_int32), c.c_int32
    for set_name, get_name, _ in _LEVELS.values():
        getattr(dll, set_name).restype = i32
        getattr(dll, set_name).argtypes = [u32p, i32] + ([i32] if set_name == "ISP_KT2_ANR_SET_Y_NOISE_REG" else [])
        getattr(dll, get_name).restype = i32
        getattr(dll, get_name).argtypes = [u32p, i32p]
    dll.ISP_KT2_DM_ALLSLIDER_REG.restype = i32
    dll.ISP_KT2_DM_ALLSLIDER_REG.argtypes = [u32p, i32, i32]
    dll.ISP_KT2_DM_REG_ALLSLIDER.restype = i32
    dll.ISP_KT2_DM_REG_ALLSLIDER.argtypes = [u32p, i32p, i32p, i32p]
    dll.ISP_KT2_EE_ALLSLIDER_REG.restype = i32
    dll.ISP_KT2_EE_ALLSLIDER_REG.argtypes = [u32p, i32, i32, i32]
    dll.ISP_KT2_EE_REG_ALLSLIDER.restype = i32
    dll.ISP_KT2_EE_REG_ALLSLIDER.argtypes = [u32p, i32p, i32p, i32p, i32p]
    dll.ISP_KT2_ANR_SET_SATURATION_REG.restype = i32
    dll.ISP_KT2_ANR_SET_SATURATION_REG.argtypes = [u32p, i32, i32]
    dll.ISP_KT2_PCA_SAT_GET_LEL.restype = i32
    dll.ISP_KT2_PCA_SAT_GET_LEL.argtypes = [u32p, i32]


@dataclass(frozen=True)
class IspReading:
    """One level (or slider set) of a block: ``values`` by name (a level
    reading has one value named like the reading, the sliders ``slider1``
    ...), and ``flag``: True when the fields are not exactly what these
    values produce (never for the saturation levels, the 3D noise-reduction
    strength and the multi-frame mixer)."""

    name: str
    values: Dict[str, int]
    flag: bool

    @property
    def level(self) -> int:
        """The value of a one-value reading."""
        if len(self.values) != 1:
            raise AttributeError(f"{self.name} has several values: {sorted(self.values)}")
        return next(iter(self.values.values()))


def _block(reg: Any, kind: str) -> np.ndarray:
    if kind not in ISP_BLOCK_WORDS:
        raise ValueError(f"kind: unknown kind {kind!r} ({', '.join(ISP_BLOCK_WORDS)})")
    return _buffers.array(reg, "reg", (ISP_BLOCK_WORDS[kind],), np.uint32)


def _reading(kind: str, name: str) -> None:
    if name not in ISP_READINGS.get(kind, []):
        raise ValueError(f"{kind}: no reading {name!r} ({', '.join(ISP_READINGS.get(kind, []))})")


def _i32(value: Any, name: str) -> int:
    return _buffers.in_range(value, name, -2**31, 2**31 - 1)


def isp_get(kind: str, name: str, reg: Any) -> IspReading:
    """Read level ``name`` of a ``kind`` block (see ``ISP_READINGS``).

    ``reg``: the block, ``ISP_BLOCK_WORDS[kind]`` unsigned 32-bit words.
    The DM and EE slider read-backs print a warning on standard output when
    the block was edited by hand.
    """
    block = _block(reg, kind)
    _reading(kind, name)
    dll = core()
    p = _buffers.ptr(block, ctypes.c_uint32)
    out = [ctypes.c_int32() for _ in range(4)]
    ref = [ctypes.byref(v) for v in out]
    if kind == "dm":
        dll.ISP_KT2_DM_REG_ALLSLIDER(p, ref[0], ref[1], ref[2])
        return IspReading(name, {"slider1": out[0].value, "slider2": out[1].value}, bool(out[2].value))
    if kind == "ee":
        dll.ISP_KT2_EE_REG_ALLSLIDER(p, *ref)
        return IspReading(name, {"slider1": out[0].value, "slider2": out[1].value, "slider3": out[2].value},
                          bool(out[3].value))
    if kind == "sat":
        return IspReading(name, {name: int(dll.ISP_KT2_PCA_SAT_GET_LEL(p, int(name[3])))}, False)
    _, get_name, word = _LEVELS[(kind, name)]
    level = getattr(dll, get_name)(_buffers.ptr(block[word:], ctypes.c_uint32), ref[0])
    return IspReading(name, {name: int(level)}, bool(out[0].value))


def isp_set(kind: str, name: str, reg: Any, *values: int, companion: Optional[int] = None) -> np.ndarray:
    """A copy of the ``kind`` block with level ``name`` written.

    ``values``: the level (one value), or the sliders (DM: slider1 0..15,
    slider2 -3..3; EE: knee, step, peak). ``companion``: the ANR luma-noise
    companion level (default 0; mode 1 at 6 or more). Raises ``MorvikError``
    for a level the block refuses (a negative ANR noise level).
    """
    block = _block(reg, kind).copy()
    _reading(kind, name)
    want = {"dm": 2, "ee": 3}.get(kind, 1)
    if len(values) != want:
        raise ValueError(f"{kind} {name}: expected {want} value(s), got {len(values)}")
    if companion is not None and (kind, name) != ("anr", "ynoise"):
        raise ValueError("companion: only the ANR luma noise takes a companion level")
    v = [_i32(x, f"values[{i}]") for i, x in enumerate(values)]
    dll = core()
    p = _buffers.ptr(block, ctypes.c_uint32)
    if kind == "dm":
        _buffers.in_range(v[0], "slider1", 0, 15)
        export, status = "ISP_KT2_DM_ALLSLIDER_REG", dll.ISP_KT2_DM_ALLSLIDER_REG(p, *v)
    elif kind == "ee":
        export, status = "ISP_KT2_EE_ALLSLIDER_REG", dll.ISP_KT2_EE_ALLSLIDER_REG(p, *v)
    elif kind == "sat":
        export, status = "ISP_KT2_ANR_SET_SATURATION_REG", dll.ISP_KT2_ANR_SET_SATURATION_REG(p, v[0], int(name[3]))
    else:
        export, _, word = _LEVELS[(kind, name)]
        extra = [_i32(companion or 0, "companion")] if export == "ISP_KT2_ANR_SET_Y_NOISE_REG" else []
        status = getattr(dll, export)(_buffers.ptr(block[word:], ctypes.c_uint32), v[0], *extra)
    if status != 0:
        raise fail(export, status, "level refused")
    return block


def isp_show(kind: str, reg: Any) -> Dict[str, IspReading]:
    """Every reading of a ``kind`` block, by name."""
    block = _block(reg, kind)
    return {name: isp_get(kind, name, block) for name in ISP_READINGS[kind]}
