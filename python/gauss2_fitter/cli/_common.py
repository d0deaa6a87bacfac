"""What every subcommand of the tool shares: its name, its one-line errors,
warnings and notes, the option checks, the peak lists, and the signals that
end a run cleanly."""

import signal
import sys
import threading
from contextlib import contextmanager

from pathlib import Path

import numpy as np

from .._checks import one_line

PROG = "python3 -m gauss2_fitter"
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


def note(message):
    print(f"{PROG}: note: {message}", file=sys.stderr)


def error(message):
    """The one line of an error (messages of several lines, numpy's or
    HDF5's, joined)."""
    print(f"{PROG}: error: {one_line(message)}", file=sys.stderr)


def first_line(mask):
    """The file line of the first row in `mask` (a header, then rows from line 2)."""
    return int(np.flatnonzero(mask)[0]) + 2


# ---- options -------------------------------------------------------------------


def check_int(option, value, low, high, odd=False):
    if not low <= value <= high or (odd and value % 2 == 0):
        raise CliError(f"{option} must be {'odd, ' if odd else ''}from {low} to {high}, got {value}")


def option_names(message, *names):
    """`message` with the keyword arguments `names` spelt as the tool's
    options ("max_emitters must" -> "--max-emitters must")."""
    for name in names:
        message = message.replace(f"{name} must", f"--{name.replace('_', '-')} must")
    return message


def check_finite(option, value, low=None):
    if not np.isfinite(value) or (low is not None and value < low):
        bound = f" of at least {low:g}" if low is not None else ""
        raise CliError(f"{option} must be a finite number{bound}, got {value}")


# ---- the camera ----------------------------------------------------------------

# The camera's options: flag, metavar, help (each defaults to None: not given).
CAMERA_OPTIONS = (("--baseline", "ADU", "camera offset, ADU (default 0)"),
                  ("--sensitivity", "E_PER_ADU", "photo-electrons per ADU (default 1)"),
                  ("--em-gain", "G", "EM gain (default 1)"),
                  ("--qe", "Q", "quantum efficiency (default 1)"),
                  ("--read-noise", "E", "read noise sigma, photo-electrons (default 0)"))


def add_camera_options(group, pixel_size_help):
    """The camera's options on `group` (a parser or an argument group), and
    --pixel-size with its help."""
    for flag, metavar, text in CAMERA_OPTIONS:
        group.add_argument(flag, type=float, default=None, metavar=metavar, help=text)
    group.add_argument("--pixel-size", type=float, default=None, metavar="NM", help=pixel_size_help)


def camera_from_args(args):
    """The Camera of add_camera_options' options (defaults for those not
    given); a setting out of range is a CliError naming its option."""
    from ..camera import Camera

    def given(name, default):
        v = getattr(args, name)
        return default if v is None else v

    try:
        return Camera(baseline=given("baseline", 0.0), sensitivity=given("sensitivity", 1.0),
                      em_gain=given("em_gain", 1.0), qe=given("qe", 1.0), read_noise=given("read_noise", 0.0),
                      pixel_size=args.pixel_size)
    except (TypeError, ValueError) as e:
        raise CliError(str(e).replace("camera ", "--").replace("_", "-", 1)) from None


def progress_option(parser):
    """--no-progress on `parser`; progress_of(args) is what the runs take."""
    parser.add_argument("--no-progress", dest="progress", action="store_false", help="no progress bar")


def progress_of(args):
    """The progress bar the options ask for: at a terminal unless --no-progress."""
    return "auto" if args.progress else False


# ---- input ---------------------------------------------------------------------


def read_peak_list(path, pixel_size=None, n_frames=1):
    """The peaks of a peak list or a localisation table, for `fit IMAGE
    PEAKS` and `--peaks` alike: a DataFrame with frame, x, y (pixels) of the
    rows that have a position. formats.read_localizations reads every kind
    (x,y, col,row or column,row in pixels; ThunderSTORM's x [nm],y [nm]
    with the pixel size; comma-, semicolon- or tab-separated; picasso's
    HDF5). Rows without a position are left out with a warning; positions
    that are not whole pixels are noted: each is fitted at the pixel that
    holds it. For a movie of more than one frame (`n_frames`) the list
    must number the frames (frame from 0, or ImageJ's Slice from 1): a list
    without such a column is refused, naming the columns it has."""
    from ..formats import CsvTable, FormatError, frame_column, read_localizations

    try:
        if n_frames > 1 and Path(path).is_file() and frame_column(path) is None:
            t = CsvTable(path)
            raise CliError(f"peaks {path}: the movie has {n_frames} frames, but {t.describe()} names no frame "
                           "column; expected frame (from 0) or Slice (ImageJ's, from 1) beside the positions")
        table = read_localizations(path, pixel_size)
    except (FormatError, OSError) as e:
        raise CliError(f"peaks {e}") from None
    x, y = table["x"].to_numpy(), table["y"].to_numpy()
    placed = np.isfinite(x) & np.isfinite(y)
    if not placed.all():  # failed fits of an earlier run, empty cells
        warn(f"{np.count_nonzero(~placed)} row(s) of {path} without a position left out "
             f"(first on line {first_line(~placed)})")
        table, x, y = table[placed], x[placed], y[placed]
    inside = np.abs(np.concatenate([x, y])) < 2**53  # beyond that, no pixel of any image
    if not inside.all():
        raise CliError(f"peaks {path}: a position of {np.concatenate([x, y])[~inside][0]:g} pixels is beyond any image")
    fractional = (x != np.floor(x)) | (y != np.floor(y))
    if fractional.any():
        note(f"{np.count_nonzero(fractional)} of {len(x)} peak position(s) in {path} are not whole pixels: each is "
             "fitted at the pixel that holds it (floor of x and y; a pixel's centre is at + 0.5)")
    return table


# ---- tables after the fit (drift, link, nena, frc) --------------------------------

TABLE_HELP = "localisation table, .csv or .hdf5/.h5 (as fit writes it, or ThunderSTORM's and picasso's)"


def add_step_parser(sub, name, help, description, drawing=None):
    """The parser of a step after the fit: the table it reads, the pixel
    size to read it with, and --png when it draws `drawing`."""
    p = sub.add_parser(name, help=help, description=description)
    p.add_argument("table", metavar="TABLE", help=TABLE_HELP)
    p.add_argument("--pixel-size", type=float, default=None, metavar="NM",
                   help="camera pixel size, nm (tables in nm need it; default the table's)")
    if drawing is not None:
        p.add_argument("--png", default=None, metavar="PNG", help=f"also draw {drawing}")
    return p


@contextmanager
def step_errors(*options):
    """The ValueErrors of a step's checks and work (FormatError among them)
    as one-line CliErrors, its keyword arguments `options` named as the
    tool spells them ("max_dark_frames must" -> "--max-dark-frames must")."""
    try:
        yield
    except ValueError as e:
        raise CliError(option_names(str(e), *options, "pixel_size")) from None


def table_output(path):
    """A table's output, checked before any work: a suffix naming a table
    format, a directory that exists (outputs.resolve_output)."""
    from ..formats import table_format
    from ..outputs import resolve_output

    with step_errors():
        table_format(path)
    return resolve_output(path)


def picture_output(path):
    """A PNG picture's output, checked before any work; None for None."""
    from .._post import check_png
    from ..outputs import resolve_output

    if path is None:
        return None
    with step_errors():
        check_png(path)
    return resolve_output(path)


def run_step(args, step, check=None, **options):
    """A step after the fit on the table file args.table, its outputs
    resolved by the caller: `check(**options)` before the table is read
    (formats.read_table; --pixel-size overrides the file's), then
    `step(table, metadata, **options)`'s result; a ValueError of either
    (FormatError among them) as one line, the options named as the tool
    spells them."""
    from ..formats import read_table

    with step_errors(*options):
        if check is not None:
            check(**options)
        table, metadata = read_table(args.table, args.pixel_size)
        return step(table, metadata, **options)


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
