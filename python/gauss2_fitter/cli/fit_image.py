"""`fit IMAGE [PEAKS]`: the per-peak table of one image, as earlier
versions of the tool wrote it (FIT_COLUMNS): a single-frame image fitted
into a .csv with none of the movie options, or with its PEAKS list.

Its rows: x, y (the peak pixel), the fitted amp std_x std_y pos_x pos_y rho
offset with positions in image coordinates, their standard errors (*_se),
the residual noise and the flag (1: not measured). Values that no fit
produced, positions that wandered off their window in flagged rows, and
every non-finite value are empty cells.
"""

import sys
import warnings

import numpy as np

from .. import fitter
from .._checks import PixelScaleWarning, largest_abs, pixel_scale_problem
from .._lib import PARAM_NAMES, RECORD_SIZE
from ..movie import MovieError, open_movie
from ..outputs import open_output, resolve_output
from ..peaks import detection_threshold, find_peaks, no_window_fits, why_no_peaks
from ..pipeline import peak_table
from ._common import PROG, CliError, read_peak_list, warn

FIT_COLUMNS = ("x", "y") + PARAM_NAMES + tuple(f"{p}_se" for p in PARAM_NAMES) + ("noise", "flag")
CHUNK = 16384  # peaks per native batch between progress updates


def check_smoothing(smooth, shape):
    """A smoothing wider than the image only flattens it (and its kernel
    would grow with the width, not with the image)."""
    h, w = shape
    if smooth > min(h, w):
        raise CliError(f"--smooth {smooth:g} px is wider than the {w} x {h} image (at most {min(h, w)})")


def load_image(path):
    """The one frame of a movie file (any format movie.py reads), as a 2-D
    float64 image."""
    try:
        mv = open_movie(path)
        if mv.n_frames != 1:
            raise CliError(f"image {path}: holds {mv.n_frames} frames; give one image, or ask for the localisation "
                           "table (--table)")
        im = mv.read(0, 1)[0]
    except (MovieError, OSError) as e:
        raise CliError(str(e)) from None
    if im.size == 0:
        raise CliError(f"image {path}: is empty, shape {im.shape}")
    return np.ascontiguousarray(im, dtype=np.float64)


def _progress(total, enabled):
    """A tqdm progress bar on stderr when tqdm is importable (shown on a
    terminal after a second's work); otherwise a stand-in that does nothing."""
    if enabled is not False:
        try:
            from tqdm import tqdm

            return tqdm(total=total, unit="fit", unit_scale=True, delay=1.0, file=sys.stderr,
                        disable=None if enabled is None else False, leave=False)
        except ImportError:
            pass

    class _Silent:
        def update(self, n):
            pass

        def close(self):
            pass

    return _Silent()


def fit_image(im, x, y, mea, n_threads=None, progress=None):
    """Fits every peak pixel (x, y) of `im` in chunks; returns (rows, flags of
    the peaks outside the image, flags of windows leaving it). rows is (n,
    18) as FIT_COLUMNS, positions in image coordinates; values that no fit
    produced are NaN. The image's scale is the caller's to report: no
    PixelScaleWarning is raised."""
    h, w = im.shape
    n = len(x)
    outside = (x < 0) | (x >= w) | (y < 0) | (y >= h)
    near_border = ~outside & ~fitter.windows_inside(x, y, mea, (h, w))
    # Peaks outside the image go to the library as -1, which it skips (it
    # would flag them anyway), so that they are reported as outside.
    cx = np.where(outside, -1, x).astype(np.int64)
    cy = np.where(outside, -1, y).astype(np.int64)
    rec = np.empty((n, RECORD_SIZE))
    std = np.empty((n, RECORD_SIZE))
    flag = np.empty(n, dtype=np.int64)
    bar = _progress(n, progress)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", PixelScaleWarning)
            for lo in range(0, n, CHUNK):
                hi = min(n, lo + CHUNK)
                rec[lo:hi], std[lo:hi], flag[lo:hi] = fitter.fit_peaks(im, cx[lo:hi], cy[lo:hi], mea=mea,
                                                                       n_threads=n_threads)
                bar.update(hi - lo)
    finally:
        bar.close()
    rows = np.empty((n, len(FIT_COLUMNS)))
    rows[:, 0], rows[:, 1] = x, y
    rows[:, 2:9] = rec[:, :7]
    rows[:, 5] += fitter.window_origin(x, mea)  # patch frame -> image
    rows[:, 6] += fitter.window_origin(y, mea)
    rows[:, 9:16] = std[:, :7]
    rows[:, 16] = rec[:, 8]
    rows[:, 17] = flag
    unfitted = outside | near_border
    rows[unfitted, 2:17] = np.nan
    return rows, outside, near_border


def _describe(mask, x, y, what):
    idx = np.flatnonzero(mask)
    shown = ", ".join(f"({x[i]}, {y[i]})" for i in idx[:3]) + (", ..." if len(idx) > 3 else "")
    return f"{len(idx)} peak(s) {what}, e.g. (x, y) = {shown}; flagged, written with empty fits"


def unmeasured_as_missing(rows, mea):
    """The per-peak rows as they are written: flagged rows keep what the fit
    returned, but a position outside the peak's mea x mea window (the fit
    wandered off the pixels it saw) is missing, and so is every non-finite
    value, in any row. Missing values are NaN, written as empty cells."""
    rows = rows.copy()
    rows[:, 2:17][~np.isfinite(rows[:, 2:17])] = np.nan
    flagged = rows[:, 17] != 0
    for pos, centre in ((5, 0), (6, 1)):
        lo = fitter.window_origin(rows[:, centre], mea)
        with np.errstate(invalid="ignore"):
            off = flagged & ~((rows[:, pos] >= lo) & (rows[:, pos] <= lo + mea))
        rows[off, pos] = np.nan
    return rows


def write_fit_csv(f, rows):
    """The rows as CSV with a header; NaN becomes an empty cell."""
    f.write((",".join(FIT_COLUMNS) + "\n").encode())
    fmt = "%d,%d," + ",".join(["%.12g"] * 15) + ",%d\n"
    for lo in range(0, len(rows), 10000):
        text = "".join(fmt % tuple(r) for r in rows[lo:lo + 10000].tolist())
        f.write(text.replace("nan", "").encode())


def warn_about_image(im):
    """Warnings for NaN pixels and for values outside the trusted range."""
    n_nan = int(np.count_nonzero(np.isnan(im)))
    if n_nan:
        warn(f"the image holds {n_nan} NaN pixel(s); peaks whose window covers one are flagged")
    problem = pixel_scale_problem("the image", largest_abs(im))
    if problem:
        warn(problem)


def peak_pixels(args, im):
    """The peak pixels to fit: from the CSV file, or found in the image."""
    if args.peaks not in (None, "-"):
        table = read_peak_list(args.peaks, args.pixel_size)
        _, x, y = peak_table({"frame": np.zeros(len(table)), "x": table["x"], "y": table["y"]})
        return x, y
    check_smoothing(args.smooth, im.shape)
    threshold = detection_threshold(im, args.smooth) if args.threshold is None else args.threshold
    x, y = find_peaks(im, threshold=threshold, mea=args.mea, smooth=args.smooth)
    print(f"{PROG}: found {len(x)} peaks (threshold {threshold:.6g}, smoothing {args.smooth:g} px)",
          file=sys.stderr)
    if not len(x):
        warn(f"no peak to fit: {why_no_peaks(im, threshold, args.mea, args.smooth)}")
    return x, y


def run(args):
    """The per-peak table of args.image (options checked by the caller)."""
    out = resolve_output(args.output)
    im = load_image(args.image)
    h, w = im.shape
    warn_about_image(im)
    with open_output(out) as f:
        x, y = peak_pixels(args, im)
        rows, outside, near_border = fit_image(im, x, y, args.mea, args.threads, None if args.progress else False)
        if outside.any():
            warn(_describe(outside, x, y, f"outside the {w} x {h} image"))
        if near_border.any():
            small = no_window_fits((h, w), args.mea)
            warn(f"{small}; {np.count_nonzero(near_border)} peak(s) flagged, written with empty fits" if small else
                 _describe(near_border, x, y, f"too close to the border for a window of {args.mea} x {args.mea}"))
        write_fit_csv(f, unmeasured_as_missing(rows, args.mea))
    flagged = int(np.count_nonzero(rows[:, 17]))
    print(f"{PROG}: fitted {len(x) - flagged} of {len(x)} peaks ({flagged} flagged) -> {out.name}", file=sys.stderr)
    return 0
