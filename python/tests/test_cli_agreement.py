"""The Python bindings give the CLI's results on the CLI's example files:
both sides call the same exports, so every field must agree exactly."""

from __future__ import annotations

import json
from pathlib import Path

import numpy as np
import pytest

import morvik
from conftest import EXAMPLES, run_cli


def load_csv_rows(path: Path, width: int) -> np.ndarray:
    rows = []
    for line in path.read_text().splitlines():
        fields = line.split("#")[0].replace(";", ",").split(",")
        fields = [f.strip() for f in fields if f.strip()]
        try:
            values = [float(f) for f in fields]
        except ValueError:
            continue
        if len(values) == width:
            rows.append(values)
    return np.array(rows)


VERIFY_RAW = EXAMPLES / "verify" / "flat_gr_64x48.raw"
VERIFY_BMP = EXAMPLES / "verify" / "flat_64x48.bmp"


def verify_raw_plane() -> np.ndarray:
    return np.fromfile(VERIFY_RAW, dtype=np.uint8).reshape(48, 64)


@pytest.mark.parametrize("bayer", [0, 1, 2, 3])
def test_verify_raw(cli, bayer):
    args = [VERIFY_RAW, "--raw", "--width", 64, "--height", 48, "--bayer", bayer]
    want = run_cli(cli, "verify", "defect", *args, "--threshold", 30)
    got = morvik.defect_verify(verify_raw_plane(), threshold=30, bayer_order=bayer)
    assert (got.bright, got.dark) == (want["WBP"], want["DBP"])
    assert (got.green_check_threshold, got.red_blue_check_threshold) == (want["GCHECKTHD"], want["RBCHECKTHD"])
    assert got.mean.tolist() == want["mean"] and got.std.tolist() == want["std"]

    want = run_cli(cli, "verify", "unbalance", *args)
    got = morvik.unbalance_verify(verify_raw_plane(), bayer_order=bayer)
    assert (got.first_green_mean, got.second_green_mean, got.difference_mean) == (
        want["GevenMean"], want["GoddMean"], want["GdiffMean"])
    assert (got.first_green_std, got.second_green_std, got.difference_std) == (
        want["GevenStd"], want["GoddStd"], want["GdiffStd"])
    assert got.mean.tolist() == want["mean"] and got.std.tolist() == want["std"]


def test_verify_colour_image(cli):
    image = morvik.read_image(VERIFY_BMP)
    assert image.shape == (48, 64, 3)
    want = run_cli(cli, "verify", "defect", VERIFY_BMP, "--threshold", 30)
    got = morvik.defect_verify(image, threshold=30)
    assert (got.bright, got.dark) == (want["WBP"], want["DBP"]) == (3, 2)
    assert got.green_check_threshold is None
    assert got.mean.tolist() == want["mean"] and got.std.tolist() == want["std"]
    want = run_cli(cli, "verify", "unbalance", VERIFY_BMP)
    got = morvik.unbalance_verify(image)
    assert (got.difference_mean, got.difference_std) == (want["GdiffMean"], want["GdiffStd"])
    assert got.mean.tolist() == want["mean"]


def test_awb_calibration(cli):
    path = EXAMPLES / "awb" / "grey_stats.csv"
    want = run_cli(cli, "awb", "calibrate", path)
    entries = load_csv_rows(path, 4).astype(np.uint16)
    got = morvik.awb_calibration(entries, upper_key=want["upper_key"], lower_key=want["lower_key"])
    assert got.gains.tolist() == want["gains"]
    assert (got.coef_a, got.coef_b) == (want["coefficients"]["a"], want["coefficients"]["b"])
    assert {k: getattr(got, k) for k in want["limits"]} == want["limits"]


def test_awb_windows(cli):
    path = EXAMPLES / "awb" / "lights.csv"
    rows = load_csv_rows(path, 4)
    windows = morvik.awb_windows(rows[:5])
    small = morvik.awb_small_windows(rows[5:9].astype(np.int32))
    text = run_cli(cli, "awb", "windows", path, json_out=False).splitlines()
    window_lines = [line.split()[1:5] for line in text if line.startswith("W")]
    assert window_lines == [[f"{v:.3f}" for v in w] for w in windows]
    small_lines = [[int(v) for v in line.split()[1:5]] for line in text if line.startswith("S")]
    assert small_lines == small.tolist()


def test_awb_filter(cli, tmp_path):
    path = EXAMPLES / "awb" / "patches_64x48_rggb.raw"
    mask_png, rgb_png = tmp_path / "mask.png", tmp_path / "rgb.png"
    run_cli(cli, "awb", "filter", path, "--width", 64, "--height", 48, "--y-limit", 6, "--supsel", 5,
            "--mask", mask_png, "--image", rgb_png, json_out=False)
    raw = np.fromfile(path, dtype=np.uint8).reshape(48, 64)
    got = morvik.awb_filter(raw, y_limit=6, supsel=5)
    assert np.array_equal(morvik.read_image(rgb_png), got.rgb)
    assert np.array_equal(morvik.read_image(mask_png)[:, :, 0] == 255, got.mask)
    assert 0 < got.accepted < got.mask.size


def test_ccm_and_colour_error(cli, inspect_dir, tmp_path):
    capture, reference = EXAMPLES / "color" / "capture.csv", EXAMPLES / "color" / "reference.csv"
    want = run_cli(cli, "ccm", capture, "-r", reference, "--strength", 0.8, cwd=tmp_path)
    measured, ref = load_csv_rows(capture, 6), load_csv_rows(reference, 4)
    got = morvik.ccm_calibration(measured, ref, strength=0.8, side=(1, 2, 3, 4))
    assert got.registers_8bit.tolist() == want["registers_8bit"]
    assert got.registers_kt1.tolist() == want["registers_11bit"]
    assert got.side.tolist() == [1, 2, 3, 4]
    assert np.abs(got.matrix_kt1.sum(axis=1)).tolist() == [256] * 3
    assert (inspect_dir / "Camera_CC.csv").is_file()

    err = morvik.color_error(measured, ref, np.array(want["matrix"], dtype=np.float32).reshape(3, 3))
    assert err.delta_e_before.tolist() == want["delta_e_before"]
    assert err.delta_e_after.tolist() == want["delta_e_after"]


def test_colour_difference(cli):
    measured, reference = EXAMPLES / "color" / "measured.csv", EXAMPLES / "color" / "reference.csv"
    want = run_cli(cli, "cd", measured, "-r", reference)
    got = morvik.color_difference(load_csv_rows(measured, 3), load_csv_rows(reference, 4))
    assert got.delta_ab.tolist() == [p["difference"] for p in want]
    assert got.lab.tolist() == [p["lab"] for p in want]
    assert got.reference_lab.tolist() == [p["reference_lab"] for p in want]


@pytest.mark.parametrize("terms", [1, 3, 6])
def test_multi_ccm(cli, terms):
    path = EXAMPLES / "color" / "lights.json"
    want = run_cli(cli, "multiccm", path, "--terms", terms)
    lights = json.loads(path.read_text())["lights"]
    got = morvik.multi_ccm([l["matrix"] for l in lights], [l["chromaticity"] for l in lights],
                           [l["weight"] for l in lights], terms=terms)
    assert got.terms_used == want["terms_used"]
    assert got.normalisation.tolist() == [want["normalisation_x100"][k] for k in ("mean_x", "sd_x", "mean_y", "sd_y")]
    assert got.coefficients.tolist() == [c["values"] for c in want["coefficients_x10000"]]


LSC_RAW = EXAMPLES / "lsc" / "flat_320x240_gr.raw"


def lsc_fields(r: morvik.LensShading) -> dict:
    return {"center_x": r.center_x, "center_y": r.center_y, "Kr": r.gain_r, "Kg": r.gain_g, "Kb": r.gain_b,
            "K": r.gain_exponent, "Radius_factor": r.radius_factor, "Curve_sel": r.curve_select,
            "gamma_R": r.gamma[0].tolist(), "gamma_G": r.gamma[1].tolist(), "gamma_B": r.gamma[2].tolist()}


@pytest.mark.parametrize("extra, kwargs", [([], {}), (["--chip", "kt3"], {"chip": "kt3"}),
                                           (["--y-only", "--target-scale", "0.9"], {"y_only": True,
                                                                                    "target_scale": 0.9})])
def test_lens_shading(cli, extra, kwargs):
    want = run_cli(cli, "lsc", LSC_RAW, "--width", 320, "--height", 240, "--bayer", 1, *extra)
    raw = np.fromfile(LSC_RAW, dtype=np.uint8).reshape(240, 320)
    got = morvik.lens_shading(raw, 1, **kwargs)
    assert lsc_fields(got) == want
    assert got.log[-1] == "=============\n"


def test_lens_shading_of_16bit_words(cli, tmp_path):
    raw8 = np.fromfile(LSC_RAW, dtype=np.uint8).reshape(240, 320)
    words = (raw8.astype(np.uint16) << 2) | 3  # 10-bit codes whose top 8 bits are the 8-bit plane
    path = tmp_path / "flat10.raw"
    words.astype("<u2").tofile(path)
    want = run_cli(cli, "lsc", path, "--width", 320, "--height", 240, "--bayer", 1, "--bits", 10)
    assert lsc_fields(morvik.lens_shading(words, 1, bits=10)) == want == lsc_fields(morvik.lens_shading(raw8, 1))


def test_debug_information(cli):
    photo, headers = EXAMPLES / "debuginfo" / "example.jpg", EXAMPLES / "debuginfo" / "headers"
    want = run_cli(cli, "dump", photo, "--headers", headers, "--mode", 2, json_out=False)
    cwd = Path.cwd()
    got = morvik.read_debug_info(photo, headers, mode=2)
    assert got.text == want
    assert Path.cwd() == cwd
    assert got.size[0] > 0 and got.dims.shape == (got.blocks, 2)
    words = [int(line, 16) for line in want.splitlines() if line.startswith("0x")]
    assert words == got.ggm.tolist() + got.pca.tolist()


def test_debug_information_records(cli):
    photo, headers = EXAMPLES / "debuginfo" / "example.jpg", EXAMPLES / "debuginfo" / "headers"
    want = run_cli(cli, "dump", photo, "--headers", headers, "--mode", 2)
    got = morvik.read_debug_info(photo, headers, mode=2, dump="records")
    assert got.text is None and len(got.records) == want["blocks"] == got.blocks
    cells = set()
    for section in want["sections"]:
        for row in section.get("rows", []):
            for cell in row if isinstance(row, list) else [row]:
                cells.add((cell["name"], cell["value"]))
    ours = {(label.strip(), value) for block in got.records for col in block for label, value in col if label}
    assert cells and cells == ours
