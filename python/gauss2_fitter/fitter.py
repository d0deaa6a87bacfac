"""Pythonic wrappers over the Gaussian spot fitter."""

import numpy as np

from . import _lib
from ._checks import as_f64, as_int

PARAM_NAMES = ("amp", "std_x", "std_y", "pos_x", "pos_y", "rho", "offset")


def gauss_2d(params, mea):
    """The model rendered into a (mea, mea) patch: each pixel is the Gaussian
    with `params` (7 values, positions in the patch frame) at its centre."""
    p = as_f64("params", params, shape=(7,))
    mea = as_int("mea", mea, low=0, high=46340)
    out = np.empty((mea, mea), dtype=np.float64)
    if mea:
        _lib.lib.gauss_2d(p, out.reshape(-1), 7, mea * mea, None)
    return out


def jac_gauss_2d(params, mea):
    """The model's Jacobian over a (mea, mea) patch: shape (mea * mea, 7), one
    row of seven partial derivatives per pixel in row-major pixel order."""
    p = as_f64("params", params, shape=(7,))
    mea = as_int("mea", mea, low=0, high=46340)
    out = np.empty((mea * mea, 7), dtype=np.float64)
    if mea:
        _lib.lib.jac_gauss_2d(p, out.reshape(-1), 7, mea * mea, None)
    return out
