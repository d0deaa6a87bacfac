"""What every subcommand of the tool shares: its name, its one-line errors,
warnings and notes, the option checks, the peak lists, and the signals that
end a run cleanly."""

import signal
import sys
import threading
from contextlib import contextmanager

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


def check_finite(option, value, low=None):
    if not np.isfinite(value) or (low is not None and value < low):
        bound = f" of at least {low:g}" if low is not None else ""
        raise CliError(f"{option} must be a finite number{bound}, got {value}")


# ---- input ---------------------------------------------------------------------


def read_peak_list(path, pixel_size=None):
    """The peaks of a peak list or a localisation table, for `fit IMAGE
    PEAKS` and `--peaks` alike: a DataFrame with frame, x, y (pixels) of the
    rows that have a position. formats.read_localizations reads every kind
    (x,y, col,row or column,row in pixels; ThunderSTORM's x [nm],y [nm]
    with the pixel size; comma-, semicolon- or tab-separated; picasso's
    HDF5). Rows without a position are left out with a warning; positions
    that are not whole pixels are noted: each is fitted at the pixel that
    holds it."""
    from ..formats import FormatError, read_localizations

    try:
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
