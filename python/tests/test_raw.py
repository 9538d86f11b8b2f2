"""Raw files through libmorvik_io: DNG files written here with a planted
plane, each Bayer order, black and white levels; the 8-bit reduction rule;
refusals."""

from __future__ import annotations

from fractions import Fraction

import numpy as np
import pytest

import morvik
from conftest import EXAMPLES, run_cli, write_dng

LSC_RAW = EXAMPLES / "lsc" / "flat_320x240_gr.raw"

# Cropping the Gr-first flat field by (rows, columns) gives each Bayer order.
CROPS = {1: (0, 0), 0: (0, 1), 3: (1, 0), 2: (1, 1)}


def cropped_flat(order: int) -> np.ndarray:
    dy, dx = CROPS[order]
    raw = np.fromfile(LSC_RAW, dtype=np.uint8).reshape(240, 320)
    return np.ascontiguousarray(raw[dy:dy + 236, dx:dx + 316])


@pytest.mark.parametrize("order", [0, 1, 2, 3])
def test_dng_reads_back_and_gives_the_bare_files_shading(cli, tmp_path, order):
    flat = cropped_flat(order)
    black, white = 64, 64 + 255 * 4
    planted = flat.astype(np.uint16) * 4 + black + np.uint16(order % 2)  # low bits vanish in the reduction
    dng = write_dng(tmp_path / f"flat{order}.dng", planted, order, black=(black,), white=white, model=f"M{order}")

    raw = morvik.read_raw(dng)
    assert np.array_equal(raw.plane, planted) and raw.plane.dtype == np.uint16
    assert (raw.bayer_order, raw.pattern) == (order, morvik.BAYER_ORDERS[order])
    assert (raw.black, raw.white, raw.bits) == ((black,) * 4, white, 11)
    assert (raw.make, raw.model, raw.is_dng) == ("Morvik", f"M{order}", True)
    assert np.array_equal(raw.plane8(), flat)

    bare = tmp_path / f"flat{order}.raw"
    flat.tofile(bare)
    want = run_cli(cli, "lsc", bare, "--width", 316, "--height", 236, "--bayer", order)
    got = morvik.lens_shading(raw)
    again = morvik.lens_shading(flat, order)
    assert np.array_equal(got.gamma, again.gamma) and got.gains.tolist() == again.gains.tolist()
    assert [got.center_x, got.center_y, got.gain_r, got.gain_g, got.gain_b, got.gain_exponent,
            *got.gamma.ravel().tolist()] == [want["center_x"], want["center_y"], want["Kr"], want["Kg"], want["Kb"],
                                             want["K"], *want["gamma_R"], *want["gamma_G"], *want["gamma_B"]]


def test_black_level_per_cell_site_and_keep_black(tmp_path):
    rng = np.random.default_rng(7)
    plane = rng.integers(0, 4096, size=(64, 96), dtype=np.uint16)
    black = (60, 62, 64, 66)
    raw = morvik.read_raw(write_dng(tmp_path / "bl.dng", plane, 2, black=black, white=4095))
    assert raw.black == black and raw.bits == 12
    sites = np.array(black).reshape(2, 2)
    b = np.tile(sites, (32, 48)).astype(np.int64)
    model = np.clip(((plane - b) * 255 + (4095 - b) // 2) // (4095 - b), 0, 255)
    assert np.array_equal(raw.plane8(), model)
    assert np.array_equal(raw.plane8(keep_black=True), np.clip((plane.astype(np.int64) * 255 + 2047) // 4095, 0, 255))


@pytest.mark.parametrize("black, white", [(0, 255), (0, 1023), (64, 1023), (200, 201), (512, 16383), (0, 65535)])
def test_reduction_rounds_half_up_over_every_code(black, white):
    codes = np.arange(0, min(white + 300, 65536), dtype=np.uint32)
    codes = codes[(codes < black + 2000) | (codes > white - 2000)].astype(np.uint16)
    got = morvik.reduce_to_8bit(codes.reshape(1, -1), black, white)[0]
    model = [0 if v <= black else min(255, int(Fraction(255 * (int(v) - black), white - black) + Fraction(1, 2)))
             for v in codes]
    assert got.tolist() == model


def test_refusals(tmp_path):
    plane = np.full((48, 64), 1000, dtype=np.uint16)
    cases = {
        # R G / B G is one R, one B and two G, but not a Bayer cell.
        "columns.dng": (write_dng(tmp_path / "columns.dng", plane, 0, cfa=(0, 1, 2, 1)), 3, "RG/BG is not a Bayer cell"),
        "dark.dng": (write_dng(tmp_path / "dark.dng", plane, 0, black=(900,), white=900), 4, "white level"),
        "missing.dng": (tmp_path / "missing.dng", 1, "cannot open"),
        "text.txt": (tmp_path / "text.txt", 2, "not a raw file"),
    }
    (tmp_path / "text.txt").write_text("not a raw file at all\n" * 100)
    for name, (path, status, words) in cases.items():
        with pytest.raises(morvik.MorvikError) as info:
            morvik.read_raw(path)
        assert info.value.status == status, name
        assert words in info.value.reason and path.name in info.value.reason, name


def test_linear_dng_is_refused(tmp_path):
    import tifffile

    rgb = np.full((48, 64, 3), 1000, dtype=np.uint16)
    path = tmp_path / "linear.dng"
    tifffile.imwrite(path, rgb, photometric=34892, extratags=[(50706, "B", 4, (1, 4, 0, 0), True),
                                                               (50708, "s", 0, "Morvik Linear", True)],
                     subfiletype=0)
    with pytest.raises(morvik.MorvikError) as info:
        morvik.read_raw(path)
    assert info.value.status == 3 and "no colour-filter mosaic" in info.value.reason


def test_content_detection(tmp_path):
    dng = write_dng(tmp_path / "x.dng", np.zeros((48, 64), dtype=np.uint16) + 100, 1, white=4095)
    renamed = tmp_path / "x.raw"
    renamed.write_bytes(dng.read_bytes())
    assert morvik.is_raw_file(dng) and morvik.is_raw_file(renamed)
    assert not morvik.is_raw_file(LSC_RAW)
    assert not morvik.is_raw_file(EXAMPLES / "verify" / "flat_64x48.bmp")
    assert not morvik.is_raw_file(tmp_path / "missing")


def test_image_reader(tmp_path):
    image = morvik.read_image(EXAMPLES / "verify" / "flat_64x48.bmp")
    assert image.dtype == np.uint8 and image.shape == (48, 64, 3)
    with pytest.raises(morvik.MorvikError) as info:
        morvik.read_image(LSC_RAW)
    assert info.value.status == 2
    with pytest.raises(morvik.MorvikError) as info:
        morvik.read_image(tmp_path / "none.png")
    assert info.value.status == 1


@pytest.mark.parametrize("order", [0, 3])
def test_cli_reads_dng_by_content(cli, tmp_path, order):
    flat = cropped_flat(order)
    black = (60, 62, 64, 66)
    planted = flat.astype(np.uint16) * 16 + np.tile(np.array(black, np.uint16).reshape(2, 2), (118, 158))
    # A DNG under a bare file's extension: the content decides.
    dng = write_dng(tmp_path / "flat.raw", planted, order, black=black, white=66 + 255 * 16)
    bare = tmp_path / "flat.bin"
    raw8 = morvik.read_raw(dng).plane8()
    raw8.tofile(bare)

    want = run_cli(cli, "lsc", bare, "--width", 316, "--height", 236, "--bayer", order)
    got = run_cli(cli, "lsc", dng)
    assert got.pop("input") == {"file": str(dng), "format": "DNG", "make": "Morvik", "model": "Test Camera",
                                "width": 316, "height": 236, "pattern": morvik.BAYER_ORDERS[order],
                                "bayer_order": order, "black": list(black), "white": 66 + 255 * 16, "bits": 13,
                                "black_subtracted": True}
    assert got == want
    text = run_cli(cli, "lsc", dng, json_out=False)
    assert text.startswith(f"read              flat.raw (DNG, Morvik Test Camera): 316 x 236, "
                           f"{morvik.BAYER_ORDERS[order]} (Bayer order {order}), black 60 62 64 66, white 4146")

    want = run_cli(cli, "verify", "unbalance", bare, "--raw", "--width", 316, "--height", 236, "--bayer", order)
    got = run_cli(cli, "verify", "unbalance", dng)
    assert got.pop("input")["bayer_order"] == order and got == want
    kept = run_cli(cli, "verify", "unbalance", dng, "--no-black")
    assert kept["input"]["black_subtracted"] is False and kept["mean"] != want["mean"]

    out = run_cli(cli, "awb", "filter", dng, "--mask", tmp_path / "m.png", "--image", tmp_path / "i.png",
                  json_out=False)
    assert out.startswith("read: flat.raw (DNG")
    assert np.array_equal(morvik.read_image(tmp_path / "m.png")[:, :, 0] == 255, morvik.awb_filter(raw8, order).mask)


def test_cli_raw_input_errors(cli, tmp_path):
    dng = write_dng(tmp_path / "x.dng", np.full((48, 64), 500, np.uint16), 1, white=1023)
    cols = write_dng(tmp_path / "cols.dng", np.full((48, 64), 500, np.uint16), 1, white=1023, cfa=(0, 1, 2, 1))
    for args, words in [((cols,), "not a Bayer sensor"), ((dng, "--width", 100), "--width 100 differs"),
                        ((LSC_RAW,), "--width and --height are needed")]:
        proc = run_cli(cli, "lsc", *args, check=False)
        assert proc.returncode == 2 and words in proc.stderr, proc.stderr


def test_raw_image_feeds_every_raw_family(tmp_path):
    flat = cropped_flat(2)
    raw = morvik.read_raw(write_dng(tmp_path / "f.dng", flat.astype(np.uint16) * 4 + 16, 2, black=(16,),
                                    white=16 + 1020))
    assert morvik.unbalance_verify(raw).mean.tolist() == morvik.unbalance_verify(flat, 2).mean.tolist()
    assert morvik.defect_verify(raw).green_check_threshold == morvik.defect_verify(flat, 16, 2).green_check_threshold
    assert np.array_equal(morvik.awb_filter(raw).mask, morvik.awb_filter(flat, 2).mask)
    assert morvik.lens_shading(raw, chip="kt3").gamma.tolist() == morvik.lens_shading(flat, 2, chip="kt3").gamma.tolist()
