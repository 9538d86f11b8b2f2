"""Loading of the shipped libraries, errors, and the debug-log sink."""

from __future__ import annotations

import ctypes
import threading
from contextlib import contextmanager
from pathlib import Path
from typing import Callable, Iterator, List, Optional

_HERE = Path(__file__).resolve().parent

# Serialises the calls that share module-level state in the library (the
# debug-information dump, the applied-window table) and the log sink.
library_lock = threading.RLock()


class MorvikError(RuntimeError):
    """A library call that did not do its work.

    ``function`` is the export's name, ``status`` the code it returned and
    ``reason`` the text of ``morvik_last_error()`` (or, where the export
    records none, the meaning of the status or the failure line of its
    debug log).
    """

    def __init__(self, function: str, status: int, reason: str, partial: object = None) -> None:
        super().__init__(f"{function} returned {status}: {reason}")
        self.function = function
        self.status = status
        self.reason = reason
        #: What the export wrote before it gave up, where that means
        #: something (e.g. the gains of a white-balance calibration that
        #: found no projection); else None.
        self.partial = partial


class _Library:
    """A shared library of the package, loaded on first use."""

    def __init__(self, filename: str, declare: Callable[[ctypes.CDLL], None]) -> None:
        self._filename = filename
        self._declare = declare
        self._dll: Optional[ctypes.CDLL] = None
        self._lock = threading.Lock()

    @property
    def path(self) -> Path:
        return _HERE / self._filename

    def __call__(self) -> ctypes.CDLL:
        if self._dll is None:
            with self._lock:
                if self._dll is None:
                    if not self.path.is_file():
                        raise OSError(f"{self.path} is missing: the morvik package was not built with its libraries")
                    dll = ctypes.CDLL(str(self.path))
                    self._declare(dll)
                    self._dll = dll
        return self._dll


_declarations: List[Callable[[ctypes.CDLL], None]] = []


def declares(fn: Callable[[ctypes.CDLL], None]) -> Callable[[ctypes.CDLL], None]:
    """Register a function that sets argtypes/restype of a family's exports.

    Each family module declares its own exports; they are applied when
    libmorvik.so is first loaded (or at once, if it already is).
    """
    _declarations.append(fn)
    if core._dll is not None:
        fn(core._dll)
    return fn


def _declare_core(dll: ctypes.CDLL) -> None:
    dll.morvik_last_error.restype = ctypes.c_char_p
    dll.morvik_last_error.argtypes = []
    dll.morvik_set_log_sink.restype = None
    dll.morvik_set_log_sink.argtypes = [LOG_SINK, ctypes.c_void_p]
    for fn in _declarations:
        fn(dll)


core = _Library("libmorvik.so", _declare_core)

LOG_SINK = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p)


def last_error() -> str:
    """``morvik_last_error()`` of the calling thread."""
    text = core().morvik_last_error()
    return text.decode("utf-8", "replace") if text else ""


def fail(function: str, status: int, meaning: str, partial: object = None) -> MorvikError:
    """The exception for a failed export: the library's reason if it
    recorded one, else ``meaning``."""
    return MorvikError(function, status, last_error() or meaning, partial)


# ------------------------------------------------------------------ debug log

_collectors: List[List[str]] = []


def _dispatch(line: Optional[bytes], _user: Optional[int]) -> None:
    text = line.decode("latin-1") if line is not None else ""
    for lines in _collectors:
        lines.append(text)


_sink = LOG_SINK(_dispatch)  # kept alive for as long as the module


@contextmanager
def capture_log() -> Iterator[List[str]]:
    """Collect the library's debug-log lines while the block runs.

    Yields a list that receives each write exactly as the library formats
    it (normally ending in ``"\\n"``)::

        with morvik.capture_log() as log:
            morvik.lens_shading(raw, bayer_order=1)
        print("".join(log))

    Blocks may nest; each receives every line written while it is open.
    Outside all blocks the library's default channel is restored. The sink
    is process-wide: lines of calls made meanwhile on other threads are
    collected too.
    """
    lines: List[str] = []
    with library_lock:
        if not _collectors:
            core().morvik_set_log_sink(_sink, None)
        _collectors.append(lines)
    try:
        yield lines
    finally:
        with library_lock:
            for i, collector in enumerate(_collectors):
                if collector is lines:
                    del _collectors[i]
                    break
            if not _collectors:
                core().morvik_set_log_sink(LOG_SINK(), None)
