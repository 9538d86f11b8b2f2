"""Every plot renders to PNG without a display."""

from __future__ import annotations

import numpy as np
import pytest

import morvik
from conftest import EXAMPLES

plot = pytest.importorskip("morvik.plot")

FLAT = np.fromfile(EXAMPLES / "lsc" / "flat_320x240_gr.raw", np.uint8).reshape(240, 320)
ENTRIES = np.array([[7500, 118, 200, 196], [6500, 130, 200, 178], [5000, 156, 190, 152], [4000, 178, 201, 120],
                    [2800, 212, 200, 92]], dtype=np.uint16)
GAMMA = [28, 39, 53, 72, 87, 99, 110, 119, 128, 136, 151, 164, 175, 186, 197, 206, 224, 232, 240, 248]
LIGHTS = np.array([[-60, 10, 6, 4], [-30, 6, 5, 4], [0, 12, 5, 3], [5, -8, 6, 4], [40, -2, 7, 5]], dtype=float)


def chart():
    rows = [[float(v) for v in line.split(",")] for line in (EXAMPLES / "color" / "capture.csv").read_text().splitlines()
            if line and not line.startswith("#")]
    ref = [[float(v) for v in line.split(",")] for line in (EXAMPLES / "color" / "reference.csv").read_text()
           .splitlines()[4:] if line]
    return np.array(rows), np.array(ref)


def figures():
    measured, ref = chart()
    lsc = morvik.lens_shading(FLAT, 1)
    awb = morvik.awb_calibration(ENTRIES, upper_key=9000, lower_key=2300)
    raw = np.fromfile(EXAMPLES / "awb" / "patches_64x48_rggb.raw", np.uint8).reshape(48, 64)
    return {
        "lsc": lambda: plot.lens_shading(lsc, FLAT, 1),
        "lsc curves only": lambda: plot.lens_shading(lsc),
        "awb": lambda: plot.awb_calibration(ENTRIES, awb),
        "windows": lambda: plot.awb_windows(morvik.awb_windows(LIGHTS), LIGHTS),
        "filter": lambda: plot.awb_filter(morvik.awb_filter(raw, y_limit=6)),
        "colour error": lambda: plot.color_error(morvik.color_error(measured, ref, np.eye(3))),
        "colour difference": lambda: plot.color_difference(morvik.color_difference(measured[:, :3], ref)),
        "gamma previews": lambda: plot.gamma_previews(morvik.gamma_update(GAMMA, [255 - np.arange(1024) // 4])),
        "grid gains": lambda: plot.grid_gains(morvik.shading_table(FLAT, (9, 7), (18, 20), 8, brightest=True,
                                                                   format="gains")),
    }


@pytest.mark.parametrize("name", list(figures()))
def test_renders_png(name, tmp_path):
    fig = figures()[name]()
    out = tmp_path / "fig.png"
    fig.savefig(out, dpi=50)
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and out.stat().st_size > 2000


def test_block_means_and_grey_points_follow_the_data():
    means = plot.block_means(FLAT, 1)
    assert means.shape == (60, 80)
    cy, cx = np.unravel_index(np.argmax(means), means.shape)
    lsc = morvik.lens_shading(FLAT, 1)
    assert abs(cx * 4 + 2 - lsc.center[0]) <= 24 and abs(cy * 4 + 2 - lsc.center[1]) <= 24
    awb = morvik.awb_calibration(ENTRIES, upper_key=9000, lower_key=2300)
    pts = plot.grey_points(ENTRIES, awb)
    # The found projection spreads the points to both sides of both axes, within the limits.
    assert pts[:, 0].min() < 0 < pts[:, 0].max() and pts[:, 1].min() < 0 < pts[:, 1].max()
    assert pts[:, 0].max() < awb.x_upper and pts[:, 1].max() < awb.y_upper and -pts[:, 1].min() <= awb.y_lower + 1
