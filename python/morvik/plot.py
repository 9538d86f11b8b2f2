"""Pictures of calibration results with matplotlib.

Each function returns a ``matplotlib.figure.Figure`` built without pyplot,
so it works without a display: save it with ``fig.savefig("x.png")`` or
show it in a notebook. matplotlib is imported by this module only.
"""

from __future__ import annotations

from typing import Any, Optional

import numpy as np
from matplotlib.figure import Figure
from matplotlib.patches import Rectangle

from . import _buffers
from .awb import AwbCalibration, AwbFilterResult
from .color import ColorDifference, ColorError
from .gamma import GAMMA_POSITIONS, GAMMA_PREVIEW_INPUTS, GammaUpdate
from .grid_shading import ShadingTable
from .io import RawImage
from .shading import SHADING_RINGS, LensShading

__all__ = ["lens_shading", "block_means", "awb_calibration", "grey_points", "awb_windows", "awb_filter",
           "color_error", "color_difference", "gamma_previews", "grid_gains"]

_RGB = ("tab:red", "tab:green", "tab:blue")

# Cell sites of the greens for each Bayer order (0 R, 1 Gr, 2 Gb, 3 B).
_GREEN_SITES = {0: (1, 2), 1: (0, 3), 2: (0, 3), 3: (1, 2)}


def block_means(raw: Any, bayer_order: int, block: int = 4) -> np.ndarray:
    """Mean of the green samples of every whole ``block`` x ``block`` block
    of a raw plane (a remainder of rows and columns is left out), as the
    shading calculation averages its blocks. Returns (rows, columns)."""
    plane = _buffers.plane8(raw, "raw", min_size=(block, block)).astype(np.float64)
    order = _buffers.in_range(bayer_order, "bayer_order", 0, 3)
    h, w = (plane.shape[0] // block) * block, (plane.shape[1] // block) * block
    greens = np.zeros((h, w), dtype=bool)
    for site in _GREEN_SITES[order]:
        greens[site // 2::2, site % 2::2] = True
    p = plane[:h, :w]
    sums = np.where(greens, p, 0).reshape(h // block, block, w // block, block).sum(axis=(1, 3))
    counts = greens.reshape(h // block, block, w // block, block).sum(axis=(1, 3))
    return sums / counts


def lens_shading(result: LensShading, raw: Any = None, bayer_order: Optional[int] = None) -> Figure:
    """The three shading curves (gamma nodes over the rings) and, given the
    flat field ``raw``, its green block-mean surface with the found optical
    centre. ``bayer_order`` defaults to a ``RawImage``'s."""
    fig = Figure(figsize=(11 if raw is not None else 6, 4.5), layout="constrained")
    curves = fig.add_subplot(1, 2 if raw is not None else 1, 1)
    for gamma, colour, name in zip(result.gamma, _RGB, "RGB"):
        curves.plot(SHADING_RINGS, gamma, "o-", color=colour, label=name)
    curves.set(xlabel="ring", ylabel="shading gamma node", xlim=(0, 256), ylim=(0, 260),
               title=f"Shading curves (radius factor {result.radius_factor}, curve {result.curve_select})")
    curves.legend()
    curves.grid(alpha=0.3)
    if raw is not None:
        if bayer_order is None:
            if not isinstance(raw, RawImage):
                raise ValueError("bayer_order: required for a plane given as an array")
            bayer_order = raw.bayer_order
        means = block_means(raw.plane8() if isinstance(raw, RawImage) else raw, bayer_order)
        ax = fig.add_subplot(1, 2, 2)
        image = ax.imshow(means, cmap="viridis", origin="upper", extent=(0, means.shape[1] * 4, means.shape[0] * 4, 0))
        ax.contour(np.arange(means.shape[1]) * 4 + 2, np.arange(means.shape[0]) * 4 + 2, means, levels=8,
                   colors="white", linewidths=0.6, alpha=0.7)
        cx, cy = result.center
        ax.plot([cx], [cy], "r+", markersize=16, markeredgewidth=2, label=f"centre ({cx:g}, {cy:g})")
        ax.set(title="Green 4x4 block means", xlabel="x (pixels)", ylabel="y (pixels)")
        ax.legend(loc="lower right")
        fig.colorbar(image, ax=ax, label="mean level")
    return fig


def grey_points(entries: Any, result: AwbCalibration) -> np.ndarray:
    """The grey points of ``entries`` (n, 4) in the plane the calibration
    projects them to, with its gains and coefficients, single precision:
    (n, 2) of X = (b U - a V) / 64 / S * 128, Y = (b U + a V) / 64 / S * 128."""
    e = _buffers.array(entries, "entries", (None, 4), np.uint16).astype(np.float32)
    g = result.gains.astype(np.float32)
    p, q, r = (e[:, k + 1] * g[k] / np.float32(64) for k in range(3))
    s = np.float32(0.5) * q + np.float32(0.25) * (p + r)
    u, v = p - s, r - s
    a, b = np.float32(result.coef_a), np.float32(result.coef_b)
    x = (b * u - a * v) / np.float32(64) / s * np.float32(128)
    y = (b * u + a * v) / np.float32(64) / s * np.float32(128)
    return np.stack([x, y], axis=1)


def awb_calibration(entries: Any, result: AwbCalibration) -> Figure:
    """Grey points in the projected plane, labelled by key, with the region
    limits as the result bytes give them (X from -x_lower/2 to x_upper, Y
    from -y_lower to y_upper)."""
    pts = grey_points(entries, result)
    keys = _buffers.array(entries, "entries", (None, 4), np.uint16)[:, 0]
    fig = Figure(figsize=(6.5, 5), layout="constrained")
    ax = fig.add_subplot()
    sc = ax.scatter(pts[:, 0], pts[:, 1], c=keys, cmap="coolwarm_r", zorder=3)
    for (x, y), key in zip(pts, keys):
        ax.annotate(str(key), (x, y), textcoords="offset points", xytext=(4, 4), fontsize=8)
    x0, x1, y0, y1 = -result.x_lower / 2.0, float(result.x_upper), -float(result.y_lower), float(result.y_upper)
    ax.add_patch(Rectangle((x0, y0), x1 - x0, y1 - y0, fill=False, linestyle="--", edgecolor="black",
                           label="grey region limits"))
    ax.axhline(0, color="grey", linewidth=0.5)
    ax.axvline(0, color="grey", linewidth=0.5)
    ax.set(xlabel="X (first axis)", ylabel="Y (second axis)",
           title=f"AWB grey points, a = {result.coef_a}, b = {result.coef_b}")
    ax.legend(loc="best")
    fig.colorbar(sc, ax=ax, label="key")
    return fig


def awb_windows(windows: np.ndarray, lights: Any = None) -> Figure:
    """Light-source windows (rows of upper v, lower v, lower u, upper u, as
    ``awb_windows`` returns them) in the (u, v) plane, with the light
    centres when ``lights`` (5, 4) is given."""
    w = _buffers.array(windows, "windows", (None, 4), np.float64)
    fig = Figure(figsize=(6.5, 5), layout="constrained")
    ax = fig.add_subplot()
    for i, (upper_v, lower_v, lower_u, upper_u) in enumerate(w):
        colour = f"C{i % 10}"
        ax.add_patch(Rectangle((lower_u, lower_v), upper_u - lower_u, upper_v - lower_v, fill=False,
                               edgecolor=colour, linewidth=1.5 if i < 5 else 1.0, linestyle="-" if i < 5 else ":"))
        ax.annotate(f"W{i}", ((lower_u + upper_u) / 2, upper_v), color=colour, ha="center", va="bottom", fontsize=8)
    if lights is not None:
        li = _buffers.array(lights, "lights", (5, 4), np.float64)
        ax.plot(li[:, 0], li[:, 1], "k+", markersize=10, label="light centres")
        ax.legend(loc="best")
    ax.autoscale_view()
    ax.set(xlabel="u", ylabel="v", title="AWB light-source windows")
    return fig


def awb_filter(result: AwbFilterResult) -> Figure:
    """The demosaiced frame beside the pixels accepted as grey."""
    fig = Figure(figsize=(10, 4), layout="constrained")
    left, right = fig.add_subplot(1, 2, 1), fig.add_subplot(1, 2, 2)
    left.imshow(result.rgb, interpolation="nearest")
    left.set_title("Demosaiced frame")
    shown = result.rgb.copy()
    shown[~result.mask] = shown[~result.mask] // 4
    right.imshow(shown, interpolation="nearest")
    right.contour(result.mask.astype(float), levels=[0.5], colors="yellow", linewidths=0.8)
    right.set_title(f"Accepted as grey: {result.accepted} of {result.mask.size}")
    for ax in (left, right):
        ax.set_axis_off()
    return fig


def _ab_plane(ax: Any, reference: np.ndarray, before: Optional[np.ndarray], after: np.ndarray,
              after_label: str) -> None:
    ax.scatter(reference[:, 1], reference[:, 2], marker="o", facecolors="none", edgecolors="black",
               label="reference", zorder=3)
    if before is not None:
        ax.scatter(before[:, 1], before[:, 2], marker="x", color="tab:grey", label="before")
        for b, a in zip(before, after):
            ax.annotate("", xy=(a[1], a[2]), xytext=(b[1], b[2]),
                        arrowprops=dict(arrowstyle="->", color="tab:grey", alpha=0.5))
    ax.scatter(after[:, 1], after[:, 2], marker="s", s=18, color="tab:red", label=after_label, zorder=4)
    for i, r in enumerate(reference):
        ax.annotate(str(i), (r[1], r[2]), textcoords="offset points", xytext=(3, 3), fontsize=7)
    ax.axhline(0, color="grey", linewidth=0.5)
    ax.axvline(0, color="grey", linewidth=0.5)
    ax.set(xlabel="a*", ylabel="b*")
    ax.set_aspect("equal", adjustable="datalim")
    ax.legend(loc="best")


def color_error(result: ColorError) -> Figure:
    """Chart patches in the a*b* plane: reference, before and after the
    matrix, with mean Delta E*ab before and after in the title."""
    fig = Figure(figsize=(6.5, 6), layout="constrained")
    ax = fig.add_subplot()
    _ab_plane(ax, result.lab_reference, result.lab_uncorrected, result.lab_corrected, "after")
    ax.set_title(f"Colour chart: mean Delta E*ab {result.delta_e_before.mean():.2f} before, "
                 f"{result.delta_e_after.mean():.2f} after")
    return fig


def color_difference(result: ColorDifference) -> Figure:
    """Measured colours against the reference in the a*b* plane."""
    fig = Figure(figsize=(6.5, 6), layout="constrained")
    ax = fig.add_subplot()
    ref = np.asarray(result.reference_lab)
    _ab_plane(ax, ref, None, np.asarray(result.lab), "measured")
    for r, m in zip(ref, result.lab):
        ax.plot([r[1], m[1]], [r[2], m[2]], color="tab:red", alpha=0.4, linewidth=0.8)
    ax.set_title(f"Colour difference: mean Delta ab {float(np.mean(result.delta_ab)):.2f}")
    return fig


_TONE_COLOURS = ("black", "tab:red", "tab:green", "tab:blue", "tab:orange")


def gamma_previews(result: GammaUpdate) -> Figure:
    """The gamma (black) and its compositions after tone curves 1..4 (red,
    green, blue, orange): the 64-point previews as lines, the anchors as
    dots."""
    fig = Figure(figsize=(5.5, 5))
    ax = fig.add_subplot()
    for k in range(5):
        label = "gamma" if k == 0 else f"tone {k}"
        ax.plot(GAMMA_PREVIEW_INPUTS, result.previews[k], color=_TONE_COLOURS[k], lw=1.2, label=label)
        anchors = result.anchors if k == 0 else result.composed[k - 1]
        ax.plot(GAMMA_POSITIONS, anchors, "o", color=_TONE_COLOURS[k], ms=2.5)
    ax.plot([0, 255], [0, 255], color="0.8", lw=0.8, ls="--")
    ax.set_xlim(0, 255)
    ax.set_ylim(0, 255)
    ax.set_xlabel("input (8-bit)")
    ax.set_ylabel("output (8-bit)")
    ax.set_title("Gamma previews")
    ax.legend(loc="lower right", fontsize="small")
    return fig


def grid_gains(result: ShadingTable) -> Figure:
    """Node gains of a grid shading table (format ``"gains"``) as four
    images, channels 0 1 / 2 3, on one colour scale."""
    if result.node_gains is None:
        raise ValueError("result: node gains exist only in a table of format 'gains'")
    gains = result.node_gains
    fig = Figure(figsize=(8, 6.5))
    axes = fig.subplots(2, 2)
    lo, hi = float(gains.min()), float(gains.max())
    image = None
    for c, ax in enumerate(axes.flat):
        image = ax.imshow(gains[c], vmin=lo, vmax=hi, cmap="viridis", interpolation="nearest")
        ax.set_title(f"channel {c}")
        ax.set_xlabel("node column")
        ax.set_ylabel("node row")
    fig.colorbar(image, ax=list(axes.flat), label="gain")
    fig.suptitle(f"Grid shading gains ({result.nx} x {result.ny} nodes)")
    return fig
