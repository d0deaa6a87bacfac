"""Keeping the rows a user trusts: a table -> table step after the fit.

    good = filter_localizations(locs, min_photons=300, max_precision_nm=30, sx_range=(0.8, 2.0))

Rows flagged by the solver or by the checks after the fit (schema.FLAGS)
go, unless keep_flagged; then those below min_photons, those whose
precision (the root mean square of lpx and lpy, in nm: the pixel size is
needed) is above max_precision_nm or unknown, and those whose sx or sy
lies outside its range (pixels, both ends included). The table returned
carries the metadata with a "filter" step naming the criteria.

The criteria are checked once (`FilterCriteria.checked`) and then apply to
any number of chunks (`keep`), as the tool applies them while it streams.
"""

from dataclasses import dataclass

import numpy as np

from ._checks import as_real
from ._post import check_table, pixel_size_of, precision_of
from .metadata import metadata_of


def _width_range(name, value):
    if value is None:
        return None
    try:
        lo, hi = value
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a pair (low, high) of pixels, got {value!r}") from None
    lo, hi = as_real(f"{name} low", lo), as_real(f"{name} high", hi)
    if not 0 <= lo <= hi:
        raise ValueError(f"{name} must be (low, high) with 0 <= low <= high, got ({lo:g}, {hi:g})")
    return lo, hi


@dataclass(frozen=True)
class FilterCriteria:
    """The checked criteria of filter_localizations; pixel_size the nm per
    pixel that max_precision_nm needs (None without it)."""

    min_photons: float = None
    max_precision_nm: float = None
    sx_range: tuple = None
    sy_range: tuple = None
    keep_flagged: bool = False
    pixel_size: float = None

    @classmethod
    def checked(cls, min_photons=None, max_precision_nm=None, sx_range=None, sy_range=None, keep_flagged=False,
                pixel_size=None):
        """The criteria, each checked (TypeError, ValueError)."""
        if min_photons is not None:
            min_photons = as_real("min_photons", min_photons)
        if max_precision_nm is not None:
            max_precision_nm = as_real("max_precision_nm", max_precision_nm, positive=True)
            if pixel_size is None:
                raise ValueError("max_precision_nm is in nm and the table's pixel size is unknown; give the "
                                 "camera's pixel size (metadata, or the table's run)")
        if not isinstance(keep_flagged, (bool, np.bool_)):
            raise TypeError(f"keep_flagged must be True or False, got {type(keep_flagged).__name__}")
        return cls(min_photons, max_precision_nm, _width_range("sx_range", sx_range),
                   _width_range("sy_range", sy_range), bool(keep_flagged), pixel_size)

    def step(self):
        """The step recorded in the run's metadata."""
        return {"step": "filter", "min_photons": self.min_photons, "max_precision_nm": self.max_precision_nm,
                "sx_range": list(self.sx_range) if self.sx_range else None,
                "sy_range": list(self.sy_range) if self.sy_range else None, "keep_flagged": self.keep_flagged}

    def keep(self, locs):
        """A boolean array: the rows of `locs` that meet the criteria (a
        missing value never does)."""
        keep = np.ones(len(locs), dtype=bool)
        with np.errstate(invalid="ignore"):
            if not self.keep_flagged and "flag" in locs.columns:
                keep &= locs["flag"].to_numpy() == 0
            if self.min_photons is not None:
                keep &= locs["photons"].to_numpy(dtype=np.float64) >= self.min_photons
            if self.max_precision_nm is not None:
                keep &= precision_of(locs) * self.pixel_size <= self.max_precision_nm
            for column, bounds in (("sx", self.sx_range), ("sy", self.sy_range)):
                if bounds is not None:
                    v = locs[column].to_numpy(dtype=np.float64)
                    keep &= (v >= bounds[0]) & (v <= bounds[1])
        return keep


def filter_localizations(locs, *, min_photons=None, max_precision_nm=None, sx_range=None, sy_range=None,
                         keep_flagged=False, metadata=None):
    """The rows of a localisation table that meet every criterion given.

    Parameters
    ----------
    locs : pandas.DataFrame
        A localisation table (as `localize` or `read_localizations` return).
    min_photons : float, optional
        The fewest photons a row may have.
    max_precision_nm : float, optional
        The largest precision, nm: the root mean square of lpx and lpy times
        the pixel size (the metadata's); rows without one go.
    sx_range, sy_range : (float, float), optional
        The widths sx, sy allowed, pixels (both ends included).
    keep_flagged : bool, optional
        Keep the flagged rows (flag != 0) too; by default they go.
    metadata : RunMetadata, optional
        The table's run metadata (default what its attrs hold).

    Returns
    -------
    pandas.DataFrame
        The rows kept, renumbered from 0; its attrs the metadata with a
        "filter" step (the criteria, and the rows kept of how many).

    Raises
    ------
    TypeError, ValueError
        Not a table, a table lacking a column a criterion needs, a
        criterion that is not a number (a range not a pair, low above high),
        max_precision_nm without a pixel size.

    Examples
    --------
    >>> spot = g2.synth_image([[2000, 1.3, 1.3, 20.4, 12.6, 0, 0]], (32, 40), 15) + 10
    >>> movie = np.random.default_rng(1).poisson(spot, (3, 32, 40)).astype(float)
    >>> locs = g2.localize(movie, camera=g2.Camera(pixel_size=100), estimator="lsq")
    >>> locs.photons.round().tolist(), locs.lpx_nm.round(1).tolist()
    ([2065.0, 1979.0, 2025.0], [3.9, 4.3, 4.2])
    >>> good = g2.filter_localizations(locs, min_photons=2000, max_precision_nm=4.1, sx_range=(0.7, 2.5))
    >>> good.frame.tolist(), good.attrs["steps"][-1]["kept"]
    ([0, 2], 2)
    """
    meta = metadata_of(locs, metadata)
    criteria = FilterCriteria.checked(min_photons, max_precision_nm, sx_range, sy_range, keep_flagged,
                                      pixel_size_of(meta) if max_precision_nm is not None else None)
    needed = ["frame", "x", "y"] + (["photons"] if min_photons is not None else []) + \
        (["lpx", "lpy"] if max_precision_nm is not None else []) + \
        [c for c, r in (("sx", sx_range), ("sy", sy_range)) if r is not None]
    check_table(locs, "filter_localizations", needed)
    out = locs[criteria.keep(locs)].reset_index(drop=True)
    step = {**criteria.step(), "kept": int(len(out)), "of": int(len(locs))}
    return meta.with_step(step).attach(out)
