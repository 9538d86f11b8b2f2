"""Shared fixtures: the source tree's example files, the morvik CLI, and a
DNG writer that plants a known Bayer plane."""

from __future__ import annotations

import json
import os
import subprocess
from pathlib import Path
from typing import Any, Sequence

import numpy as np
import pytest

ROOT = Path(os.environ.get("MORVIK_SOURCE_DIR", Path(__file__).resolve().parents[2]))
EXAMPLES = ROOT / "examples"

# DNG CFAPattern codes (0 R, 1 G, 2 B) of the 2x2 cell for each Bayer order.
CFA_PATTERNS = {0: (0, 1, 1, 2), 1: (1, 0, 2, 1), 2: (1, 2, 0, 1), 3: (2, 1, 1, 0)}


@pytest.fixture(scope="session")
def cli() -> Path:
    """The morvik CLI: MORVIK_CLI, else the release build of the tree."""
    path = Path(os.environ.get("MORVIK_CLI", ROOT / "build" / "release" / "morvik"))
    if not path.is_file():
        if "MORVIK_CLI" in os.environ:
            pytest.fail(f"MORVIK_CLI={path} does not exist")
        pytest.skip(f"no morvik CLI at {path} (build the release preset or set MORVIK_CLI)")
    return path


def run_cli(cli: Path, *args: Any, json_out: bool = True, cwd: Any = None, check: bool = True) -> Any:
    cmd = [str(cli), *map(str, args)] + (["--json"] if json_out else [])
    proc = subprocess.run(cmd, capture_output=True, text=True, cwd=cwd)
    if check and proc.returncode != 0:
        raise AssertionError(f"{' '.join(cmd)} exited {proc.returncode}: {proc.stderr}")
    if not check:
        return proc
    if not json_out:
        return proc.stdout
    doc = json.loads(proc.stdout)
    if isinstance(doc, dict):
        doc.pop("units", None)  # the report's unit names, not results
    return doc


@pytest.fixture()
def inspect_dir(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """Inspection files of the colour calibration go to a temporary folder."""
    monkeypatch.setenv("MORVIK_INSPECT_DIR", str(tmp_path))
    return tmp_path


def write_dng(path: Path, plane: np.ndarray, bayer_order: int, black: Sequence[int] = (0,), white: int = 65535,
              model: str = "Test Camera", cfa: Sequence[int] = ()) -> Path:
    """A minimal uncompressed DNG of one CFA plane (tifffile), with black
    level (one value, or four for a 2x2 repeat) and white level."""
    import tifffile

    black = tuple(int(b) for b in black)
    tags = [
        (50706, "B", 4, (1, 4, 0, 0), True),  # DNGVersion
        (50707, "B", 4, (1, 1, 0, 0), True),  # DNGBackwardVersion
        (271, "s", 0, "Morvik", True),  # Make
        (272, "s", 0, model, True),  # Model
        (50708, "s", 0, f"Morvik {model}", True),  # UniqueCameraModel
        (33421, "H", 2, (2, 2), True),  # CFARepeatPatternDim
        (33422, "B", 4, tuple(cfa) or CFA_PATTERNS[bayer_order], True),  # CFAPattern
        (50717, "I", 1, (int(white),), True),  # WhiteLevel
    ]
    if len(black) == 4:
        tags.append((50713, "H", 2, (2, 2), True))  # BlackLevelRepeatDim
    tags.append((50714, "I", len(black), black, True))  # BlackLevel
    tifffile.imwrite(path, plane, photometric=32803, extratags=tags, subfiletype=0)
    return path
