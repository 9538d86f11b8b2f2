"""Camera raw files (DNG and maker formats through LibRaw) and images, read
by the package's libmorvik_io.so."""

from __future__ import annotations

import ctypes
import os
from dataclasses import dataclass, field
from typing import Tuple, Union

import numpy as np

from . import _buffers
from ._native import MorvikError, _Library

__all__ = ["RawImage", "read_raw", "read_image", "is_raw_file", "reduce_to_8bit", "BAYER_ORDERS"]

PathLike = Union[str, "os.PathLike[str]"]

#: Colours of the 2x2 cell, top-left first, for each Bayer order.
BAYER_ORDERS = {0: "RGGB", 1: "GRBG", 2: "GBRG", 3: "BGGR"}


class _RawInfo(ctypes.Structure):
    _fields_ = [
        ("width", ctypes.c_uint32),
        ("height", ctypes.c_uint32),
        ("bayer_order", ctypes.c_uint32),
        ("black", ctypes.c_uint32 * 4),
        ("white", ctypes.c_uint32),
        ("bits", ctypes.c_uint32),
        ("is_dng", ctypes.c_uint32),
        ("make", ctypes.c_char * 64),
        ("model", ctypes.c_char * 64),
    ]


def _declare(dll: ctypes.CDLL) -> None:
    c = ctypes
    dll.morvik_io_version.restype = c.c_char_p
    dll.morvik_io_version.argtypes = []
    dll.morvik_io_last_error.restype = c.c_char_p
    dll.morvik_io_last_error.argtypes = []
    dll.morvik_io_is_raw.restype = c.c_int32
    dll.morvik_io_is_raw.argtypes = [c.c_char_p]
    dll.morvik_io_raw_open.restype = c.c_int32
    dll.morvik_io_raw_open.argtypes = [c.c_char_p, c.POINTER(c.c_void_p)]
    dll.morvik_io_raw_close.restype = None
    dll.morvik_io_raw_close.argtypes = [c.c_void_p]
    dll.morvik_io_raw_info.restype = c.c_int32
    dll.morvik_io_raw_info.argtypes = [c.c_void_p, c.POINTER(_RawInfo)]
    dll.morvik_io_raw_plane.restype = c.c_int32
    dll.morvik_io_raw_plane.argtypes = [c.c_void_p, c.POINTER(c.c_uint16), c.c_size_t]
    dll.morvik_io_reduce8.restype = c.c_int32
    dll.morvik_io_reduce8.argtypes = [c.POINTER(c.c_uint16), c.c_uint32, c.c_uint32, c.POINTER(c.c_uint32),
                                      c.c_uint32, c.POINTER(c.c_uint8)]
    dll.morvik_io_image_size.restype = c.c_int32
    dll.morvik_io_image_size.argtypes = [c.c_char_p, c.POINTER(c.c_uint32), c.POINTER(c.c_uint32)]
    dll.morvik_io_image_rgb.restype = c.c_int32
    dll.morvik_io_image_rgb.argtypes = [c.c_char_p, c.POINTER(c.c_uint8), c.c_size_t]


io_library = _Library("libmorvik_io.so", _declare)


def _check(function: str, status: int) -> None:
    if status != 0:
        reason = io_library().morvik_io_last_error()
        raise MorvikError(function, status, reason.decode("utf-8", "replace") if reason else "failed")


def _path(path: PathLike) -> bytes:
    return os.fsencode(os.fspath(path))


def io_version() -> str:
    """Project version libmorvik_io.so was built with."""
    return io_library().morvik_io_version().decode()


@dataclass(frozen=True)
class RawImage:
    """The Bayer plane of a raw file and what the file says about it.

    ``plane`` holds the raw codes (``uint16``, height x width, sensor order:
    the file's orientation flag is not applied). ``black`` gives the black
    level of the four cell sites (even row/even column, even/odd, odd/even,
    odd/odd), ``white`` the white level and ``bits`` the bits needed for it.
    """

    path: str
    plane: np.ndarray = field(repr=False)
    bayer_order: int
    black: Tuple[int, int, int, int]
    white: int
    bits: int
    make: str
    model: str
    is_dng: bool

    @property
    def width(self) -> int:
        return int(self.plane.shape[1])

    @property
    def height(self) -> int:
        return int(self.plane.shape[0])

    @property
    def pattern(self) -> str:
        """Colours of the top-left 2x2 cell, e.g. ``"GRBG"``."""
        return BAYER_ORDERS[self.bayer_order]

    def plane8(self, keep_black: bool = False) -> np.ndarray:
        """The plane reduced to 8 bits by ``reduce_to_8bit`` (black levels
        subtracted unless ``keep_black``)."""
        return reduce_to_8bit(self.plane, (0, 0, 0, 0) if keep_black else self.black, self.white)


def read_raw(path: PathLike) -> RawImage:
    """Read a DNG or camera raw file.

    Raises ``MorvikError`` with the reason when the file cannot be opened,
    is no raw file LibRaw recognises, has no 2x2 RGB Bayer mosaic (X-Trans,
    CMYG, monochrome and linear DNG files are refused), or its white level
    is not above its black levels.
    """
    lib = io_library()
    handle = ctypes.c_void_p()
    _check("morvik_io_raw_open", lib.morvik_io_raw_open(_path(path), ctypes.byref(handle)))
    try:
        info = _RawInfo()
        _check("morvik_io_raw_info", lib.morvik_io_raw_info(handle, ctypes.byref(info)))
        plane = np.empty((info.height, info.width), dtype=np.uint16)
        _check("morvik_io_raw_plane",
               lib.morvik_io_raw_plane(handle, _buffers.ptr(plane, ctypes.c_uint16), plane.size))
    finally:
        lib.morvik_io_raw_close(handle)
    plane.setflags(write=False)
    return RawImage(path=os.fspath(path), plane=plane, bayer_order=int(info.bayer_order),
                    black=(info.black[0], info.black[1], info.black[2], info.black[3]), white=int(info.white),
                    bits=int(info.bits), make=info.make.decode("utf-8", "replace"),
                    model=info.model.decode("utf-8", "replace"), is_dng=bool(info.is_dng))


def is_raw_file(path: PathLike) -> bool:
    """True when LibRaw recognises the file's content as a raw file."""
    return bool(io_library().morvik_io_is_raw(_path(path)))


def reduce_to_8bit(plane: np.ndarray, black: Union[int, Tuple[int, int, int, int]], white: int) -> np.ndarray:
    """Reduce raw codes to the 8-bit samples of the calibrations.

    With b the black level of the sample's cell site and w the white level:
    ``v8 = floor(((v - b) * 255 + (w - b) // 2) / (w - b))``, integer
    arithmetic, clamped to 0..255 (codes below b give 0). ``black`` is one
    level or four per cell site; ``white`` must exceed each.
    """
    p = _buffers.array(plane, "plane", (None, None), np.uint16)
    levels = (int(black),) * 4 if np.isscalar(black) else tuple(int(b) for b in black)  # type: ignore[arg-type]
    if len(levels) != 4:
        raise ValueError(f"black: expected one level or four, got {len(levels)}")
    for b in levels:
        _buffers.in_range(b, "black", 0, 65535)
        if int(white) <= b:
            raise ValueError(f"white: {white} is not above the black level {b}")
    black_c = (ctypes.c_uint32 * 4)(*levels)
    out = np.empty(p.shape, dtype=np.uint8)
    _check("morvik_io_reduce8", io_library().morvik_io_reduce8(
        _buffers.ptr(p, ctypes.c_uint16), p.shape[1], p.shape[0], black_c, _buffers.u32(white, "white"),
        _buffers.ptr(out, ctypes.c_uint8)))
    return out


def read_image(path: PathLike) -> np.ndarray:
    """An image file (PNG, BMP, JPEG, TGA, PNM, ...) as a ``uint8`` array of
    shape (height, width, 3), R, G, B, top row first."""
    lib = io_library()
    w, h = ctypes.c_uint32(), ctypes.c_uint32()
    _check("morvik_io_image_size", lib.morvik_io_image_size(_path(path), ctypes.byref(w), ctypes.byref(h)))
    out = np.empty((h.value, w.value, 3), dtype=np.uint8)
    _check("morvik_io_image_rgb", lib.morvik_io_image_rgb(_path(path), _buffers.ptr(out, ctypes.c_uint8), out.size))
    return out
