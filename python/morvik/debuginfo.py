"""Debug information that a camera's tuning build writes into its JPEG
files, named by the module headers of a folder."""

from __future__ import annotations

import ctypes
import os
import shutil
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import List, Optional, Tuple, Union

import numpy as np

from . import _buffers
from ._native import MorvikError, core, declares, last_error, library_lock

__all__ = ["DebugInfo", "read_debug_info", "SIZE_RECORD_WORDS", "AWB_INFO_WORDS", "GGM_WORDS", "PCA_WORDS"]

SIZE_RECORD_WORDS = 12
AWB_INFO_WORDS = 2203
GGM_WORDS = 288
PCA_WORDS = 180

_i = ctypes.POINTER(ctypes.c_int32)
_u = ctypes.POINTER(ctypes.c_uint32)


class _DumpRecord(ctypes.Structure):
    _fields_ = [("label", ctypes.c_char * 32), ("value", ctypes.c_char * 32)]


@declares
def _declare(dll: ctypes.CDLL) -> None:
    c = ctypes
    dll.DP_getInfo.restype = c.c_int32
    dll.DP_getInfo.argtypes = [c.c_char_p, c.c_int32, _i]
    dll.DP_GET_SIZE.restype = c.c_int32
    dll.DP_GET_SIZE.argtypes = [_i, c.POINTER(_i)]
    dll.DP_dumpInfo_array_RC.restype = c.c_int32
    dll.DP_dumpInfo_array_RC.argtypes = [c.POINTER(c.POINTER(c.POINTER(_DumpRecord)))]
    dll.DP_dumpInfo_File_RC.restype = c.c_int32
    dll.DP_dumpInfo_File_RC.argtypes = [c.c_char_p, _i, c.POINTER(_i)]
    dll.DP_GetAWBinfo.restype = None
    dll.DP_GetAWBinfo.argtypes = [_u]
    dll.GetGGMTbl.restype = c.c_int32
    dll.GetGGMTbl.argtypes = [_u]
    dll.GetPCATbl.restype = c.c_int32
    dll.GetPCATbl.argtypes = [_u]


@dataclass(frozen=True)
class DebugInfo:
    """What ``read_debug_info`` read.

    ``blocks``: number of blocks; ``size``: the 12-word size record;
    ``dims``: (blocks, 2) rows and pairs per block; ``text``: the sectioned
    text dump (``dump="text"``) or ``records``: the array dump
    (``dump="records"``), ``records[block][column][row]`` = (label, value)
    with labels cut to 31 characters, every column but AF's first empty;
    ``awb_info`` (2203,), ``ggm`` (288,) and ``pca`` (180,): the raw tables
    as uint32 words."""

    blocks: int
    size: np.ndarray
    dims: np.ndarray
    text: Optional[str]
    records: Optional[List[List[List[Tuple[str, str]]]]]
    awb_info: np.ndarray
    ggm: np.ndarray
    pca: np.ndarray


PathLike = Union[str, "os.PathLike[str]"]


def read_debug_info(path: PathLike, headers: PathLike, mode: int = 2, dump: str = "text") -> DebugInfo:
    """Read the debug information of a camera JPEG and dump it as text
    (``dump="text"``) or as records (``dump="records"``).

    ``headers``: folder of the module headers (AAA/AE/AE.h, ...). It is
    only read: the library assembles "TAG.h" in a temporary copy, which is
    its host folder for the call. ``mode`` 2 selects the eleven-block
    layout, any other value the older one (0 rejects version 0 and 1
    files). The process's current directory and MORVIK_HOST_DIR are
    restored afterwards. Raises ``MorvikError`` when the file has no
    readable debug information, FileNotFoundError for a missing file or
    header folder.
    """
    if dump not in ("text", "records"):
        raise ValueError(f"dump: expected 'text' or 'records', got {dump!r}")
    photo = Path(path).resolve()
    header_dir = Path(headers).resolve()
    if not photo.is_file():
        raise FileNotFoundError(f"{path}: no such file")
    if not header_dir.is_dir():
        raise FileNotFoundError(f"{headers}: no such folder")
    lib = core()
    with library_lock, tempfile.TemporaryDirectory(prefix="morvik-dump-") as tmp:
        host = Path(tmp) / "host"
        shutil.copytree(header_dir, host)
        old_cwd = os.getcwd()
        old_host = os.environ.get("MORVIK_HOST_DIR")
        os.environ["MORVIK_HOST_DIR"] = str(host)
        try:
            blocks = ctypes.c_int32()
            if lib.DP_getInfo(os.fsencode(photo), int(mode), ctypes.byref(blocks)) != 1:
                raise MorvikError("DP_getInfo", 0, last_error() or
                                  f"{path}: no readable debug information in mode {mode} (main segment missing "
                                  "or malformed, or TAG.h could not be written)")
            n = blocks.value
            awb = np.zeros(AWB_INFO_WORDS, dtype=np.uint32)
            ggm = np.zeros(GGM_WORDS, dtype=np.uint32)
            pca = np.zeros(PCA_WORDS, dtype=np.uint32)
            lib.DP_GetAWBinfo(_buffers.ptr(awb, ctypes.c_uint32))
            lib.GetGGMTbl(_buffers.ptr(ggm, ctypes.c_uint32))
            lib.GetPCATbl(_buffers.ptr(pca, ctypes.c_uint32))
            size = np.zeros(SIZE_RECORD_WORDS, dtype=np.int32)
            dims = np.zeros((max(n, 1), 2), dtype=np.int32)
            dim_rows = (_i * max(n, 1))(*(ctypes.cast(dims[k].ctypes.data, _i) for k in range(max(n, 1))))
            text, records = None, None
            if dump == "text":
                out = Path(tmp) / "dump.txt"
                if lib.DP_dumpInfo_File_RC(os.fsencode(out), _buffers.ptr(size, ctypes.c_int32), dim_rows) != 1:
                    raise MorvikError("DP_dumpInfo_File_RC", 0, last_error() or f"cannot write the dump to {out}")
                text = out.read_bytes().decode("latin-1")
            else:
                records = _array_dump(lib, size, dims[:n], dim_rows)
        finally:
            os.chdir(old_cwd)
            if old_host is None:
                os.environ.pop("MORVIK_HOST_DIR", None)
            else:
                os.environ["MORVIK_HOST_DIR"] = old_host
    return DebugInfo(blocks=n, size=size, dims=dims[:n].copy(), text=text, records=records, awb_info=awb, ggm=ggm,
                     pca=pca)


def _array_dump(lib: ctypes.CDLL, size: np.ndarray, dims: np.ndarray, dim_rows: ctypes.Array
                ) -> List[List[List[Tuple[str, str]]]]:
    """Size the array dump with DP_GET_SIZE (pairs + 2 columns of rows
    records per block, as the header asks), run it, and read the texts."""
    if lib.DP_GET_SIZE(_buffers.ptr(size, ctypes.c_int32), dim_rows) != 1:
        raise MorvikError("DP_GET_SIZE", 0, last_error() or "size query failed")
    columns = []
    for rows, pairs in dims.tolist():
        block = [(_DumpRecord * max(rows, 1))() for _ in range(pairs + 2)]
        columns.append(block)
    column_ptrs = [(ctypes.POINTER(_DumpRecord) * len(block))(
        *(ctypes.cast(col, ctypes.POINTER(_DumpRecord)) for col in block)) for block in columns]
    sections = (ctypes.POINTER(ctypes.POINTER(_DumpRecord)) * max(len(columns), 1))(
        *(ctypes.cast(c, ctypes.POINTER(ctypes.POINTER(_DumpRecord))) for c in column_ptrs))
    if lib.DP_dumpInfo_array_RC(sections) != 1:
        raise MorvikError("DP_dumpInfo_array_RC", 0, last_error() or "array dump failed")
    return [[[(r.label.decode("latin-1"), r.value.decode("latin-1")) for r in col[:rows]] for col in block]
            for block, (rows, _pairs) in zip(columns, dims.tolist())]
