"""morvik: camera-calibration and ISP-tuning algorithms for Python.

The package loads the libmorvik.so it ships with through ctypes and offers
one function per calibration family, taking NumPy arrays and returning
dataclasses. Failures raise ``MorvikError`` (export name, status, reason);
malformed buffers raise ``ValueError`` before any C call. ``capture_log()``
collects the library's debug log; ``read_raw()`` reads DNG and camera raw
files; plots live in ``morvik.plot`` (matplotlib is imported only there).

Each family is one module; its public names are listed in its ``__all__``
and re-exported here.
"""

from __future__ import annotations

from ._native import MorvikError, capture_log, last_error
from .awb import *  # noqa: F401,F403
from .catalogue import *  # noqa: F401,F403
from .color import *  # noqa: F401,F403
from .debuginfo import *  # noqa: F401,F403
from .gamma import *  # noqa: F401,F403
from .grid_shading import *  # noqa: F401,F403
from .io import *  # noqa: F401,F403
from .isp import *  # noqa: F401,F403
from .pca import *  # noqa: F401,F403
from .sensor import *  # noqa: F401,F403
from .shading import *  # noqa: F401,F403
from .verify import *  # noqa: F401,F403

try:
    from ._version import __version__
except ImportError:  # a source tree that was never built
    __version__ = "0+unknown"
