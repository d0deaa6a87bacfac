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
iterations, flag (FLAGS); with a camera pixel size also NM_COLUMNS, the
lengths x, y, lpx, lpy in nm. A row flagged 1 (skipped, or window outside
the frame) has x, y at its peak pixel's centre and no fitted values (NaN in
FITTED).

Everything that builds a table (the pipeline, the readers) builds it here,
so a new column is one entry below and its writers' mappings in formats.py.
"""

import numpy as np
import pandas as pd

from ._lib import FLAG_FAILED, FLAG_GOOD, FLAG_ITERATION_LIMIT, FLAG_SKIPPED

# name: (unit, what). Units: "px" camera pixels, "photon", "photon/px" per
# pixel, "" none. The order is the table's.
SPEC = {
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
    "flag": ("", "0 good; 1 skipped or window outside the frame; 2 solver failed; 3 iteration limit"),
}
COLUMNS = tuple(SPEC)
UNITS = {name: unit for name, (unit, _) in SPEC.items()}
# The columns that are not float64 (every other one is).
DTYPES = {"frame": np.int64, "iterations": np.int32, "flag": np.int8}
# What a fit fills: a skipped row leaves these NaN.
FITTED = COLUMNS[3:-2]
# The lengths in nm, with the pixel size, and the pixel column each scales.
NM_OF = {"x_nm": "x", "y_nm": "y", "lpx_nm": "lpx", "lpy_nm": "lpy"}
NM_COLUMNS = tuple(NM_OF)
UNITS.update({name: "nm" for name in NM_COLUMNS})

FLAGS = {FLAG_GOOD: "good", FLAG_SKIPPED: "skipped, or the window leaves the frame", FLAG_FAILED: "solver failed",
         FLAG_ITERATION_LIMIT: "stopped at the iteration limit"}


def column_names(pixel_size=None):
    """The table's columns: COLUMNS, and NM_COLUMNS with a pixel size."""
    return COLUMNS + (NM_COLUMNS if pixel_size is not None else ())


def empty_columns(n):
    """The columns of n rows: NaN, and zeros in the integer columns."""
    cols = {c: np.full(n, np.nan) for c in COLUMNS}
    for c, t in DTYPES.items():
        cols[c] = np.zeros(n, dtype=t)
    return cols


def as_column(name, values):
    """`values` in the type of column `name`; in an integer column, what is
    not finite becomes 0."""
    v = np.asarray(values, dtype=np.float64)
    if name in DTYPES:
        return np.where(np.isfinite(v), v, 0).astype(DTYPES[name])
    return v


def make_table(cols, pixel_size=None):
    """A DataFrame of the columns `cols` (a mapping holding at least
    COLUMNS, as typed arrays), in the table's order, with the nm columns
    computed when the pixel size is given. The arrays are not copied."""
    if pixel_size is not None:
        for nm, px in NM_OF.items():
            cols[nm] = cols[px] * pixel_size
    names = column_names(pixel_size)
    return pd.DataFrame({c: cols[c] for c in names}, columns=list(names), copy=False)


def empty_table(pixel_size=None):
    """A table with no rows."""
    return make_table(empty_columns(0), pixel_size)


def concat_tables(parts, pixel_size=None):
    """One table from tables of the same columns, in order; no attributes."""
    if not parts:
        return empty_table(pixel_size)
    cols = {c: np.concatenate([p[c].to_numpy() for p in parts]) for c in COLUMNS}
    return make_table(cols, pixel_size)


def missing_columns(table):
    """The columns of COLUMNS that `table` lacks."""
    return [c for c in COLUMNS if c not in table.columns]
