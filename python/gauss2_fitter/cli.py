"""Command-line tool: fit the peaks of an image, render peaks into one, run the demo.

    python3 -m gauss2_fitter fit IMAGE [PEAKS] -o OUT.csv [--mea 11] [--threads N]
    python3 -m gauss2_fitter render PEAKS.csv --shape H W -o IMAGE.npy [--mea 11]
    python3 -m gauss2_fitter demo [--size 2048] [--spots 20000] [--out out]

Images are .npy files (2-D, real values), or .tif/.tiff when the tifffile
package is installed. Coordinates follow the library's image convention:
pixel (column x, row y) covers [x, x + 1) x [y, y + 1), so its centre is at
(x + 0.5, y + 0.5). Errors end the program with status 1 (2 for bad
usage) and leave any existing output untouched: outputs are written to a
temporary file beside the target and renamed into place once complete.
"""

import argparse
import csv
import os
import sys
import tempfile
from contextlib import contextmanager
from pathlib import Path

import numpy as np

from . import fitter
from ._checks import MAX_MEA
from .peaks import detection_threshold, find_peaks

PROG = "python3 -m gauss2_fitter"
PEAK_COLUMNS = ("x", "y")
FIT_COLUMNS = (("x", "y") + fitter.PARAM_NAMES + tuple(f"{p}_se" for p in fitter.PARAM_NAMES)
               + ("noise", "flag"))
CHUNK = 16384  # peaks per native batch between progress updates


class CliError(Exception):
    """A problem with the user's input, reported as one line without a traceback."""


def warn(message):
    print(f"{PROG}: warning: {message}", file=sys.stderr)


# ---- input ---------------------------------------------------------------------


def load_image(path):
    """A 2-D float64 image from a .npy or .tif/.tiff file."""
    path = Path(path)
    if not path.is_file():
        raise CliError(f"image {path}: no such file" if not path.exists() else f"image {path}: not a file")
    suffix = path.suffix.lower()
    try:
        if suffix == ".npy":
            im = np.load(path, allow_pickle=False)
        elif suffix in (".tif", ".tiff"):
            try:
                import tifffile
            except ImportError:
                raise CliError(f"image {path}: reading TIFF needs the tifffile package, which is not installed "
                               "(Debian: apt-get install python3-tifffile); or save the image as .npy") from None
            im = tifffile.imread(path)
        else:
            raise CliError(f"image {path}: unknown format {suffix or '(no extension)'}; use .npy, .tif or .tiff")
    except CliError:
        raise
    except Exception as e:  # a corrupt or foreign file: numpy's and tifffile's errors vary
        raise CliError(f"image {path}: cannot read it: {e}") from None
    if not isinstance(im, np.ndarray):
        raise CliError(f"image {path}: holds no array")
    if im.ndim != 2:
        raise CliError(f"image {path}: must be 2-D (rows, columns), got shape {im.shape}")
    if not (np.issubdtype(im.dtype, np.floating) or np.issubdtype(im.dtype, np.integer) or im.dtype == np.bool_):
        raise CliError(f"image {path}: must hold real numbers, got dtype {im.dtype}")
    if im.size == 0:
        raise CliError(f"image {path}: is empty, shape {im.shape}")
    return np.ascontiguousarray(im, dtype=np.float64)


def read_csv_columns(path, names, what):
    """The named columns of a CSV file with a header row, as float64 arrays.
    Other columns are ignored; blank lines are skipped."""
    path = Path(path)
    if not path.is_file():
        raise CliError(f"{what} {path}: no such file" if not path.exists() else f"{what} {path}: not a file")
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            rows = [r for r in csv.reader(f) if any(cell.strip() for cell in r)]
    except (OSError, UnicodeDecodeError, csv.Error) as e:
        raise CliError(f"{what} {path}: cannot read it: {e}") from None
    if not rows:
        raise CliError(f"{what} {path}: empty; expected a header row with the columns {','.join(names)}")
    header = [h.strip().lower() for h in rows[0]]
    missing = [n for n in names if n not in header]
    if missing:
        raise CliError(f"{what} {path}: the header row {','.join(rows[0])!r} lacks the column(s) "
                       f"{','.join(missing)}; expected a header naming {','.join(names)}")
    index = [header.index(n) for n in names]
    out = np.empty((len(rows) - 1, len(names)))
    for r, row in enumerate(rows[1:], start=2):
        for k, (n, i) in enumerate(zip(names, index)):
            cell = row[i].strip() if i < len(row) else ""
            try:
                out[r - 2, k] = float(cell)
            except ValueError:
                raise CliError(f"{what} {path}, line {r}: {n} = {cell!r} is not a number") from None
    return {n: out[:, k] for k, n in enumerate(names)}


def read_peak_pixels(path):
    """Peak pixels (x, y) as int64 arrays from a CSV file with x,y columns."""
    cols = read_csv_columns(path, PEAK_COLUMNS, "peaks")
    for n in PEAK_COLUMNS:
        v = cols[n]
        bad = np.flatnonzero(~np.isfinite(v) | (v != np.round(v)) | (np.abs(v) > 2**53))
        if len(bad):
            raise CliError(f"peaks {path}, line {bad[0] + 2}: {n} = {float(v[bad[0]]):g} is not a whole pixel index "
                           f"({'column' if n == 'x' else 'row'}, counted from 0)")
    return cols["x"].astype(np.int64), cols["y"].astype(np.int64)


# ---- output --------------------------------------------------------------------


def check_output(path):
    path = Path(path)
    if path.is_dir():
        raise CliError(f"output {path}: is a directory")
    parent = path.parent if str(path.parent) else Path(".")
    if not parent.is_dir():
        raise CliError(f"output {path}: the directory {parent} does not exist")
    return path


@contextmanager
def atomic_output(path):
    """A binary file open for writing that replaces `path` only when the block
    completes; on any failure the temporary file is removed and `path` keeps
    its old contents (or stays absent)."""
    path = Path(path)
    fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".part", dir=path.parent if str(path.parent) else ".")
    try:
        with os.fdopen(fd, "wb") as f:
            yield f
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, 0o666 & ~_umask())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


# ---- fit -----------------------------------------------------------------------


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
    produced are NaN."""
    h, w = im.shape
    half = mea // 2
    n = len(x)
    outside = (x < 0) | (x >= w) | (y < 0) | (y >= h)
    near_border = ~outside & ((x < half) | (x >= w - half) | (y < half) | (y >= h - half))
    # Peaks outside the image go to the library as -1, which it skips (it
    # would flag them anyway), so that they are reported as outside.
    cx = np.where(outside, -1, x).astype(np.int64)
    cy = np.where(outside, -1, y).astype(np.int64)
    rec = np.empty((n, fitter.RECORD_SIZE))
    std = np.empty((n, fitter.RECORD_SIZE))
    fails = np.empty(n, dtype=np.int64)
    bar = _progress(n, progress)
    try:
        for lo in range(0, n, CHUNK):
            hi = min(n, lo + CHUNK)
            rec[lo:hi], std[lo:hi], fails[lo:hi] = fitter.fit_peaks(im, cx[lo:hi], cy[lo:hi], mea=mea,
                                                                    n_threads=n_threads)
            bar.update(hi - lo)
    finally:
        bar.close()
    rows = np.empty((n, len(FIT_COLUMNS)))
    rows[:, 0], rows[:, 1] = x, y
    rows[:, 2:9] = rec[:, :7]
    rows[:, 5] += x - half  # patch frame -> image
    rows[:, 6] += y - half
    rows[:, 9:16] = std[:, :7]
    rows[:, 16] = rec[:, 8]
    rows[:, 17] = fails
    unfitted = outside | near_border
    rows[unfitted, 2:17] = np.nan
    return rows, outside, near_border


def _describe(mask, x, y, what):
    idx = np.flatnonzero(mask)
    shown = ", ".join(f"({x[i]}, {y[i]})" for i in idx[:3]) + (", ..." if len(idx) > 3 else "")
    return f"{len(idx)} peak(s) {what}, e.g. (x, y) = {shown}; flagged, written with empty fits"


def write_fit_csv(f, rows):
    """The rows as CSV with a header; NaN becomes an empty cell."""
    f.write((",".join(FIT_COLUMNS) + "\n").encode())
    fmt = "%d,%d," + ",".join(["%.12g"] * 15) + ",%d\n"
    for lo in range(0, len(rows), 10000):
        text = "".join(fmt % tuple(r) for r in rows[lo:lo + 10000].tolist())
        f.write(text.replace("nan", "").encode())


def cmd_fit(args):
    out = check_output(args.output)
    if args.mea < 1 or args.mea > MAX_MEA or args.mea % 2 == 0:
        raise CliError(f"--mea must be odd, from 1 to {MAX_MEA}, got {args.mea}")
    if args.threads is not None and args.threads < 1:
        raise CliError(f"--threads must be at least 1, got {args.threads}")
    im = load_image(args.image)
    h, w = im.shape
    if args.peaks in (None, "-"):
        if args.threshold is None:
            threshold = detection_threshold(im, args.smooth)
        else:
            threshold = args.threshold
        x, y = find_peaks(im, threshold=threshold, mea=args.mea, smooth=args.smooth)
        print(f"{PROG}: found {len(x)} peaks (threshold {threshold:.6g}, smoothing {args.smooth:g} px)",
              file=sys.stderr)
    else:
        x, y = read_peak_pixels(args.peaks)
    n_nan = int(np.count_nonzero(np.isnan(im)))
    if n_nan:
        warn(f"the image holds {n_nan} NaN pixel(s); peaks whose window covers one are flagged")
    rows, outside, near_border = fit_image(im, x, y, args.mea, args.threads, None if args.progress else False)
    if outside.any():
        warn(_describe(outside, x, y, f"outside the {w} x {h} image"))
    if near_border.any():
        warn(_describe(near_border, x, y, f"too close to the border for a window of {args.mea} x {args.mea}"))
    with atomic_output(out) as f:
        write_fit_csv(f, rows)
    flagged = int(np.count_nonzero(rows[:, 17]))
    print(f"{PROG}: fitted {len(x) - flagged} of {len(x)} peaks ({flagged} flagged) -> {out}", file=sys.stderr)
    return 0


# ---- render --------------------------------------------------------------------


def renderable(peaks, shape, mea):
    """True for the peaks whose patch synth_image renders: inside the image,
    with the floor-placed mea x mea patch inside it and a column and a row
    to spare on the right and below."""
    h, w = shape
    px, py = peaks[:, 3], peaks[:, 4]
    with np.errstate(invalid="ignore"):
        ok = (px >= 0) & (px < w) & (py >= 0) & (py < h)
        c0 = np.floor((px - mea * 0.5) + 0.5)
        r0 = np.floor((py - mea * 0.5) + 0.5)
        ok &= (c0 >= 0) & (c0 + mea < w) & (r0 >= 0) & (r0 + mea < h)
    return ok


def cmd_render(args):
    out = check_output(args.output)
    h, w = args.shape
    if h < 1 or w < 1:
        raise CliError(f"--shape must be two positive sizes H W, got {h} {w}")
    if args.mea < 1 or args.mea > MAX_MEA:
        raise CliError(f"--mea must be from 1 to {MAX_MEA}, got {args.mea}")
    cols = read_csv_columns(args.peaks, fitter.PARAM_NAMES, "peaks")
    peaks = np.column_stack([cols[n] for n in fitter.PARAM_NAMES]) if len(cols["amp"]) else np.zeros((0, 7))
    finite = np.all(np.isfinite(peaks), axis=1)
    if not finite.all():
        warn(f"{np.count_nonzero(~finite)} peak(s) with missing or non-finite values skipped "
             f"(first on line {np.flatnonzero(~finite)[0] + 2})")
    keep = finite & renderable(peaks, (h, w), args.mea)
    skipped = int(np.count_nonzero(finite & ~keep))
    if skipped:
        warn(f"{skipped} peak(s) too close to the border or outside the {w} x {h} image to render a "
             f"patch of {args.mea} x {args.mea}; skipped")
    try:
        im = np.full((h, w), float(args.background))
    except (MemoryError, ValueError) as e:
        raise CliError(f"cannot allocate a {h} x {w} image: {e}") from None
    fitter.synth_image(peaks[keep], (h, w), args.mea, im=im)
    with atomic_output(out) as f:
        np.save(f, im, allow_pickle=False)
    print(f"{PROG}: rendered {int(np.count_nonzero(keep))} of {len(peaks)} peaks -> {out}", file=sys.stderr)
    return 0


# ---- entry ---------------------------------------------------------------------


def build_parser():
    parser = argparse.ArgumentParser(prog=PROG, description="Fit elliptical 2D Gaussians to spots in images.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="{fit,render,demo}")

    p = sub.add_parser("fit", help="fit a Gaussian to every peak of an image",
                       description="Fit a Gaussian to every peak pixel of IMAGE and write one CSV row per peak: "
                       "x, y (the peak pixel), the fitted " + ", ".join(fitter.PARAM_NAMES) + " (positions in "
                       "image coordinates, pixel (x, y) centred at (x + 0.5, y + 0.5)), their standard errors "
                       "(*_se), the residual noise and the flag (1: not fitted, failed or stopped at the "
                       "iteration limit). Values no fit produced are left empty.")
    p.add_argument("image", help="image, .npy or .tif/.tiff (2-D)")
    p.add_argument("peaks", nargs="?", default=None,
                   help="CSV with a header and integer x (column), y (row) of each peak pixel; omit or '-' to "
                   "find the peaks (local maxima above a threshold)")
    p.add_argument("-o", "--output", required=True, help="output CSV")
    p.add_argument("--mea", type=int, default=11, help="side of the fitted square window, odd (default 11)")
    p.add_argument("--threads", type=int, default=None, help="threads (default: all cores)")
    p.add_argument("--threshold", type=float, default=None,
                   help="when finding peaks: minimum value in the smoothed image (default: median + 5 sigma)")
    p.add_argument("--smooth", type=float, default=1.0,
                   help="when finding peaks: Gaussian smoothing in pixels, 0 for none (default 1)")
    p.add_argument("--no-progress", dest="progress", action="store_false", help="no progress bar")
    p.set_defaults(run=cmd_fit)

    p = sub.add_parser("render", help="render peaks from a CSV into a .npy image",
                       description="Render Gaussians into an image: PEAKS.csv has a header naming the columns "
                       + ",".join(fitter.PARAM_NAMES) + " (positions in image coordinates; other columns are "
                       "ignored, so a fit's output renders as it is). Each peak, offset included, is added over "
                       "its MEA x MEA patch; peaks whose patch leaves the image are skipped.")
    p.add_argument("peaks", help="CSV of peaks")
    p.add_argument("--shape", type=int, nargs=2, metavar=("H", "W"), required=True, help="rows and columns")
    p.add_argument("-o", "--output", required=True, help="output .npy")
    p.add_argument("--mea", type=int, default=11, help="side of each rendered patch (default 11)")
    p.add_argument("--background", type=float, default=0.0, help="constant added to every pixel (default 0)")
    p.set_defaults(run=cmd_render)

    from . import demo

    p = sub.add_parser("demo", help="render, find and fit a synthetic field and report the errors",
                       description=demo.__doc__.split("\n")[0])
    demo.add_arguments(p)
    p.set_defaults(run=lambda a: demo.main_with_args(a))
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except CliError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
