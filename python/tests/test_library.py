"""Package-level behaviour: the installed libraries and version, the debug
log, errors carrying status and reason, the catalogue."""

from __future__ import annotations

import os
import re
from pathlib import Path

import numpy as np
import pytest

import morvik
from conftest import EXAMPLES, ROOT

FLAT = np.fromfile(EXAMPLES / "lsc" / "flat_320x240_gr.raw", np.uint8).reshape(240, 320)


def test_installed_package_ships_its_libraries_and_version():
    package = Path(morvik.__file__).parent
    if os.environ.get("MORVIK_EXPECT_INSTALLED"):
        assert not package.is_relative_to(ROOT / "python"), f"tests import the source tree: {package}"
    for name in ("libmorvik.so", "libmorvik_io.so", "py.typed"):
        assert (package / name).is_file(), name
    cmake = re.search(r"project\(morvik VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text()).group(1)
    assert morvik.__version__ == cmake == morvik.io.io_version()


def test_catalogue():
    assert morvik.algorithms("AWB") == ["Exhausting Search"]
    assert morvik.algorithms("CC") == ["Color Correction Matrix"]
    assert morvik.algorithms("CD") == ["Delta Eab"]
    with pytest.raises(ValueError):
        morvik.algorithms("LSC")


def test_capture_log_collects_nests_and_restores():
    with morvik.capture_log() as outer:
        morvik.unbalance_verify(FLAT[:8, :8], 1)
        with morvik.capture_log() as inner:
            morvik.lens_shading(FLAT, 1)
        after_inner = len(outer)
    assert outer[0] == "=============\n" and outer[1] == "Unbalance: start\n"
    assert inner[0] == "=============\n" and "Shading: End\n" in inner and inner[-1] == "=============\n"
    assert after_inner == len(outer) and outer[-len(inner):] == inner
    # Outside every block, nothing more is collected.
    morvik.unbalance_verify(FLAT[:8, :8], 1)
    assert after_inner == len(outer)


def test_lens_shading_failure_carries_status_and_reason():
    with morvik.capture_log() as log, pytest.raises(morvik.MorvikError) as info:
        morvik.lens_shading(np.zeros((64, 64), np.uint8), 0)
    err = info.value
    assert (err.function, err.status) == ("LSC_Calculate", 1)
    assert err.reason.startswith("Shading:") and err.reason + "\n" in log
    assert str(err).startswith("LSC_Calculate returned 1: ")


def test_awb_without_projection_keeps_the_gains():
    # Grey points on one line: no projection puts them on both sides of both axes.
    entries = np.array([[5000, 100, 100, 100], [4000, 100, 100, 100]], dtype=np.uint16)
    with pytest.raises(morvik.MorvikError) as info:
        morvik.awb_calibration(entries)
    assert info.value.status == 1 and info.value.partial.gains.tolist() == [63, 63, 63]
    with pytest.raises(morvik.MorvikError) as info:
        morvik.awb_calibration(np.array([[5000, 0, 100, 100], [4000, 0, 100, 100]]))
    assert info.value.status == -1


def test_debug_information_failure(tmp_path):
    with pytest.raises(morvik.MorvikError) as info:
        morvik.read_debug_info(EXAMPLES / "verify" / "flat_64x48.bmp", EXAMPLES / "debuginfo" / "headers")
    assert info.value.function == "DP_getInfo" and info.value.status == 0
    with pytest.raises(FileNotFoundError):
        morvik.read_debug_info(tmp_path / "none.jpg", EXAMPLES / "debuginfo" / "headers")
    assert os.environ.get("MORVIK_HOST_DIR") is None or "morvik-dump" not in os.environ["MORVIK_HOST_DIR"]
