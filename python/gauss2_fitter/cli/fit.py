"""`fit`: localise the spots of movies into a table, or fit the peaks of
one image (fit_image.py, the per-peak table of earlier versions).

    python3 -m gauss2_fitter fit MOVIE [MOVIE ...] -o LOCS.{csv,hdf5,h5} [--estimator mle|lsq]
        [--baseline ADU] [--sensitivity E_PER_ADU] [--em-gain G] [--qe Q] [--read-noise E]
        [--pixel-size NM] [--frames A:B] [--peaks PEAKS] [--mea 11] [--threads N]
        [--scheduler ADDRESS | --workers N] [--drift] [--link [EVENTS]] [--background-tile PX]
    python3 -m gauss2_fitter fit IMAGE [PEAKS] -o OUT.csv [--mea 11] [--threads N]

A movie, several files of one, or any movie option gives the localisation
table (schema.py), written as its suffix names (formats.py) while the run
streams; a single-frame image fitted with none of them into a .csv gets the
per-peak table, as do an image and its PEAKS list. With --drift or --link
the table is gathered instead, and written once the drift is corrected
(drift.py); --link writes its events too (link.py).
"""

import sys
import warnings
from contextlib import contextmanager, nullcontext
from pathlib import Path

from .._lib import GAUSS2_MAX_MEA, PARAM_NAMES
from ..estimators import DEFAULT, ESTIMATORS
from ..formats import FormatError, TableWriter, format_of_suffix, table_format, write_table
from ..localization import iter_localize
from ..metadata import RunMetadata
from ..movie import MovieError, frame_range, open_movie
from ..outputs import resolve_output
from ..peaks import MAX_BACKGROUND_TILE, NoPeaksWarning
from ..pipeline import Settings
from ..schema import concat_tables, table_columns
from . import drift as drift_command
from . import fit_image
from . import link as link_command
from ._common import (MAX_THREADS, PROG, CliError, add_camera_options, camera_from_args, check_finite, check_int,
                      progress_of, progress_option, read_peak_list, table_output, warn)

NAME = "fit"
MOVIE_OPTIONS = ("estimator", "baseline", "sensitivity", "em_gain", "qe", "read_noise", "pixel_size", "frames",
                 "peak_table", "table", "scheduler", "workers", "drift", "link", "min_photons", "max_precision",
                 "width_range", "keep_flagged", "background_tile")
OUTPUT_HELP = ("; a regular file is replaced when complete, '-' is standard output, a device or FIFO is "
               "written directly")


def add_parser(sub):
    p = sub.add_parser("fit", help="localise the spots of movies, or fit the peaks of an image",
                       description="Localise every spot of MOVIE (TIFF stacks of any kind, .npy; several files "
                       "are one movie, in order) into a table, one row per spot: frame, x, y (pixels, pixel "
                       "(col, row) centred at (col + 0.5, row + 0.5)), photons, sx, sy, rho, bg, lpx, lpy and "
                       "standard errors, goodness, iterations, flag (0 good; 1 skipped, 2 failed, 3 iteration "
                       "limit; 4 outside its window or the frame, 5 not finite, 6 implausible width, 7 more photons "
                       "than its window holds); .csv (in pixels, every row; with --pixel-size ThunderSTORM's columns, "
                       "the unflagged rows) or .hdf5/.h5 (picasso's layout, the unflagged rows, and a .yaml beside "
                       "it). Counts are converted: photo-electrons = (ADU - baseline) * "
                       "sensitivity / em_gain, photons = photo-electrons / qe. A single image fitted into a .csv "
                       "with none of the movie options (or with its PEAKS list) gives the per-peak table of "
                       "earlier versions: x, y (the peak pixel), " + ", ".join(PARAM_NAMES) + ", their "
                       "standard errors (*_se), the residual noise and the flag.")
    p.add_argument("inputs", nargs="+", metavar="MOVIE",
                   help="movie file(s), .tif/.tiff or .npy; for one image, a CSV peak list or '-' may follow "
                   "(read as --peaks reads it)")
    p.add_argument("-o", "--output", required=True, help="output table, .csv, .hdf5 or .h5" + OUTPUT_HELP)
    p.add_argument("--mea", type=int, default=11, help="side of the fitted square window, odd (default 11)")
    p.add_argument("--threads", type=int, default=None, help="threads (default: all cores)")
    p.add_argument("--threshold", type=float, default=None,
                   help="when finding peaks: minimum value in the smoothed frame, photons for movies "
                   "(default: median + 5 sigma of each frame)")
    p.add_argument("--smooth", type=float, default=1.0,
                   help="when finding peaks: Gaussian smoothing in pixels, 0 for none, at most the image's "
                   "smaller side (default 1)")
    progress_option(p)
    p.add_argument("--background-tile", type=int, default=None, metavar="PX",
                   help="when finding peaks in movies: a local background from the medians of tiles of PX pixels "
                   "a side, so that uneven illumination neither creates nor hides peaks (default 0: one level a "
                   "frame)")
    m = p.add_argument_group("movie options (any of them asks for the localisation table)")
    ordered = sorted(ESTIMATORS.values(), key=lambda e: e.name != DEFAULT)  # the default first
    m.add_argument("--estimator", choices=[e.name for e in ordered], default=None,
                   help=" or ".join(e.title for e in ordered) + f" (default {DEFAULT})")
    add_camera_options(m, "camera pixel size in the sample, nm: adds nm columns (with a peak list after an "
                       "image: only reads its nm positions)")
    m.add_argument("--frames", default=None, metavar="A:B", help="frames A to B - 1 only, counted from 0")
    m.add_argument("--peaks", dest="peak_table", default=None, metavar="PEAKS",
                   help="fit these peaks instead of finding them: a peak list or localisation table, .csv "
                   "(comma, semicolon or tab; x,y or col,row / column,row in pixels, or x [nm],y [nm] with "
                   "--pixel-size; frame 0 without a frame column) or .hdf5/.h5; a position that is not a whole "
                   "pixel is fitted at the pixel that holds it")
    m.add_argument("--table", action="store_true", help="the localisation table even for a single image")
    c = p.add_argument_group("on a Dask cluster (the movie's files must be readable by every worker)")
    c.add_argument("--scheduler", default=None, metavar="ADDRESS",
                   help="run the frames as tasks on the running Dask cluster of this scheduler (tcp://host:8786)")
    c.add_argument("--workers", type=int, default=None, metavar="N",
                   help="run them on a local Dask cluster of N worker processes (of --threads threads each, "
                   "default 1), started for the run")
    k = p.add_argument_group("rows written (the full table keeps every row; other tools' formats, picasso's HDF5 "
                             "and ThunderSTORM's CSV with --pixel-size, get the unflagged rows only)")
    k.add_argument("--min-photons", type=float, default=None, metavar="N", help="write rows of at least N photons")
    k.add_argument("--max-precision", type=float, default=None, metavar="NM",
                   help="write rows whose precision (root mean square of lpx and lpy) is at most NM nm; needs "
                   "--pixel-size")
    k.add_argument("--width-range", default=None, metavar="LO:HI",
                   help="write rows whose sx and sy lie within LO to HI pixels")
    k.add_argument("--keep-flagged", action="store_true",
                   help="write flagged rows too (flag != 0), also to other tools' formats, which take every row "
                   "as a localisation")
    a = p.add_argument_group("after localising (the table is kept in memory until then)")
    a.add_argument("--drift", action="store_true", help="correct the drift before writing the table")
    a.add_argument("--link", nargs="?", const=True, default=None, metavar="EVENTS",
                   help="also link the localisations into events, written to EVENTS (default NAME_link.SUFFIX "
                   "beside the output)")
    p.set_defaults(run=run)


def check_fit_options(args):
    check_int("--mea", args.mea, 1, GAUSS2_MAX_MEA, odd=True)
    if args.threads is not None:
        check_int("--threads", args.threads, 1, MAX_THREADS)
    if args.threshold is not None:
        check_finite("--threshold", args.threshold)
    check_finite("--smooth", args.smooth, low=0.0)
    if args.background_tile is not None:
        check_int("--background-tile", args.background_tile, 0, MAX_BACKGROUND_TILE)


def run(args):
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
        return fit_movie(args, inputs)
    check_fit_options(args)
    args.image, args.peaks = inputs[0], legacy_peaks
    return fit_image.run(args)


def _wants_table(args, inputs, peak_list=False):
    """True unless this is the per-peak fit of a single image: one input of
    one frame, no movie option, and an output whose suffix names no table
    format but CSV (the per-peak table is CSV: a .csv file, standard output
    or a device take it). With a peak list after the image, --pixel-size
    only reads the list's positions in nm."""
    fmt = format_of_suffix(args.output)
    if len(inputs) > 1 or (fmt is not None and fmt.name != "csv"):  # the per-peak table is CSV
        return True
    options = [o for o in MOVIE_OPTIONS if not (peak_list and o == "pixel_size")]
    if any(getattr(args, o) not in (None, False) for o in options):
        return True
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


def parse_width_range(text):
    """"LO:HI" in pixels as a pair of floats."""
    parts = text.split(":")
    try:
        lo, hi = (float(p) for p in parts)
    except ValueError:
        raise CliError(f"--width-range must be LO:HI in pixels, got {text!r}") from None
    return lo, hi


def row_criteria(args, pixel_size):
    """The FilterCriteria of --min-photons, --max-precision, --width-range
    and --keep-flagged, checked before any work; None when none is given
    (the writers then keep what their format keeps)."""
    from ..filtering import FilterCriteria

    if args.min_photons is None and args.max_precision is None and args.width_range is None:
        return None
    if args.max_precision is not None and pixel_size is None:
        raise CliError("--max-precision is in nm: give --pixel-size")
    widths = parse_width_range(args.width_range) if args.width_range is not None else None
    try:
        return FilterCriteria.checked(args.min_photons, args.max_precision, widths, widths, args.keep_flagged,
                                      pixel_size)
    except (TypeError, ValueError) as e:
        message = str(e)
        for name, option in (("min_photons", "--min-photons"), ("max_precision_nm", "--max-precision"),
                             ("sx_range", "--width-range")):
            message = message.replace(name, option)
        raise CliError(message) from None


def fit_movie(args, inputs):
    """The localisation table of the movie of `inputs`."""
    try:
        fmt = table_format(args.output)
    except FormatError as e:
        raise CliError(f"output {e}") from None
    check_fit_options(args)
    check_cluster_options(args)
    out = resolve_output(args.output)
    events_out = events_output(args)
    gather = args.drift or events_out is not None
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
    if stop <= start and movie.n_frames:
        raise CliError(f"--frames {args.frames} selects none of the movie's {movie.n_frames} frames "
                       f"(0 to {movie.n_frames - 1})")
    peaks = None
    if args.peak_table is not None:
        peaks = read_peak_list(args.peak_table, camera.pixel_size)
    try:
        settings = Settings(camera=camera, mea=args.mea, estimator=args.estimator or DEFAULT,
                            threshold=args.threshold, smooth=args.smooth, background_tile=args.background_tile or 0)
    except (TypeError, ValueError) as e:
        raise CliError(str(e)) from None
    criteria = row_criteria(args, camera.pixel_size)
    metadata = RunMetadata.for_run(movie, settings, frames, peaks is not None)
    if criteria is not None:
        metadata = metadata.with_step(criteria.step())
    n = flagged = written = 0
    parts = []
    try:
        with cluster_client(args) as client, \
                (nullcontext() if gather else TableWriter(out, metadata, keep_flagged=args.keep_flagged)) as writer, \
                warnings.catch_warnings(record=True) as said:
            warnings.simplefilter("always", NoPeaksWarning)
            keep = parts.append if gather else writer.write
            for chunk in iter_localize(movie, settings, peaks=peaks, frames=frames,
                                       n_threads=None if client else args.threads,
                                       progress=progress_of(args), client=client):
                n += len(chunk)
                flagged += int((chunk["flag"] != 0).sum())
                if criteria is not None:
                    chunk = chunk[criteria.keep(chunk)]
                keep(chunk)
            if writer is not None:
                written = writer.written
    except ValueError as e:  # bad peak tables and the like, found while running
        raise CliError(str(e)) from None
    for message in dict.fromkeys(str(w.message) for w in said):  # each once, as the tool's warnings
        warn(message)
    if gather:
        said, written = after_fit(concat_tables(parts, camera.pixel_size), metadata, out, args.drift, events_out,
                                  args.keep_flagged)
        for line in said:
            print(f"{PROG}: {line}", file=sys.stderr)
    also = "".join(f" and {path}" for path in fmt.companions(out.name))
    rows = "" if written == n else f", {written} rows written"
    print(f"{PROG}: localised {n - flagged} of {n} peaks ({flagged} flagged{rows}) in {stop - start} frame(s) of "
          f"{movie.width} x {movie.height} -> {out.name}{also}", file=sys.stderr)
    return 0


# ---- after localising: --drift, --link ---------------------------------------------


def events_output(args):
    """fit --link's output, checked before any work (None without --link):
    the path given, or NAME_link.SUFFIX beside the output (as picasso names
    linked files)."""
    if args.link is None:
        return None
    if args.link is not True:
        return table_output(args.link)
    p = Path(args.output)
    if args.output == "-" or not p.suffix:
        raise CliError(f"--link without a path writes beside the output, and {args.output} is not a file; give "
                       "--link EVENTS")
    return table_output(p.with_name(f"{p.stem}_link{p.suffix}"))


def after_fit(table, metadata, out, drift, events_out, keep_flagged=False):
    """fit --drift / --link: corrects the drift of the whole table (when
    asked) and writes it to `out`, then links it into `events_out` (when
    given); the lines to report and the rows written to `out` (other
    tools' formats get the flagged rows with keep_flagged only). The
    localisations are written whatever
    happens to the steps: when one cannot run (too few localisations, say),
    the table is written as it stands and a CliError says so."""
    from ..drift import correct
    from ..link import link_events

    said, events = [], None
    try:
        if drift:
            table, shifts, metadata = correct(table, metadata)
            said.append(f"corrected {drift_command.describe(shifts, metadata)}")
        if events_out is not None:
            events, linked = link_events(table, metadata)
    except ValueError as e:
        write_rows(table, out.name, metadata, keep_flagged)
        state = (["drift-corrected" if said else "uncorrected"] if drift else []) + \
            (["without events"] if events_out is not None else [])
        raise CliError(f"{e}; the localisations were written {', '.join(state)} to {out.name}") from None
    written = write_rows(table, out.name, metadata, keep_flagged)
    if events is not None:
        write_table(events, events_out.name, metadata=linked, keep_flagged=keep_flagged)
        said.append(f"{link_command.describe(linked)} -> {events_out.name}")
    return said, written


def write_rows(table, path, metadata, keep_flagged):
    """Writes the whole `table` to `path` as write_table does; the rows written."""
    with TableWriter(path, metadata, columns=table_columns(table), keep_flagged=keep_flagged) as w:
        w.write(table)
    return w.written


# ---- on a Dask cluster ----------------------------------------------------------

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

    from ..cluster import ClusterError, local_cluster

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
