"""The algorithm catalogue of the AWB, CC and CD families."""

from __future__ import annotations

import ctypes
from typing import List

from ._native import core, declares

__all__ = ["algorithms"]

_FAMILIES = ("AWB", "CC", "CD")


@declares
def _declare(dll: ctypes.CDLL) -> None:
    for family in _FAMILIES:
        getattr(dll, f"{family}_GetNumOfAlgorithms").restype = ctypes.c_int32
        getattr(dll, f"{family}_GetNumOfAlgorithms").argtypes = []
        getattr(dll, f"{family}_GetDescription").restype = ctypes.c_char_p
        getattr(dll, f"{family}_GetDescription").argtypes = [ctypes.c_uint32]


def algorithms(family: str) -> List[str]:
    """Descriptions of the algorithms of ``family`` ("AWB", "CC" or "CD"),
    index 0 first."""
    if family not in _FAMILIES:
        raise ValueError(f"family: expected one of {', '.join(_FAMILIES)}, got {family!r}")
    lib = core()
    count = getattr(lib, f"{family}_GetNumOfAlgorithms")()
    describe = getattr(lib, f"{family}_GetDescription")
    return [describe(i).decode("latin-1") for i in range(count)]
