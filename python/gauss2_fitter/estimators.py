"""The estimators, one record each: everything that depends on which fit
ran reads the record, never the estimator's name.

    est = estimator("mle")
    est.batch(im, mea, cx, cy, variance, records, std, flag, iterations)   # one native call
    est.goodness_is_likelihood                                            # what records[:, 8] holds

Readers of the record: fitter.py (the batch, where the photon-statistics
errors come from), pipeline.py (Settings, the goodness column's unit),
formats.py (HDF5's likelihood field), the tool (--estimator's choices).

A new estimator whose fit fills the per-peak record (10 values: the seven
parameters in [0..6], a goodness in [8]), the standard errors, a flag and
the iterations of each peak: its native batch and prototype (_lib.py), a
`batch` adapter below and one entry in ESTIMATORS. Estimators with other
outputs (several emitters a window, fixed shapes) are modules of their own
beside fitter.py.
"""

from dataclasses import dataclass
from typing import Callable

import numpy as np

from . import _lib


@dataclass(frozen=True)
class Estimator:
    """An estimator of the per-peak fits.

    name: what users pass (estimator="mle"); title: its words in help texts.
    batch(a, mea, cx, cy, variance, records, std, flag, iterations): fits
        the peaks (cx, cy) of the float64 image `a` (h, w) in one native
        call, writing the records (fitted in place), the standard errors,
        the FLAG_* codes and the iterations; variance a fitter.ReadVariance.
    own_errors_are_photon_errors: its standard errors are photon-statistics
        errors (the Cramer-Rao bound); otherwise they assume equal noise in
        every pixel, and the photon-statistics (sandwich) errors are
        computed beside them.
    goodness_is_likelihood: records[:, 8] is the log-likelihood ratio
        against the saturated model (no unit); otherwise the residual noise,
        in the image's units (photo-electrons: divided by qe for photons).
    """

    name: str
    title: str
    batch: Callable
    own_errors_are_photon_errors: bool
    goodness_is_likelihood: bool


def _least_squares(a, mea, cx, cy, variance, records, std, flag, iterations):
    reasons = np.zeros(len(cx), dtype=np.int64)
    _lib.lib.fit_array_of_gauss_2d_on_float_image_report(a, a.shape[1], a.shape[0], mea, len(cx), cx, cy, records,
                                                         std, flag, reasons, iterations)


def _poisson_likelihood(a, mea, cx, cy, variance, records, std, flag, iterations):
    _lib.lib.fit_array_of_gauss_2d_mle_on_float_image(a, a.shape[1], a.shape[0], mea, len(cx), cx, cy,
                                                      variance.scalar, variance.map, records, std, flag, iterations)


LSQ = Estimator("lsq", "least squares", _least_squares, own_errors_are_photon_errors=False,
                goodness_is_likelihood=False)
MLE = Estimator("mle", "Poisson maximum likelihood", _poisson_likelihood, own_errors_are_photon_errors=True,
                goodness_is_likelihood=True)

ESTIMATORS = {e.name: e for e in (LSQ, MLE)}
DEFAULT = MLE.name  # of localisation runs (camera data in photo-electrons); the binding's fits default to least squares


def estimator(name):
    """The Estimator called `name`: a TypeError for what is not a str, a
    ValueError naming the known ones for another name."""
    if not isinstance(name, str):
        raise TypeError(f"estimator must be a str, got {type(name).__name__}")
    try:
        return ESTIMATORS[name]
    except KeyError:
        raise ValueError(f"estimator must be one of {', '.join(ESTIMATORS)}, got {name!r}") from None
