"""Gamma, sensor response, PCA, register levels and grid shading tables:
the Python results equal the CLI's on the same inputs, bad buffers raise
before the C call, and the conversions round-trip."""

from __future__ import annotations

import json

import numpy as np
import pytest

import morvik
from conftest import EXAMPLES, run_cli

GAMMA = EXAMPLES / "gamma"


def numbers(path, base=10):
    """Every number of a text file, '#' comments left out."""
    text = " ".join(line.split("#")[0] for line in path.read_text().splitlines())
    return [int(tok, base) for tok in text.replace(",", " ").split()]


def anchors():
    return numbers(GAMMA / "gamma22.csv")


def test_gamma_update(cli):
    tone = numbers(GAMMA / "contrast_tone.txt")
    want = run_cli(cli, "gamma", "update", GAMMA / "gamma22.csv", "--tone", GAMMA / "contrast_tone.txt")
    got = morvik.gamma_update(anchors(), [tone])
    assert got.anchors.tolist() == want["gamma"]
    assert got.composed.tolist() == [c["anchors"] for c in want["composed"]]
    assert got.previews.tolist() == want["previews"]
    assert morvik.GAMMA_PREVIEW_INPUTS.tolist() == want["preview_inputs"]
    # Identity tone curves leave the gamma as it is.
    assert (got.composed[1:] == got.anchors).all()


def test_gamma_kt2_file_and_back(cli, tmp_path):
    cli_file, py_file = tmp_path / "cli.txt", tmp_path / "py.txt"
    want = run_cli(cli, "gamma", "to-kt2", GAMMA / "gamma22.json", "-o", cli_file)
    table = morvik.gamma_to_kt2(anchors(), py_file)
    assert table.packed.tolist() == [e["word"] for e in want["entries"]]
    assert table.value_at_4095 == want["value_at_4095"]
    assert table.inputs.tolist() == [e["input"] for e in want["entries"]]
    assert py_file.read_bytes() == cli_file.read_bytes()
    back = morvik.gamma_read_kt2(py_file)
    assert back.anchors.tolist() == run_cli(cli, "gamma", "to-kt1", py_file)["anchors"] == anchors()
    assert (back.packed == table.packed).all() and (back.base[:144] == table.base[:144]).all()
    by_bases = morvik.gamma_to_kt1(table.packed)
    assert by_bases.anchors.tolist() == run_cli(cli, "gamma", "to-kt1", py_file, "--bases")["anchors"]
    assert morvik.gamma_to_kt2(anchors()).packed.tolist() == table.packed.tolist()  # no file needed


def test_gamma_failures(tmp_path):
    with pytest.raises(morvik.MorvikError) as err:
        morvik.gamma_read_kt2(tmp_path / "missing.txt")
    assert err.value.status == 1
    with pytest.raises(morvik.MorvikError) as err:
        morvik.gamma_to_kt2(anchors(), tmp_path / "no" / "such" / "dir.txt")
    assert err.value.partial.packed.shape == (144,)


SERIES = np.array([[10, 25, 27, 26, 24], [20, 45, 48, 46, 43], [30, 66, 69, 65, 62], [40, 86, 90, 85, 83],
                   [50, 107, 111, 106, 102], [60, 127, 133, 126, 121], [70, 146, 152, 147, 140],
                   [80, 160, 170, 163, 155], [90, 170, 182, 175, 166], [100, 176, 190, 183, 171]])


@pytest.mark.parametrize("bits", [8, 10])
def test_sensor_response(cli, tmp_path, inspect_dir, bits):
    path = tmp_path / "series.csv"
    path.write_text("\n".join(",".join(map(str, row)) for row in SERIES) + "\n")
    want = run_cli(cli, "sensor", path, "--bits", bits, "--black", "16,16,17,15")
    got = morvik.sensor_response(SERIES[:, 0], SERIES[:, 1:].astype(float), bits=bits, black=(16, 16, 17, 15))
    for name in ("slopes", "intercepts", "gains", "offsets"):
        assert getattr(got, name).tolist() == want[name], name
    assert (got.ratio, got.linear_limit) == (want["ratio"], want["linear_limit"])
    assert (inspect_dir / "sensorcurve.csv").exists()


@pytest.mark.parametrize("scale,base", [(1, 0.0), (4, 3.5), (255, -2.25)])
def test_light_values(cli, scale, base):
    want = run_cli(cli, "lv", "--scale", scale, "--base", base)["ladder"]
    got = morvik.light_values(scale, base)
    assert got.light_values.tolist() == [r["lv"] for r in want]
    assert got.levels.tolist() == [r["level_back"] for r in want]
    assert (np.diff(got.light_values) >= 0.1 - 1e-9).all()


def chart():
    rows = np.array([numbers_row for numbers_row in (
        [int(v) for v in line.split(",")] for line in (EXAMPLES / "pca" / "chart.csv").read_text().splitlines()
        if line.strip() and not line.startswith("#"))])
    return rows[:, :3], rows[:, 3:]


def table_csv(path, table):
    path.write_text("".join(f"{b},{h},{s},{l}\n" for b, (h, s, l) in
                            enumerate(zip(table.hue, table.saturation, table.luma))))


def test_pca_generate_and_tune(cli, tmp_path):
    source, target = chart()
    csv = tmp_path / "table.csv"
    want = run_cli(cli, "pca", "generate", EXAMPLES / "pca" / "chart.csv", "--threshold", 4, "-o", csv)["table"]
    table = morvik.pca_generate(source, target, chroma_threshold=4)
    assert {"hue": table.hue.tolist(), "saturation": table.saturation.tolist(), "luma": table.luma.tolist()} == want
    assert morvik.pca_generate(source, target, limiter=False).hue.shape == (180,)

    args = ["--source", "180,120,90", "--target", "190,110,70", "--range", "20,30"]
    want = run_cli(cli, "pca", "tune", csv, *args, "--strength", 0.5, "--limits", "3,6")
    got = morvik.pca_tune(table, (180, 120, 90), (190, 110, 70), 20, 30, strength=0.5, hue_limit=3, sat_limit=6)
    assert got.report.tolist() == want["report"]
    assert got.table.hue.tolist() == want["table"]["hue"]
    assert got.table.saturation.tolist() == want["table"]["saturation"]
    with pytest.raises(morvik.MorvikError) as err:
        morvik.pca_tune(table, (180, 120, 90), (40, 200, 200), 0, 0, hue_limit=0.5, max_steps=1)
    assert err.value.status == morvik.PCA_TOO_MANY_STEPS and err.value.partial is not None


def test_pca_hue_and_identity_table():
    # Within a degree of the true angle over the 8-bit chroma plane.
    for y, x in [(0, 1), (1, 0), (50, -70), (-127, -3), (-20, 127), (99, 99)]:
        true = np.degrees(np.arctan2(y, x)) % 360
        assert min(abs(morvik.pca_hue(y, x) - true), 360 - abs(morvik.pca_hue(y, x) - true)) <= 1
    assert morvik.pca_hue(0, 0) == 0
    rng = np.random.default_rng(5)
    yuv = rng.integers(16, 240, (40, 3), dtype=np.uint8)
    out, angles = morvik.pca_apply(yuv, morvik.PcaTable.zero(), hue_offset=30)
    assert (np.abs(out.astype(int) - yuv) <= 1).all()
    assert angles.tolist() == [(morvik.pca_hue(v - 128, u - 128) + 30) % 360 for _, u, v in yuv.tolist()]


def test_pca_apply_equals_one_pixel_at_a_time():
    # Repeated colours go through the block once; every pixel still gets its own result.
    rng = np.random.default_rng(8)
    words = np.concatenate([rng.integers(-40, 40, 180), rng.integers(-20, 20, 180), rng.integers(-10, 10, 180)])
    image = rng.integers(0, 256, (12, 10, 3), dtype=np.uint8)
    image[:6] = image[0, 0]
    out, angles = morvik.pca_apply(image, words.astype(np.int32), hue_offset=17, chroma_threshold=4)
    for index in np.ndindex(image.shape[:2]):
        one, angle = morvik.pca_apply(image[index], words.astype(np.int32), hue_offset=17, chroma_threshold=4)
        assert out[index].tolist() == one.tolist() and angles[index] == angle


def block(path):
    if path.suffix == ".json":
        return np.array(json.loads(path.read_text()), dtype=np.uint32)
    return np.array(numbers(path, 0), dtype=np.uint32)


@pytest.mark.parametrize("kind,name", [("anr", "anr.json"), ("ee", "ee.txt")])
def test_isp_show(cli, kind, name):
    path = EXAMPLES / "isp" / name
    want = run_cli(cli, "isp", "show", path, "--kind", kind)["readings"]
    got = morvik.isp_show(kind, block(path))
    assert [r["name"] for r in want] == list(got)
    for r in want:
        assert got[r["name"]].values == r["values"]
        assert got[r["name"]].flag == r.get("changed", r.get("modified", False))


@pytest.mark.parametrize("kind,name,levels", [
    ("nr3d", "strength", [0, 9, 31]), ("nr3d", "ynoise", [0, 5, 31]), ("nr3d", "vnoise", [3]),
    ("mfll", "mixer", [0, 200]), ("mfll", "threshold", [4, 12, 40]), ("anr", "ystrength", [0, 77]),
    ("anr", "cstrength", [100]), ("anr", "ynoise", [0, 6, 20]), ("anr", "cnoise", [0, 9, 40]),
    ("ccr", "level", [0, 32, 64]), ("sat", "sat1", [-20, 0, 45]), ("dm", "sliders", [(0, 0), (15, 3), (7, -3)]),
    ("ee", "sliders", [(8, 0, 0), (60, 3, 600)])])
def test_isp_set_get_round_trip(kind, name, levels):
    reg = np.full(morvik.ISP_BLOCK_WORDS[kind], 0x5A5A0000, dtype=np.uint32)
    for level in levels:
        values = level if isinstance(level, tuple) else (level,)
        written = morvik.isp_set(kind, name, reg, *values)
        got = morvik.isp_get(kind, name, written)
        assert tuple(got.values.values()) == values and not got.flag
    assert (reg == 0x5A5A0000).all()  # the input block is not modified


def flat(h=64, w=96):
    yy, xx = np.mgrid[0:h, 0:w]
    return (220 - ((xx - w / 2) ** 2 + (yy - h / 2) ** 2) / 25).clip(30, 255).astype(np.uint8)


@pytest.mark.parametrize("fmt,same_green", [("coefficients", False), ("gains", True)])
def test_shading_table(cli, tmp_path, fmt, same_green):
    raw = flat()
    path = tmp_path / "flat.raw"
    raw.tofile(path)
    args = ["--width", 96, "--height", 64, "--grid", "6x5", "--cell", "9x8", "--window", 4, "--brightest",
            "--max-gain", 3, "--poly", "1,0.1", "--format", fmt] + (["--same-green"] if same_green else [])
    want = run_cli(cli, "shading-table", path, *args)
    got = morvik.shading_table(raw, (6, 5), (9, 8), 4, brightest=True, max_gain=3, poly=(1, 0.1), format=fmt,
                               same_green=same_green)
    assert got.words.tolist() == want["words"] and got.clamped == (want["result"] == 6)
    if fmt == "gains":
        assert got.node_gains.reshape(4, -1).tolist() == want["node_gains"]
    else:
        assert got.coefficients.reshape(-1, 4, 12).tolist() == want["coefficients"]


def test_shading_spline_matches_the_table():
    raw = flat()
    table = morvik.shading_table(raw, (6, 5), (9, 8), 4, brightest=True)
    planes = np.stack([raw[c // 2::2, c % 2::2] for c in range(4)])
    spline = morvik.shading_spline(planes, (6, 5), (9, 8), 4)
    assert (spline.coefficients == table.coefficients.transpose(2, 0, 1, 3)).all()
    assert spline.last_cell == (48 - 4 * 9, 32 - 3 * 8)
    ten = morvik.shading_table(raw.astype(np.uint16) << 2, (6, 5), (9, 8), 4, bits=10, brightest=True)
    assert (ten.words == table.words).all()


@pytest.mark.parametrize("call", [
    lambda: morvik.gamma_update(np.zeros(19)),
    lambda: morvik.gamma_update(np.zeros(20), [np.zeros(1024)] * 5),
    lambda: morvik.gamma_update(np.full(20, 256)),
    lambda: morvik.gamma_to_kt1(np.zeros((12, 12))),
    lambda: morvik.sensor_response(np.arange(4), np.zeros((4, 4))),
    lambda: morvik.sensor_response(np.arange(6), np.zeros((6, 3))),
    lambda: morvik.light_values(0, 1.0),
    lambda: morvik.pca_generate(np.zeros((17, 3)), np.zeros((17, 3))),
    lambda: morvik.pca_apply(np.zeros((4, 2)), morvik.PcaTable.zero()),
    lambda: morvik.pca_apply(np.zeros((4, 3)), np.zeros(500)),
    lambda: morvik.pca_apply(np.zeros((4, 3)), morvik.PcaTable.zero(), hue_offset=360),
    lambda: morvik.isp_get("anr", "ynoise", np.zeros(17)),
    lambda: morvik.isp_get("anr", "level", np.zeros(18)),
    lambda: morvik.isp_set("dm", "sliders", np.zeros(21), 16, 0),
    lambda: morvik.isp_set("ccr", "level", np.full(4, 0.5), 3),
    lambda: morvik.shading_table(flat().astype(np.uint16), (6, 5), (9, 8), 4),
    lambda: morvik.shading_table(flat()[:, :95], (6, 5), (9, 8), 4),
    lambda: morvik.shading_table(flat(), (6, 5), (12, 8), 4),
    lambda: morvik.shading_table(flat(), (6, 5), (9, 8), 40),
    lambda: morvik.shading_spline(np.zeros((3, 32, 48), np.uint8), (6, 5), (9, 8), 4),
])
def test_bad_buffers_raise(call):
    with pytest.raises(ValueError):
        call()


def test_refused_levels_raise():
    with pytest.raises(morvik.MorvikError) as err:
        morvik.isp_set("anr", "ynoise", np.zeros(18), -1)
    assert err.value.function == "ISP_KT2_ANR_SET_Y_NOISE_REG" and err.value.reason
