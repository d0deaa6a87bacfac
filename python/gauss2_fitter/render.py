"""Super-resolution pictures of localisation tables, and image files.

    sr = render_localizations(locs, oversampling=10)          # each spot a Gaussian of its precision
    hist = render_localizations(locs, oversampling=10, blur=None)   # a 2-D histogram
    save_image(sr, "sr.png", pixel_size=100 / 10)              # colour map and a scale bar

Output pixel (row i, column j) covers camera positions [j, j + 1) / s x
[i, i + 1) / s for oversampling s (positions as in the table: a camera
pixel's centre at + 0.5). With blur="precision" each localisation adds a
Gaussian of standard deviations lpx, lpy, integrated over each output pixel,
of total 1; with a number, a Gaussian of that sigma (camera pixels) for all;
with None, 1 to the pixel holding it. Rows flagged (flag != 0), with
positions that are not finite, or (for "precision") without a finite
positive precision are left out.
"""

import math
from pathlib import Path

import numpy as np

from ._checks import as_real

IMAGE_SUFFIXES = (".png", ".tif", ".tiff", ".npy")
_BATCH_VALUES = 1 << 22  # values of Gaussian footprints computed at once
# The largest picture drawn: 16384 x 16384 pixels, 2 GiB as float64 (a
# 2048 x 2048 camera at oversampling 8). A frame size read from a file
# (a YAML of three lines) asks for no more.
MAX_PIXELS = 1 << 28


def _column(locs, name):
    try:
        return np.asarray(locs[name], dtype=np.float64)
    except (KeyError, IndexError, ValueError):
        raise ValueError(f"locs lacks the column {name}") from None


def _oversampling(value):
    return as_real("oversampling", value, positive=True)


def rendered_rows(locs, blur="precision"):
    """Which rows render_localizations draws (a boolean array)."""
    x, y = _column(locs, "x"), _column(locs, "y")
    keep = np.isfinite(x) & np.isfinite(y)
    if "flag" in getattr(locs, "columns", locs):
        keep &= np.asarray(locs["flag"]) == 0
    if isinstance(blur, str):
        if blur != "precision":
            raise ValueError(f"blur must be 'precision', a sigma in pixels or None, got {blur!r}")
        for c in ("lpx", "lpy"):
            v = _column(locs, c)
            keep &= np.isfinite(v) & (v > 0)
    return keep


def image_shape(locs, shape=None):
    """(h, w) of the camera frames: `shape`, else the table's attributes,
    else the smallest that holds every position of an unflagged row (a
    failed fit's position may lie anywhere): a position x lies in pixel
    floor(x), so x = 5.0 needs 6 columns."""
    if shape is not None:
        h, w = (int(v) for v in shape)
    elif "height" in getattr(locs, "attrs", {}) and "width" in locs.attrs:
        h, w = int(locs.attrs["height"]), int(locs.attrs["width"])
    else:
        x, y = _column(locs, "x"), _column(locs, "y")
        ok = np.isfinite(x) & np.isfinite(y)
        if "flag" in getattr(locs, "columns", locs):
            ok &= np.asarray(locs["flag"]) == 0
        h = int(np.floor(y[ok].max())) + 1 if ok.any() else 1
        w = int(np.floor(x[ok].max())) + 1 if ok.any() else 1
    if h < 1 or w < 1:
        raise ValueError(f"image shape must be positive, got {(h, w)}")
    return h, w


def render_localizations(locs, oversampling=10, blur="precision", shape=None):
    """A super-resolution image of a localisation table.

    Output pixel (row i, column j) covers camera positions [j, j + 1) / s x
    [i, i + 1) / s for oversampling s. Flagged rows (flag != 0), rows
    without a finite position and (for blur="precision") without a finite
    positive precision are left out (`rendered_rows` tells which).

    Parameters
    ----------
    locs : pandas.DataFrame or mapping
        Columns x, y (camera pixels; a pixel's centre at + 0.5), flag when
        present, lpx, lpy for blur="precision".
    oversampling : float, optional
        Output pixels per camera pixel, positive (default 10).
    blur : "precision", float or None, optional
        "precision": each localisation a Gaussian of its own lpx, lpy,
        integrated over the output pixels, of total 1; a number: a Gaussian
        of that sigma (camera pixels) for all; None: a 2-D histogram.
    shape : tuple of int, optional
        (h, w) of the camera frames; default the table's attrs (height,
        width), else the smallest that holds every position.

    Returns
    -------
    numpy.ndarray
        float64, (round(h * oversampling), round(w * oversampling)).

    Raises
    ------
    TypeError
        `oversampling` or `blur` of the wrong type.
    ValueError
        A missing column, `oversampling` or a blur sigma that is not
        positive, an image too large (above MAX_PIXELS, 2**28 pixels).

    Examples
    --------
    >>> import pandas as pd
    >>> locs = pd.DataFrame({"x": [2.5, 2.6, 7.0], "y": [1.5, 1.5, 3.2], "flag": [0, 0, 2]})
    >>> hist = g2.render_localizations(locs, oversampling=2, blur=None, shape=(4, 8))
    >>> hist.shape, hist.sum(), hist[3, 5]      # the flagged row is left out
    ((8, 16), 2.0, 2.0)
    >>> sr = g2.render_localizations(locs, oversampling=4, blur=0.25, shape=(4, 8))
    >>> round(float(sr.sum()), 4)
    2.0
    """
    s = _oversampling(oversampling)
    if blur is not None and not isinstance(blur, str):
        blur = as_real("blur", blur, positive=True, kind="'precision', a number or None")
    h, w = image_shape(locs, shape)
    H, W = max(1, round(h * s)), max(1, round(w * s))
    if H * W > MAX_PIXELS:
        raise ValueError(f"a {H} x {W} image of {h} x {w} frames is too large (at most {MAX_PIXELS} pixels); lower "
                         "the oversampling")
    keep = rendered_rows(locs, blur)
    X = _column(locs, "x")[keep] * s
    Y = _column(locs, "y")[keep] * s
    if blur is None:
        return histogram(X, Y, (H, W))
    image = np.zeros(H * W)
    if isinstance(blur, str):
        SX, SY = _column(locs, "lpx")[keep] * s, _column(locs, "lpy")[keep] * s
    else:
        SX = SY = np.full(len(X), blur * s)
    _add_gaussians(image, H, W, X, Y, SX, SY)
    return image.reshape(H, W)


def histogram(X, Y, shape, dtype=np.float64):
    """A 2-D histogram of `shape` (H, W): pixel (i, j) counts the points
    with floor(Y) == i and floor(X) == j (X, Y in output pixels; points
    outside are left out). Sparse points (fewer than an eighth of the
    pixels, as localisations on a fine grid are) are counted by sorting
    them, dense ones by bincount: either way no pass over the image but
    its allocation."""
    H, W = shape
    j, i = np.floor(X), np.floor(Y)
    ok = (j >= 0) & (j < W) & (i >= 0) & (i < H)
    flat = i[ok].astype(np.int64) * W + j[ok].astype(np.int64)
    if len(flat) * 8 < H * W:
        image = np.zeros(H * W, dtype=dtype)
        where, counts = np.unique(flat, return_counts=True)
        image[where] = counts
    else:
        image = np.bincount(flat, minlength=H * W).astype(dtype, copy=False)
    return image.reshape(H, W)


def _span(centre, reach, size):
    """The pixels [lo, hi) of an axis of `size` pixels that a footprint
    reaching `reach` pixels beyond the one holding `centre` covers, clipped
    to the axis (lo == hi: none), computed in float so that any finite
    centre and reach are fine."""
    first = np.floor(centre) - reach
    lo = np.clip(first, 0, size).astype(np.int64)
    hi = np.clip(first + 2 * reach + 1, 0, size).astype(np.int64)
    return lo, hi


def _axis_weights(centre, sigma, lo, hi, width):
    """Pixel-integrated Gaussian weights over the `width` pixels from lo
    (n, width), zero from each row's hi on, and those pixels' indices."""
    from scipy.special import ndtr

    edges = lo[:, None] + np.arange(width + 1)[None, :]
    cdf = ndtr((edges - centre[:, None]) / sigma[:, None])
    weights = np.diff(cdf, axis=1)
    weights[edges[:, :-1] >= hi[:, None]] = 0.0
    return weights, edges[:, :-1]


def _add_gaussians(image, H, W, X, Y, SX, SY):
    # Each footprint reaches 5 sigma (the tails beyond hold < 1e-6) and is
    # computed only where it overlaps the image: a very wide one (a fit with
    # a huge reported error), or one far outside, would otherwise take memory
    # by its square.
    reach = np.ceil(5 * np.maximum(SX, SY)) + 1
    jlo, jhi = _span(X, reach, W)
    ilo, ihi = _span(Y, reach, H)
    touches = (jhi > jlo) & (ihi > ilo)
    X, Y, SX, SY, jlo, jhi, ilo, ihi = (a[touches] for a in (X, Y, SX, SY, jlo, jhi, ilo, ihi))
    # Footprints of similar size together, so that each batch's window fits
    # its members without computing far tails of small ones.
    cells = (jhi - jlo) * (ihi - ilo)
    order = np.argsort(cells, kind="stable")
    lo = 0
    while lo < len(order):
        n = max(1, _BATCH_VALUES // int(cells[order[lo]]))
        hi = min(len(order), lo + n)
        # Sorted by size: shrink the batch until its largest member fits too.
        while hi - lo > 1 and (hi - lo) * int(cells[order[hi - 1]]) > _BATCH_VALUES:
            hi = lo + (hi - lo) // 2
        idx = order[lo:hi]
        wx, jx = _axis_weights(X[idx], SX[idx], jlo[idx], jhi[idx], int((jhi[idx] - jlo[idx]).max()))
        wy, iy = _axis_weights(Y[idx], SY[idx], ilo[idx], ihi[idx], int((ihi[idx] - ilo[idx]).max()))
        vals = wy[:, :, None] * wx[:, None, :]
        inside = ((iy < H)[:, :, None] & (jx < W)[:, None, :]) & (vals != 0.0)
        flat = iy[:, :, None] * W + jx[:, None, :]
        image += np.bincount(flat[inside], weights=vals[inside], minlength=H * W)
        lo = hi


# ---- image files --------------------------------------------------------------


def image_format(path):
    """The suffix of an image file this package writes; ValueError for others.
    Standard output (`-`) takes .npy."""
    name = str(getattr(path, "name", path))
    if name == "-":
        return ".npy"
    suffix = Path(name).suffix.lower()
    if suffix not in IMAGE_SUFFIXES:
        raise ValueError(f"{path}: unknown image format {suffix or '(no suffix)'}; use .png, .tif, .tiff or .npy")
    return suffix


def _scale_bar(width_px, nm_per_px):
    """A round length (1, 2 or 5 x 10^k nm) near a fifth of the width, and its label."""
    target = width_px * nm_per_px / 5
    length = 10 ** math.floor(math.log10(target))
    for m in (5, 2, 1):
        if m * length <= target:
            length *= m
            break
    label = f"{length / 1000:g} µm" if length >= 1000 else f"{length:g} nm"
    return length, label


def png_bytes(image, pixel_size=None, cmap="hot"):
    """The image as a PNG (one image pixel per PNG pixel) through a colour
    map, the brightest 0.5 % of the lit pixels saturated; with pixel_size
    (nm per image pixel) a scale bar in the lower right corner."""
    import io

    from matplotlib.figure import Figure
    from matplotlib.patches import Rectangle

    a = np.asarray(image, dtype=np.float64)
    if a.ndim != 2 or a.size == 0:
        raise ValueError(f"a picture needs a 2-D image, got shape {a.shape}")
    H, W = a.shape
    lit = a[np.isfinite(a) & (a > 0)]
    vmax = float(np.percentile(lit, 99.5)) if lit.size else 1.0
    dpi = 100
    fig = Figure(figsize=(W / dpi, H / dpi), dpi=dpi)
    ax = fig.add_axes([0, 0, 1, 1])
    ax.imshow(a, cmap=cmap, vmin=0, vmax=vmax if vmax > 0 else 1.0, interpolation="nearest")
    ax.set_axis_off()
    if pixel_size:
        length, label = _scale_bar(W, pixel_size)
        bar = length / pixel_size
        thick = max(2.0, H / 100)
        x0, y0 = W - W / 20 - bar, H - H / 20 - thick
        ax.add_patch(Rectangle((x0 - 0.5, y0 - 0.5), bar, thick, color="white"))
        ax.text(x0 + bar / 2, y0 - thick, label, color="white", ha="center", va="bottom",
                fontsize=max(6.0, H / 40 * 72 / dpi))
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=dpi)
    return buf.getvalue()


def save_image(image, path, pixel_size=None):
    """Writes a 2-D image to `path` in the format its suffix names: .npy
    (float64 as it is), .tif/.tiff (float32 through tifffile, with the
    resolution when pixel_size, nm per image pixel, is known) or .png
    (see png_bytes). Other suffixes are refused (ValueError) before anything
    is written; the output is written as outputs.py describes (a regular
    file appears complete or not at all)."""
    import io

    from .outputs import open_output, resolve_output

    suffix = image_format(path)
    a = np.asarray(image)
    if a.ndim != 2:
        raise ValueError(f"an image must be 2-D, got shape {a.shape}")
    out = resolve_output(path)
    if suffix == ".png":
        data = png_bytes(a, pixel_size)
    else:
        buf = io.BytesIO()
        if suffix == ".npy":
            np.save(buf, np.asarray(a, dtype=np.float64), allow_pickle=False)
        else:
            import tifffile

            kw = {}
            if pixel_size:
                um = pixel_size / 1000.0
                kw = {"imagej": True, "resolution": (1 / um, 1 / um), "metadata": {"unit": "um"}}
            tifffile.imwrite(buf, np.asarray(a, dtype=np.float32), **kw)
        data = buf.getvalue()
    with open_output(out) as f:
        f.write(data)
    return Path(out.name)
