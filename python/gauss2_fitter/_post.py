"""What the steps after the fit (drift.py, link.py, quality.py) share: the
checks of their input, the rows they use, the pixel size they measure in,
and figures written to files.

Each step takes the run's metadata as a RunMetadata (metadata.py: the
`metadata=` argument, or what the table's attrs hold), records itself
there (RunMetadata.with_step) for the tables it returns, and builds or
corrects their nm columns by the schema's rule (schema.py).
"""

import io

import numpy as np
import pandas as pd


def optional_length(name, value):
    """None, or a length in pixels: a positive finite float (TypeError,
    ValueError otherwise)."""
    from ._checks import as_real

    return None if value is None else as_real(name, value, positive=True, kind="a number of pixels or None")


def pixel_size_of(metadata, pixel_size=None):
    """The camera pixel in nm: `pixel_size` if given, else the metadata's (a
    RunMetadata); None when neither has it. A value that is not positive is
    a ValueError."""
    from .formats import _pixel_size

    return _pixel_size(metadata.pixel_size if pixel_size is None else pixel_size)


def check_table(locs, what, columns=("frame", "x", "y")):
    """Refuses what is not a DataFrame with `columns` (TypeError,
    ValueError), and frames that are not whole numbers; `what` names the
    step in the message."""
    if not isinstance(locs, pd.DataFrame):
        raise TypeError(f"{what} takes a localisation table (a pandas DataFrame), got {type(locs).__name__}")
    from .schema import check_whole_numbers, missing_columns

    missing = missing_columns(locs, columns)
    if missing:
        if "frame" in missing:
            raise ValueError(f"{what} needs each localisation's frame, and the table has no frame column")
        raise ValueError(f"{what}: the table lacks the column(s) {', '.join(missing)}")
    try:
        check_whole_numbers(locs, ("frame",))
    except ValueError as e:
        raise ValueError(f"{what}: {e}") from None


def frame_steps(frame, reach):
    """Frame numbers renumbered for steps that look `reach` frames ahead at
    most: gaps between the frames that occur longer than `reach` shortened
    to reach + 1, so that two frames are within `reach` of each other as
    before, with the same difference, while the numbers stay small (a
    k-d tree that stacks frames along one axis keeps its precision however
    large or sparse the frame numbers are). int64, in the rows' order."""
    frames, where = np.unique(np.asarray(frame, dtype=np.int64), return_inverse=True)
    steps = np.minimum(np.diff(frames), reach + 1)
    return np.r_[0, np.cumsum(steps)][where]


def measured_rows(locs):
    """The rows that are measurements: unflagged (flag == 0 when the table
    has flags) with a finite position; a boolean array."""
    from .render import rendered_rows

    return rendered_rows(locs, blur=None)


def precision_of(locs):
    """Each row's precision, pixels: the root mean square of lpx and lpy
    (NaN where either is missing or not positive)."""
    lpx = locs["lpx"].to_numpy(dtype=np.float64) if "lpx" in locs.columns else np.full(len(locs), np.nan)
    lpy = locs["lpy"].to_numpy(dtype=np.float64) if "lpy" in locs.columns else np.full(len(locs), np.nan)
    with np.errstate(invalid="ignore"):
        ok = (lpx > 0) & (lpy > 0)
    return np.where(ok, np.sqrt((lpx * lpx + lpy * lpy) / 2), np.nan)


def check_png(path):
    """Refuses a picture's path that does not end in .png (standard output,
    `-`, takes any)."""
    name = str(getattr(path, "name", path))
    if name != "-" and not name.lower().endswith(".png"):
        raise ValueError(f"{name}: a picture is written as PNG; give a path ending in .png")


def save_figure(fig, path):
    """Writes a matplotlib figure to `path` (.png, or `-`) as PNG; the file
    appears complete or not at all (outputs.py)."""
    from .outputs import open_output, resolve_output

    check_png(path)
    out = resolve_output(path)
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=fig.dpi)
    with open_output(out) as f:
        f.write(buf.getvalue())
    return out.name


def new_figure(width=6.0, height=4.0):
    """A matplotlib figure that needs no display."""
    from matplotlib.figure import Figure

    return Figure(figsize=(width, height), dpi=100, layout="constrained")
