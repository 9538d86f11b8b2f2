"""Malformed buffers raise ValueError in Python, before any C call; views
and convertible inputs give the same results as clean arrays."""

from __future__ import annotations

import numpy as np
import pytest

import morvik

RNG = np.random.default_rng(3)
PLANE = RNG.integers(0, 256, size=(48, 64), dtype=np.uint8)
CHART = RNG.uniform(10, 200, size=(24, 6)).astype(np.float32)
REF = np.hstack([RNG.uniform(10, 200, size=(24, 3)), np.ones((24, 1))]).astype(np.float32)
ENTRIES = np.array([[7500, 118, 200, 196], [5000, 156, 190, 152], [2800, 212, 200, 92]], dtype=np.uint16)

# (call, argument that is wrong) -> a ValueError whose text names the argument.
BAD_CALLS = {
    "plane 3-D": (lambda: morvik.lens_shading(PLANE[None], 0), "raw"),
    "plane float": (lambda: morvik.lens_shading(PLANE.astype(np.float32), 0), "raw"),
    "plane int16": (lambda: morvik.awb_filter(PLANE.astype(np.int16)), "raw"),
    "plane list": (lambda: morvik.lens_shading(PLANE.tolist(), 0), "raw"),
    "uint16 without bits": (lambda: morvik.lens_shading(PLANE.astype(np.uint16), 0), "bits"),
    "uint8 with bits": (lambda: morvik.lens_shading(PLANE, 0, bits=10), "raw"),
    "plane too small": (lambda: morvik.lens_shading(PLANE[:3, :3], 0), "raw"),
    "filter plane 1 row": (lambda: morvik.awb_filter(PLANE[:1]), "raw"),
    "defect too small": (lambda: morvik.defect_verify(PLANE[:5, :5]), "image"),
    "colour image 4 channels": (lambda: morvik.defect_verify(np.zeros((8, 8, 4), np.uint8)), "image"),
    "colour image float": (lambda: morvik.unbalance_verify(np.zeros((8, 8, 3), np.float64)), "image"),
    "bayer order 4": (lambda: morvik.lens_shading(PLANE, 4), "bayer_order"),
    "no bayer order": (lambda: morvik.lens_shading(PLANE), "bayer_order"),
    "threshold 256": (lambda: morvik.defect_verify(PLANE, threshold=256), "threshold"),
    "register 256": (lambda: morvik.awb_filter(PLANE, u_gain=256), "u_gain"),
    "chip negative": (lambda: morvik.lens_shading(PLANE, 0, chip=-1), "chip"),
    "chart 23 patches": (lambda: morvik.color_difference(CHART[:23, :3], REF), "measured"),
    "chart 5 fields": (lambda: morvik.ccm_calibration(CHART[:, :5], REF), "measured"),
    "reference 3 fields": (lambda: morvik.color_difference(CHART[:, :3], REF[:, :3]), "reference"),
    "matrix 3x4": (lambda: morvik.color_error(CHART, REF, np.eye(3, 4)), "matrix"),
    "side 3 values": (lambda: morvik.ccm_calibration(CHART, REF, side=(1, 2, 3)), "side"),
    "entries 1 light": (lambda: morvik.awb_calibration(ENTRIES[:1]), "entries"),
    "entries 21 lights": (lambda: morvik.awb_calibration(np.tile(ENTRIES, (7, 1))), "entries"),
    "entries 3 columns": (lambda: morvik.awb_calibration(ENTRIES[:, :3]), "entries"),
    "entries fractional": (lambda: morvik.awb_calibration(ENTRIES + 0.5), "entries"),
    "entries negative": (lambda: morvik.awb_calibration(-ENTRIES.astype(np.int32)), "entries"),
    "key beyond 16 bits": (lambda: morvik.awb_calibration(ENTRIES, upper_key=65536), "upper_key"),
    "lights 4 rows": (lambda: morvik.awb_windows(np.zeros((4, 4))), "lights"),
    "large windows float": (lambda: morvik.awb_small_windows(np.full((4, 4), 0.5)), "large"),
    "applied 10 windows": (lambda: morvik.awb_apply_windows(np.zeros((10, 4), np.int32)), "windows"),
    "multiccm 1 light": (lambda: morvik.multi_ccm(np.zeros((1, 9)), np.ones((1, 3))), "matrices"),
    "multiccm chroma rows": (lambda: morvik.multi_ccm(np.zeros((3, 9)), np.ones((2, 3))), "chromaticity"),
    "multiccm zero denominator": (lambda: morvik.multi_ccm(np.zeros((3, 9)), np.zeros((3, 3))), "denominator"),
    "multiccm terms 7": (lambda: morvik.multi_ccm(np.zeros((3, 9)), np.ones((3, 3)), terms=7), "terms"),
    "reduce black above white": (lambda: morvik.reduce_to_8bit(np.zeros((2, 2), np.uint16), 100, 100), "white"),
    "reduce 3 blacks": (lambda: morvik.reduce_to_8bit(np.zeros((2, 2), np.uint16), (1, 2, 3), 100), "black"),
}


@pytest.mark.parametrize("name", sorted(BAD_CALLS))
def test_wrong_buffers_raise_value_error(name):
    call, argument = BAD_CALLS[name]
    with morvik.capture_log() as log, pytest.raises(ValueError) as info:
        call()
    assert argument in str(info.value)
    assert log == []  # nothing reached the library


def test_views_and_conversions_match_clean_arrays():
    flat = np.fromfile(__import__("conftest").EXAMPLES / "lsc" / "flat_320x240_gr.raw", np.uint8).reshape(240, 320)
    padded = np.zeros((240, 640), dtype=np.uint8)
    padded[:, ::2] = flat
    view = padded[:, ::2]
    assert not view.flags.c_contiguous
    a, b = morvik.lens_shading(flat, 1), morvik.lens_shading(view, 1)
    assert np.array_equal(a.gamma, b.gamma) and a.center == b.center

    r1 = morvik.awb_calibration(ENTRIES)
    r2 = morvik.awb_calibration(ENTRIES.astype(np.int64).tolist())
    assert r1.gains.tolist() == r2.gains.tolist() and r1.coef_a == r2.coef_a
    fortran = np.asfortranarray(CHART)
    assert morvik.ccm_calibration(fortran, REF).registers_8bit.tolist() == \
        morvik.ccm_calibration(CHART, REF).registers_8bit.tolist()


def test_reference_record_layout():
    rec = morvik.reference_record(REF)
    assert rec.shape == (24, 11) and np.array_equal(rec[:, 6:10], REF) and not rec[:, :6].any()
    assert morvik.reference_record(rec) is not None
    d1 = morvik.color_difference(CHART[:, :3], REF)
    d2 = morvik.color_difference(CHART[:, :3], rec)
    assert np.array_equal(d1.delta_ab, d2.delta_ab)
