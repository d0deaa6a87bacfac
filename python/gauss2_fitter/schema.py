"""The localisation table: its columns, their types and units, in one place.

    from gauss2_fitter.schema import COLUMNS, UNITS, make_table
    UNITS["bg"]                      # 'photon/px'
    table = make_table(columns, pixel_size=107.0)   # adds x_nm, y_nm, lpx_nm, lpy_nm

One row per spot. COLUMNS, in this order: frame (from 0), x, y (pixels;
pixel (col, row) covers [col, col + 1) x [row, row + 1), centre at + 0.5),
photons, sx, sy (pixels), rho, bg (photons per pixel), lpx, lpy
(photon-statistics standard errors of x and y, pixels), photons_se, sx_se,
sy_se, bg_se, goodness (least squares: residual noise in photons; maximum
likelihood: the log-likelihood ratio against the saturated model),
iterations, flag (FLAGS: 0 a good fit, 1 to 3 the solver's verdicts, 4 to
7 rows the checks after the fit found implausible), n_emitters (the
emitters of the fit the row comes from: 1 for a single fit, more for a
joint fit of crowded spots, 0 for an unfitted row; crowded.py); a linked
table (link.py: one row per blink)
also EVENT_COLUMNS after them, len and n, as picasso's linked tables carry
them; with a camera pixel size also NM_COLUMNS, the lengths x, y, lpx, lpy
in nm. A row flagged 1 (skipped, or a frame smaller than the window) has x, y at
its peak pixel's centre and no fitted values (NaN in FITTED).

Everything that builds a table (the pipeline, the readers, the steps after
the fit) builds it here, so a new column is one entry below and its
writers' mappings in formats.py; the nm columns follow one rule, NM_OF
(nm_columns, with_nm_columns).
"""

import numpy as np
import pandas as pd

from ._lib import FLAG_FAILED, FLAG_GOOD, FLAG_ITERATION_LIMIT, FLAG_SKIPPED

# name: (unit, what). Units: "px" camera pixels, "photon", "photon/px" per
# pixel, "" none. The order is the table's.
COLUMN_FIELDS = {
    "frame": ("", "frame index, from 0 over all files of the movie"),
    "x": ("px", "position, a pixel's centre at + 0.5"),
    "y": ("px", "position, a pixel's centre at + 0.5"),
    "photons": ("photon", "the spot's total signal"),
    "sx": ("px", "Gaussian width along x"),
    "sy": ("px", "Gaussian width along y"),
    "rho": ("", "correlation of x and y"),
    "bg": ("photon/px", "background"),
    "lpx": ("px", "photon-statistics standard error of x"),
    "lpy": ("px", "photon-statistics standard error of y"),
    "photons_se": ("photon", "standard error of photons"),
    "sx_se": ("px", "standard error of sx"),
    "sy_se": ("px", "standard error of sy"),
    "bg_se": ("photon/px", "standard error of bg"),
    "goodness": ("", "least squares: residual noise (photons); MLE: log-likelihood ratio"),
    "iterations": ("", "solver iterations"),
    "flag": ("", "0 good; 1 skipped (or a frame smaller than the window); 2 solver failed; 3 iteration limit; "
                 "4 position outside the window or frame; 5 a value or standard error not finite; "
                 "6 width implausible; 7 photons not positive or beyond what the window holds"),
    "n_emitters": ("", "emitters of the fit the row comes from: 1 a single fit, more a joint fit; 0 unfitted"),
}
COLUMNS = tuple(COLUMN_FIELDS)
# A linked table's columns after COLUMNS: an event of one blink.
EVENT_FIELDS = {
    "len": ("", "frames from the event's first to its last, dark frames included"),
    "n": ("", "localisations the event joins"),
}
EVENT_COLUMNS = tuple(EVENT_FIELDS)
UNITS = {name: unit for name, (unit, _) in {**COLUMN_FIELDS, **EVENT_FIELDS}.items()}
# The columns that are not float64 (every other one is).
DTYPES = {"frame": np.int64, "iterations": np.int32, "flag": np.int8, "n_emitters": np.int32, "len": np.int64,
          "n": np.int64}
# What a fit fills: a skipped row leaves these NaN.
FITTED = COLUMNS[3:COLUMNS.index("iterations")]
# The lengths in nm, with the pixel size, and the pixel column each scales.
NM_OF = {"x_nm": "x", "y_nm": "y", "lpx_nm": "lpx", "lpy_nm": "lpy"}
NM_COLUMNS = tuple(NM_OF)
UNITS.update({name: "nm" for name in NM_COLUMNS})

# The flags the checks after the fit set (plausibility.py) on rows the solver
# called good; the solver's own flags (0 to 3) are those of the library.
FLAG_OUTSIDE, FLAG_NOT_FINITE, FLAG_WIDTH, FLAG_PHOTONS = 4, 5, 6, 7
FLAGS = {FLAG_GOOD: "good", FLAG_SKIPPED: "skipped, or the window leaves the frame", FLAG_FAILED: "solver failed",
         FLAG_ITERATION_LIMIT: "stopped at the iteration limit",
         FLAG_OUTSIDE: "position outside the fit window or the frame",
         FLAG_NOT_FINITE: "a fitted value or standard error is not finite",
         FLAG_WIDTH: "sx or sy outside the plausible range around the PSF width",
         FLAG_PHOTONS: "photons not positive, or more than the window holds"}


def is_linked(columns):
    """Whether `columns` (names, a mapping or a DataFrame) are a linked
    table's: they hold every one of EVENT_COLUMNS."""
    return all(c in columns for c in EVENT_COLUMNS)


def table_columns(columns):
    """The schema's columns of a table holding `columns` (names, a mapping
    or a DataFrame), without the nm columns: COLUMNS, and EVENT_COLUMNS
    after them for a linked table."""
    return COLUMNS + (EVENT_COLUMNS if is_linked(columns) else ())


def column_names(pixel_size=None, linked=False):
    """The table's columns: COLUMNS (EVENT_COLUMNS after them when
    `linked`), and NM_COLUMNS with a pixel size."""
    return COLUMNS + (EVENT_COLUMNS if linked else ()) + (NM_COLUMNS if pixel_size is not None else ())


def empty_columns(n):
    """The columns of n rows: NaN, and zeros in the integer columns."""
    return {c: np.zeros(n, dtype=DTYPES[c]) if c in DTYPES else np.full(n, np.nan) for c in COLUMNS}


def nm_columns(cols, pixel_size):
    """The nm columns of the pixel columns in `cols` (a mapping or a
    DataFrame): each length times the pixel size (nm); none without one."""
    if pixel_size is None:
        return {}
    return {nm: np.asarray(cols[px], dtype=np.float64) * pixel_size for nm, px in NM_OF.items() if px in cols}


def with_nm_columns(table, pixel_size):
    """`table` (changed in place) with its nm columns those of its pixel
    columns under `pixel_size`: set with a pixel size, removed without one,
    where they could only be stale (a step that moved x and y, say)."""
    table.drop(columns=[c for c in NM_COLUMNS if c in table.columns], inplace=True)
    for nm, v in nm_columns(table, pixel_size).items():
        table[nm] = v
    return table


def as_column(name, values):
    """`values` in the type of column `name`; in an integer column, what is
    not finite becomes 0."""
    v = np.asarray(values, dtype=np.float64)
    if name in DTYPES:
        return np.where(np.isfinite(v), v, 0).astype(DTYPES[name])
    return v


def make_table(cols, pixel_size=None):
    """A DataFrame of the columns `cols` (a mapping holding at least
    COLUMNS, as typed arrays; a linked table's EVENT_COLUMNS too), in the
    table's order, with the nm columns computed when the pixel size is
    given. The arrays are not copied."""
    cols.update(nm_columns(cols, pixel_size))
    names = column_names(pixel_size, is_linked(cols))
    return pd.DataFrame({c: cols[c] for c in names}, copy=False)  # the dict's order; columns= costs 3x more


def empty_table(pixel_size=None):
    """A table with no rows."""
    return make_table(empty_columns(0), pixel_size)


def concat_tables(parts, pixel_size=None):
    """One table from tables of the same columns, in order; no attributes."""
    if not parts:
        return empty_table(pixel_size)
    cols = {c: np.concatenate([p[c].to_numpy() for p in parts]) for c in COLUMNS}
    return make_table(cols, pixel_size)


def missing_columns(table, columns=COLUMNS):
    """The columns of `columns` that `table` lacks."""
    return [c for c in columns if c not in table.columns]


def check_whole_numbers(table, columns):
    """Refuses (ValueError naming the column and row) a value of an integer
    column among `columns` that is not a whole number: NaN, infinite or
    fractional, as a user's table may hold where a file can give none."""
    for c in columns:
        if c not in DTYPES or table[c].dtype.kind in "biu":
            continue
        v = table[c].to_numpy(dtype=np.float64)
        with np.errstate(invalid="ignore"):
            bad = ~np.isfinite(v) | (v != np.floor(v))
        if bad.any():
            row = int(np.flatnonzero(bad)[0])
            raise ValueError(f"{c} = {v[row]:g} at row {row} is not a whole number ({c} is an integer column)")
