"""Command-line tool: localise movies, fit the peaks of an image, render, run the demo.

    python3 -m gauss2_fitter fit MOVIE [MOVIE ...] -o LOCS.{csv,hdf5,h5} [--estimator mle|lsq]
        [--baseline ADU] [--sensitivity E_PER_ADU] [--em-gain G] [--qe Q] [--read-noise E]
        [--pixel-size NM] [--frames A:B] [--peaks PEAKS] [--mea 11] [--threads N]
        [--scheduler ADDRESS | --workers N]
    python3 -m gauss2_fitter fit IMAGE [PEAKS] -o OUT.csv [--mea 11] [--threads N]
    python3 -m gauss2_fitter render LOCS.{csv,hdf5} [--oversampling 10] -o SR.{png,tif,npy}
    python3 -m gauss2_fitter render PEAKS.csv --shape H W -o IMAGE.{npy,tif,png} [--mea 11]
    python3 -m gauss2_fitter demo [--size 2048] [--spots 20000] [--out out]

`fit` writes a localisation table (one row per spot, in photons and nm; see
localize.py) for a movie, several files of one, or whenever a movie option
is given; a single-frame image fitted with none of them into a .csv gets
the per-peak table of earlier versions (FIT_COLUMNS), as do an image and
its PEAKS list.

Images are .npy files (2-D, real values), or .tif/.tiff when the tifffile
package is installed. Coordinates follow the library's image convention:
pixel (column x, row y) covers [x, x + 1) x [y, y + 1), so its centre is at
(x + 0.5, y + 0.5).

Errors end the program with a one-line message and status 1 (2 for bad
usage); SIGINT, SIGTERM and SIGHUP end it with 128 + the signal's number.
Either way an existing output is left untouched: an output that is a
regular file (or a symbolic link to one, whose target is written) is
written to a hidden temporary file beside it and renamed into place once
complete. Any other output (a device, a FIFO, `-` for standard output) is
written through directly.

The layout, for commands to build on: options are checked up front
(check_* functions), inputs are read by load_image, read_peak_list (every
peak list, through formats.read_localizations) and read_render_peaks,
outputs are resolved by resolve_output before any work and written inside
open_output, and main() turns every expected failure into one line.
"""

import argparse
import signal
import sys
import threading
import warnings
from contextlib import contextmanager
from pathlib import Path

import numpy as np

from . import fitter
from ._checks import PixelScaleWarning, is_real_dtype, largest_abs, pixel_scale_problem
from ._lib import GAUSS2_MAX_MEA, N_PARAMS, PARAM_NAMES, RECORD_SIZE
from .outputs import OutputError, open_output, resolve_output
from .peaks import NoPeaksWarning, detection_threshold, find_peaks, no_window_fits, why_no_peaks

MOVIE_OPTIONS = ("estimator", "baseline", "sensitivity", "em_gain", "qe", "read_noise", "pixel_size", "frames",
                 "peak_table", "table", "scheduler", "workers", "max_emitters", "psf_sigma")
IMAGE_MEA = 11  # the per-peak table of one image keeps its window side

PROG = "python3 -m gauss2_fitter"
FIT_COLUMNS = ("x", "y") + PARAM_NAMES + tuple(f"{p}_se" for p in PARAM_NAMES) + ("noise", "flag")
CHUNK = 16384  # peaks per native batch between progress updates
MAX_THREADS = 1024


class CliError(Exception):
    """A problem with the user's input, reported as one line without a traceback."""


class Terminated(BaseException):
    """SIGTERM or SIGHUP, raised in the main thread like KeyboardInterrupt for
    SIGINT, so that the same clean-up runs."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


def warn(message):
    print(f"{PROG}: warning: {message}", file=sys.stderr)


# ---- options -------------------------------------------------------------------


def check_int(option, value, low, high, odd=False):
    if not low <= value <= high or (odd and value % 2 == 0):
        raise CliError(f"{option} must be {'odd, ' if odd else ''}from {low} to {high}, got {value}")


def check_finite(option, value, low=None):
    if not np.isfinite(value) or (low is not None and value < low):
        bound = f" of at least {low:g}" if low is not None else ""
        raise CliError(f"{option} must be a finite number{bound}, got {value}")


def check_fit_options(args):
    if args.mea is not None:
        check_int("--mea", args.mea, 1, GAUSS2_MAX_MEA, odd=True)
    if args.threads is not None:
        check_int("--threads", args.threads, 1, MAX_THREADS)
    if args.threshold is not None:
        check_finite("--threshold", args.threshold)
    check_finite("--smooth", args.smooth, low=0.0)


def check_smoothing(smooth, shape):
    """A smoothing wider than the image only flattens it (and its kernel
    would grow with the width, not with the image)."""
    h, w = shape
    if smooth > min(h, w):
        raise CliError(f"--smooth {smooth:g} px is wider than the {w} x {h} image (at most {min(h, w)})")


def check_render_options(args):
    h, w = args.shape
    if h < 1 or w < 1:
        raise CliError(f"--shape must be two positive sizes H W, got {h} {w}")
    check_int("--mea", args.mea, 1, GAUSS2_MAX_MEA)
    check_finite("--background", args.background)


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
    if not is_real_dtype(im.dtype):
        raise CliError(f"image {path}: must hold real numbers, got dtype {im.dtype}")
    if im.size == 0:
        raise CliError(f"image {path}: is empty, shape {im.shape}")
    return np.ascontiguousarray(im, dtype=np.float64)


def note(message):
    print(f"{PROG}: note: {message}", file=sys.stderr)


def read_peak_list(path, pixel_size=None):
    """The peaks of a peak list or a localisation table, for `fit IMAGE
    PEAKS` and `--peaks` alike: a DataFrame with frame, x, y (pixels) of the
    rows that have a position. formats.read_localizations reads every kind
    (x,y, col,row or column,row in pixels; ThunderSTORM's x [nm],y [nm]
    with the pixel size; comma-, semicolon- or tab-separated; picasso's
    HDF5). Rows without a position are left out with a warning; positions
    that are not whole pixels are noted: each is fitted at the pixel that
    holds it."""
    from .formats import FormatError, read_localizations

    try:
        table = read_localizations(path, pixel_size)
    except (FormatError, OSError) as e:
        raise CliError(f"peaks {e}") from None
    x, y = table["x"].to_numpy(), table["y"].to_numpy()
    placed = np.isfinite(x) & np.isfinite(y)
    if not placed.all():  # failed fits of an earlier run, empty cells
        warn(f"{np.count_nonzero(~placed)} row(s) of {path} without a position left out "
             f"(first on line {_first_line(~placed)})")
        table, x, y = table[placed], x[placed], y[placed]
    inside = np.abs(np.concatenate([x, y])) < 2**53  # beyond that, no pixel of any image
    if not inside.all():
        raise CliError(f"peaks {path}: a position of {np.concatenate([x, y])[~inside][0]:g} pixels is beyond any image")
    fractional = (x != np.floor(x)) | (y != np.floor(y))
    if fractional.any():
        note(f"{np.count_nonzero(fractional)} of {len(x)} peak position(s) in {path} are not whole pixels: each is "
             "fitted at the pixel that holds it (floor of x and y; a pixel's centre is at + 0.5)")
    return table


def read_render_peaks(path):
    """The peaks (n, 7) of a render CSV, named by PARAM_NAMES in its header.
    Empty cells, as a fit writes for peaks it did not fit, are NaN: such
    peaks are skipped as missing."""
    from .formats import CsvTable, FormatError

    p = Path(path)
    if not p.is_file():
        raise CliError(f"peaks {p}: no such file" if not p.exists() else f"peaks {p}: not a file")
    try:
        t = CsvTable(p)
        t.require(PARAM_NAMES)
        cols = [t.column(n) for n in PARAM_NAMES]
    except FormatError as e:
        raise CliError(f"peaks {e}") from None
    return np.column_stack(cols) if len(t) else np.zeros((0, N_PARAMS))


# ---- signals -------------------------------------------------------------------

TERMINATING = (signal.SIGTERM, signal.SIGHUP)


@contextmanager
def termination_raises():
    """SIGTERM and SIGHUP raise Terminated in the main thread while the block
    runs, so that outputs are cleaned up as for Ctrl-C. A signal that is
    ignored (nohup) stays ignored; a second signal during the clean-up is."""

    def handler(signum, frame):
        for s in TERMINATING:
            signal.signal(s, signal.SIG_IGN)
        raise Terminated(signum)

    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {}
    for s in TERMINATING:
        if signal.getsignal(s) == signal.SIG_DFL:
            previous[s] = signal.signal(s, handler)
    try:
        yield
    finally:
        for s, h in previous.items():
            signal.signal(s, h)


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
    produced are NaN. The image's scale is the caller's to report: no
    PixelScaleWarning is raised."""
    h, w = im.shape
    half = mea // 2
    n = len(x)
    outside = (x < 0) | (x >= w) | (y < 0) | (y >= h)
    near_border = ~outside & ((x < half) | (x >= w - half) | (y < half) | (y >= h - half))
    # Peaks outside the image go to the library as -1, which it skips (it
    # would flag them anyway), so that they are reported as outside.
    cx = np.where(outside, -1, x).astype(np.int64)
    cy = np.where(outside, -1, y).astype(np.int64)
    rec = np.empty((n, RECORD_SIZE))
    std = np.empty((n, RECORD_SIZE))
    fails = np.empty(n, dtype=np.int64)
    bar = _progress(n, progress)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", PixelScaleWarning)
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


def unmeasured_as_missing(rows, mea):
    """The per-peak rows as they are written: flagged rows keep what the fit
    returned, but a position outside the peak's mea x mea window (the fit
    wandered off the pixels it saw) is missing, and so is every non-finite
    value, in any row. Missing values are NaN, written as empty cells."""
    rows = rows.copy()
    rows[:, 2:17][~np.isfinite(rows[:, 2:17])] = np.nan
    half = mea // 2
    flagged = rows[:, 17] != 0
    for pos, centre in ((5, 0), (6, 1)):
        lo = rows[:, centre] - half
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
        from .localize import peak_table

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


def cmd_fit(args):
    """Dispatches between the localisation table of a movie and the
    per-peak table of one image (see the module's description)."""
    inputs = list(args.inputs)
    legacy_peaks = None
    if len(inputs) == 2 and (inputs[1] == "-" or inputs[1].lower().endswith(".csv")):
        legacy_peaks = inputs.pop()
    if _wants_table(args, inputs, legacy_peaks is not None):
        if legacy_peaks is not None:
            raise CliError(f"{legacy_peaks}: a peak list after the image is for one image; for movies give it "
                           "as --peaks")
        return cmd_fit_movie(args, inputs)
    args.image, args.peaks = inputs[0], legacy_peaks
    return cmd_fit_image(args)


def cmd_fit_image(args):
    check_fit_options(args)
    if args.mea is None:
        args.mea = IMAGE_MEA
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


# ---- fit: movies ------------------------------------------------------------------


def _wants_table(args, inputs, peak_list=False):
    """True unless this is the per-peak fit of a single image: one input of
    one frame, no movie option, and an output that is not an HDF5 table (a
    .csv file, standard output or a device take the per-peak table). With
    a peak list after the image, --pixel-size only reads the list's
    positions in nm."""
    if len(inputs) > 1 or Path(args.output).suffix.lower() in (".hdf5", ".h5"):
        return True
    options = [o for o in MOVIE_OPTIONS if not (peak_list and o == "pixel_size")]
    if any(getattr(args, o) not in (None, False) for o in options):
        return True
    from .movie import MovieError, open_movie

    try:
        return open_movie(inputs[0]).n_frames != 1
    except (MovieError, OSError):
        return True  # the movie path reports it


def parse_frames(text):
    """"A:B" (either may be omitted; negative counts from the end) as a slice."""
    parts = text.split(":")
    if len(parts) != 2:
        raise CliError(f"--frames must be A:B (frames A to B - 1, from 0), got {text!r}")
    try:
        lo, hi = (int(p) if p.strip() else None for p in parts)
    except ValueError:
        raise CliError(f"--frames must be A:B with whole numbers, got {text!r}") from None
    return slice(lo, hi)


def camera_from_args(args):
    from .camera import Camera

    def given(name, default):
        v = getattr(args, name)
        return default if v is None else v

    try:
        return Camera(baseline=given("baseline", 0.0), sensitivity=given("sensitivity", 1.0),
                      em_gain=given("em_gain", 1.0), qe=given("qe", 1.0), read_noise=given("read_noise", 0.0),
                      pixel_size=args.pixel_size)
    except (TypeError, ValueError) as e:
        raise CliError(str(e).replace("camera ", "--").replace("_", "-", 1)) from None


def cmd_fit_movie(args, inputs):
    from .formats import FormatError, TableWriter, table_format, yaml_path
    from .crowded import resolved
    from .localize import Settings, iter_localize, table_attrs
    from .movie import MovieError, frame_range, open_movie

    try:
        fmt = table_format(args.output)
    except FormatError as e:
        raise CliError(f"output {e}") from None
    check_fit_options(args)
    check_cluster_options(args)
    out = resolve_output(args.output)
    camera = camera_from_args(args)
    frames = parse_frames(args.frames) if args.frames is not None else None
    try:
        movie = open_movie(inputs if len(inputs) > 1 else inputs[0])
        camera.check_frame_shape((movie.height, movie.width))
    except (MovieError, OSError, ValueError) as e:
        raise CliError(str(e)) from None
    try:
        start, stop = frame_range(frames, movie.n_frames)
    except (TypeError, ValueError) as e:
        raise CliError(f"--frames: {e}") from None
    peaks = None
    if args.peak_table is not None:
        peaks = read_peak_list(args.peak_table, camera.pixel_size)
    try:
        estimator = args.estimator or "mle"
        settings = Settings(camera=camera, mea=args.mea, estimator=estimator, threshold=args.threshold,
                            smooth=args.smooth, psf_sigma=args.psf_sigma, max_emitters=args.max_emitters)
        settings = resolved(settings, movie, frames)
    except (TypeError, ValueError) as e:
        raise CliError(str(e).replace("max_emitters", "--max-emitters").replace("psf_sigma", "--psf-sigma")) from None
    attrs = table_attrs(movie, settings, frames, peaks is not None)
    n = flagged = 0
    try:
        with cluster_client(args) as client, TableWriter(out, attrs) as writer, \
                warnings.catch_warnings(record=True) as said:
            warnings.simplefilter("always", NoPeaksWarning)
            for chunk in iter_localize(movie, settings, peaks=peaks, frames=frames,
                                       n_threads=None if client else args.threads,
                                       progress="auto" if args.progress else False, client=client):
                writer.write(chunk)
                n += len(chunk)
                flagged += int((chunk["flag"] != 0).sum())
    except ValueError as e:  # bad peak tables and the like, found while running
        raise CliError(str(e)) from None
    for message in dict.fromkeys(str(w.message) for w in said):  # each once, as the tool's warnings
        warn(message)
    also = f" and {yaml_path(out.name)}" if fmt == "hdf5" else ""
    print(f"{PROG}: localised {n - flagged} of {n} peaks ({flagged} flagged) in {stop - start} frame(s) of "
          f"{movie.width} x {movie.height} -> {out.name}{also}", file=sys.stderr)
    return 0


# ---- fit: on a Dask cluster ----------------------------------------------------------

MAX_WORKERS = 1024


def check_cluster_options(args):
    if args.workers is not None and args.scheduler is not None:
        raise CliError("--workers starts a cluster and --scheduler uses a running one: give one of them")
    if args.workers is not None:
        check_int("--workers", args.workers, 1, MAX_WORKERS)
    if args.scheduler is not None and args.threads is not None:
        raise CliError("--threads is for local runs and --workers; a running cluster's workers have their own")
    if args.workers is not None or args.scheduler is not None:
        try:
            import distributed  # noqa: F401
        except ImportError:
            raise CliError("--workers and --scheduler need dask.distributed, which is not installed "
                           "(Debian: apt-get install python3-distributed)") from None


@contextmanager
def cluster_client(args):
    """None for a local run; with --workers N, a client of a local cluster
    of N worker processes (of --threads threads each, default 1), closed
    after the run; with --scheduler ADDRESS, a client of that cluster.
    Dask's own log lines below errors stay quiet meanwhile."""
    if args.workers is None and args.scheduler is None:
        yield None
        return
    import logging

    from distributed import Client

    from .cluster import ClusterError, local_cluster

    log = logging.getLogger("distributed")
    level = log.level
    log.setLevel(logging.ERROR)
    try:
        if args.workers is not None:
            with local_cluster(args.workers, args.threads or 1) as cluster, Client(cluster) as client:
                yield client
        else:
            try:
                client = Client(args.scheduler)
            except (OSError, ValueError, TypeError) as e:  # unreachable, refused, a malformed address
                raise CliError(f"--scheduler {args.scheduler}: cannot connect: {e}") from None
            with client:
                yield client
    except ClusterError as e:
        raise CliError(str(e)) from None
    finally:
        log.setLevel(level)


# ---- render --------------------------------------------------------------------


def finite_gaussian(peaks):
    """True for the peaks whose Gaussian has finite values everywhere: nonzero
    widths whose squares neither underflow nor overflow, |rho| < 1, and a
    finite normalisation. A zero width or |rho| >= 1 would render NaN."""
    amp, sx, sy, rho = peaks[:, 0], peaks[:, 1], peaks[:, 2], peaks[:, 5]
    with np.errstate(all="ignore"):
        sx2, sy2, spread = sx * sx, sy * sy, 1.0 - rho * rho
        den = sx2 * sy2 * spread
        norm = amp / (2 * np.pi * sx * sy * np.sqrt(spread))
        return (np.isfinite(sx2) & (sx2 > 0) & np.isfinite(sy2) & (sy2 > 0) & (spread > 0)
                & np.isfinite(den) & (den > 0) & np.isfinite(norm))


def _first_line(mask):
    return int(np.flatnonzero(mask)[0]) + 2


def renderable_peaks(peaks, shape, mea):
    """The peaks to render, with a warning for each kind that is skipped."""
    h, w = shape
    finite = np.all(np.isfinite(peaks), axis=1)
    if not finite.all():
        warn(f"{np.count_nonzero(~finite)} peak(s) with missing or non-finite values skipped "
             f"(first on line {_first_line(~finite)})")
    defined = finite & finite_gaussian(peaks)
    if (finite & ~defined).any():
        warn(f"{np.count_nonzero(finite & ~defined)} peak(s) with a zero width, |rho| >= 1 or values beyond the "
             f"float range skipped (first on line {_first_line(finite & ~defined)}): their Gaussian is not finite")
    keep = defined & fitter.synth_renders(peaks, (h, w), mea)
    skipped = int(np.count_nonzero(defined & ~keep))
    if skipped:
        warn(f"{skipped} peak(s) too close to the border or outside the {w} x {h} image to render a "
             f"patch of {mea} x {mea}; skipped")
    return keep


def cmd_render(args):
    """A super-resolution picture of a localisation table, or (with --shape)
    Gaussians rendered from a table of their parameters."""
    from .render import image_format

    try:
        image_format(args.output)
    except ValueError as e:
        raise CliError(f"output {e}") from None
    if args.shape is None:
        return cmd_render_locs(args)
    return cmd_render_peaks(args)


def cmd_render_locs(args):
    from .formats import FormatError, read_localizations
    from .render import render_localizations, rendered_rows, save_image

    out = resolve_output(args.output)
    if not args.oversampling > 0:
        raise CliError(f"--oversampling must be positive, got {args.oversampling:g}")
    blur = args.blur.strip().lower()
    if blur == "none":
        blur = None
    elif blur != "precision":
        try:
            blur = float(blur)
        except ValueError:
            raise CliError(f"--blur must be precision, none or a sigma in pixels, got {args.blur!r}") from None
        if not blur > 0:
            raise CliError(f"--blur sigma must be positive, got {args.blur}")
    if args.pixel_size is not None and not args.pixel_size > 0:
        raise CliError(f"--pixel-size must be positive, got {args.pixel_size:g}")
    try:
        locs = read_localizations(args.peaks, args.pixel_size)
    except (FormatError, OSError) as e:
        raise CliError(f"localisations {e}") from None
    drawn = rendered_rows(locs, blur)
    flagged = int((locs["flag"] != 0).sum())
    if flagged:
        warn(f"{flagged} flagged row(s) not drawn")
    undrawn = len(locs) - flagged - int(drawn.sum())
    if undrawn:
        warn(f"{undrawn} row(s) without a finite position" + (" or precision" if blur == "precision" else "")
             + " not drawn" + ("; --blur SIGMA draws them all alike" if blur == "precision" else ""))
    try:
        image = render_localizations(locs, args.oversampling, blur)
    except (MemoryError, ValueError) as e:
        raise CliError(f"cannot render: {e}") from None
    ps = locs.attrs.get("pixel_size")
    save_image(image, out, pixel_size=ps / args.oversampling if ps else None)
    print(f"{PROG}: drew {int(drawn.sum())} of {len(locs)} localisations into {image.shape[1]} x {image.shape[0]} "
          f"pixels -> {out.name}", file=sys.stderr)
    return 0


def cmd_render_peaks(args):
    from .render import save_image

    check_render_options(args)
    out = resolve_output(args.output)
    h, w = args.shape
    peaks = read_render_peaks(args.peaks)
    keep = renderable_peaks(peaks, (h, w), args.mea)
    try:
        im = np.full((h, w), float(args.background))
    except (MemoryError, ValueError, OverflowError) as e:
        raise CliError(f"cannot allocate a {h} x {w} image: {e}") from None
    fitter.synth_image(peaks[keep], (h, w), args.mea, im=im)
    if not np.isfinite(im).all():  # a net under finite_gaussian: never write NaN patches
        raise CliError("the rendered image holds non-finite values; check the peaks' amplitudes and widths")
    save_image(im, args.output)
    print(f"{PROG}: rendered {int(np.count_nonzero(keep))} of {len(peaks)} peaks -> {out.name}", file=sys.stderr)
    return 0


# ---- demo ----------------------------------------------------------------------


def cmd_demo(args):
    from . import demo

    try:
        demo.check_arguments(args)
    except ValueError as e:
        raise CliError(str(e)) from None
    return demo.run_with_args(args)


# ---- entry ---------------------------------------------------------------------


def build_parser():
    parser = argparse.ArgumentParser(prog=PROG, description="Fit elliptical 2D Gaussians to spots in images.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="{fit,render,demo}")
    output_help = ("; a regular file is replaced when complete, '-' is standard output, a device or FIFO is "
                   "written directly")

    p = sub.add_parser("fit", help="localise the spots of movies, or fit the peaks of an image",
                       description="Localise every spot of MOVIE (TIFF stacks of any kind, .npy; several files "
                       "are one movie, in order) into a table, one row per spot: frame, x, y (pixels, pixel "
                       "(col, row) centred at (col + 0.5, row + 0.5)), photons, sx, sy, rho, bg, lpx, lpy and "
                       "standard errors, goodness, iterations, flag (0 good, 1 skipped, 2 failed, 3 iteration "
                       "limit); .csv (ThunderSTORM's nm headers with --pixel-size) or .hdf5/.h5 (picasso's layout "
                       "and a .yaml beside it). Counts are converted: photo-electrons = (ADU - baseline) * "
                       "sensitivity / em_gain, photons = photo-electrons / qe. A single image fitted into a .csv "
                       "with none of the movie options (or with its PEAKS list) gives the per-peak table of "
                       "earlier versions: x, y (the peak pixel), " + ", ".join(PARAM_NAMES) + ", their "
                       "standard errors (*_se), the residual noise and the flag.")
    p.add_argument("inputs", nargs="+", metavar="MOVIE",
                   help="movie file(s), .tif/.tiff or .npy; for one image, a CSV peak list or '-' may follow "
                   "(read as --peaks reads it)")
    p.add_argument("-o", "--output", required=True, help="output table, .csv, .hdf5 or .h5" + output_help)
    p.add_argument("--mea", type=int, default=None,
                   help="side of the fitted square window, odd (default: from the PSF, 2 floor(2 sigma) + 1 for "
                   f"single fits, 2 round(2.5 sigma) + 1 for joint fits; {IMAGE_MEA} for the per-peak table of one "
                   "image)")
    p.add_argument("--threads", type=int, default=None, help="threads (default: all cores)")
    p.add_argument("--threshold", type=float, default=None,
                   help="when finding peaks: minimum value in the smoothed frame, photons for movies "
                   "(default: median + 5 sigma of each frame)")
    p.add_argument("--smooth", type=float, default=1.0,
                   help="when finding peaks: Gaussian smoothing in pixels, 0 for none, at most the image's "
                   "smaller side (default 1)")
    p.add_argument("--no-progress", dest="progress", action="store_false", help="no progress bar")
    m = p.add_argument_group("movie options (any of them asks for the localisation table)")
    m.add_argument("--estimator", choices=("mle", "lsq"), default=None,
                   help="Poisson maximum likelihood or least squares (default mle)")
    m.add_argument("--baseline", type=float, default=None, metavar="ADU", help="camera offset, ADU (default 0)")
    m.add_argument("--sensitivity", type=float, default=None, metavar="E_PER_ADU",
                   help="photo-electrons per ADU (default 1)")
    m.add_argument("--em-gain", type=float, default=None, metavar="G", help="EM gain (default 1)")
    m.add_argument("--qe", type=float, default=None, metavar="Q", help="quantum efficiency (default 1)")
    m.add_argument("--read-noise", type=float, default=None, metavar="E",
                   help="read noise sigma, photo-electrons (default 0)")
    m.add_argument("--pixel-size", type=float, default=None, metavar="NM",
                   help="camera pixel size in the sample, nm: adds nm columns (with a peak list after an "
                   "image: only reads its nm positions)")
    m.add_argument("--frames", default=None, metavar="A:B", help="frames A to B - 1 only, counted from 0")
    m.add_argument("--peaks", dest="peak_table", default=None, metavar="PEAKS",
                   help="fit these peaks instead of finding them: a peak list or localisation table, .csv "
                   "(comma, semicolon or tab; x,y or col,row / column,row in pixels, or x [nm],y [nm] with "
                   "--pixel-size; frame 0 without a frame column) or .hdf5/.h5; a position that is not a whole "
                   "pixel is fitted at the pixel that holds it")
    m.add_argument("--table", action="store_true", help="the localisation table even for a single image")
    m.add_argument("--psf-sigma", type=float, default=None, metavar="PX",
                   help="the PSF's sigma in pixels (default: measured on the first frames)")
    m.add_argument("--max-emitters", type=int, default=None, metavar="K",
                   help="emitters one window's model may hold, 1 to 8: crowded spots are fitted jointly, each "
                   "molecule one row (default 5 with mle; 1 with lsq)")
    c = p.add_argument_group("on a Dask cluster (the movie's files must be readable by every worker)")
    c.add_argument("--scheduler", default=None, metavar="ADDRESS",
                   help="run the frames as tasks on the running Dask cluster of this scheduler (tcp://host:8786)")
    c.add_argument("--workers", type=int, default=None, metavar="N",
                   help="run them on a local Dask cluster of N worker processes (of --threads threads each, "
                   "default 1), started for the run")
    p.set_defaults(run=cmd_fit)

    p = sub.add_parser("render", help="draw a super-resolution picture of localisations, or render peaks",
                       description="Draw LOCS (a localisation table, .csv or .hdf5/.h5) as a super-resolution "
                       "image: each localisation a Gaussian of its precision (--blur) on pixels OVERSAMPLING times "
                       "finer than the camera's; flagged rows are left out. The output's suffix names its format: "
                       ".png (colour map, scale bar when the pixel size is known), .tif/.tiff (float32) or .npy. "
                       "With --shape, LOCS is instead a CSV naming " + ",".join(PARAM_NAMES) + " (positions "
                       "in image coordinates) and each peak, offset included, is added over its MEA x MEA patch "
                       "of an H x W image; peaks whose patch leaves the image are skipped.")
    p.add_argument("peaks", metavar="LOCS", help="localisation table (.csv or .hdf5/.h5), or with --shape a CSV of peaks")
    p.add_argument("-o", "--output", required=True, help="output image, .png, .tif/.tiff or .npy")
    p.add_argument("--oversampling", type=float, default=10.0, help="output pixels per camera pixel (default 10)")
    p.add_argument("--blur", default="precision",
                   help="precision (each localisation's own), none (a histogram) or a sigma in camera pixels")
    p.add_argument("--pixel-size", type=float, default=None, metavar="NM",
                   help="camera pixel size, nm (tables in nm need it; the picture gets a scale bar)")
    p.add_argument("--shape", type=int, nargs=2, metavar=("H", "W"), default=None,
                   help="render peaks into an H x W image instead")
    p.add_argument("--mea", type=int, default=11, help="with --shape: side of each rendered patch (default 11)")
    p.add_argument("--background", type=float, default=0.0,
                   help="with --shape: constant added to every pixel (default 0)")
    p.set_defaults(run=cmd_render)

    from . import demo

    p = sub.add_parser("demo", help="render, find and fit a synthetic field and report the errors",
                       description=demo.__doc__.split("\n")[0])
    demo.add_arguments(p)
    p.set_defaults(run=cmd_demo)
    return parser


def run():
    """The installed `gauss2-fitter` command."""
    sys.exit(main())


def error(message):
    print(f"{PROG}: error: {message}", file=sys.stderr)


def main(argv=None):
    args = build_parser().parse_args(argv)
    with termination_raises():
        try:
            return args.run(args)
        except (CliError, OutputError) as e:
            error(e)
            return 1
        except OSError as e:  # an I/O failure outside the outputs' own handling
            where = f"{e.filename}: " if e.filename else ""
            error(f"{where}{e.strerror or e}")
            return 1
        except MemoryError:
            error("out of memory; try a smaller image or fewer peaks")
            return 1
        except KeyboardInterrupt:
            print(f"{PROG}: interrupted", file=sys.stderr)
            return 128 + signal.SIGINT
        except Terminated as t:
            print(f"{PROG}: terminated by {signal.Signals(t.signum).name}", file=sys.stderr)
            return 128 + t.signum
