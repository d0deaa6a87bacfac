"""Pythonic wrappers over the Gaussian spot fitter."""

import numpy as np

from . import _lib
from ._checks import MAX_MEA, as_f64, as_int

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


def _image_shape(shape):
    """(h, w) as two non-negative ints."""
    try:
        dims = tuple(shape)
    except TypeError:
        raise TypeError(f"shape must be a pair (h, w), got {type(shape).__name__}") from None
    if len(dims) != 2:
        raise ValueError(f"shape must be a pair (h, w), got {dims}")
    return as_int("shape[0]", dims[0], low=0), as_int("shape[1]", dims[1], low=0)


def synth_image(peaks, shape, mea, im=None):
    """Adds the Gaussians `peaks` ((n, 7): amp, std_x, std_y, pos_x, pos_y, rho,
    offset, positions in image coordinates) into an image of `shape` (h, w).

    Each peak is rendered on a (mea, mea) patch around the pixel holding it;
    peaks whose patch would not fit with a column and a row to spare on the
    right and below are skipped silently. With `im` (a C-contiguous, writable
    float64 array of that shape) the peaks are added into it in place and it
    is returned; otherwise into a new image of zeros."""
    p = as_f64("peaks", peaks, ndim=2)
    if p.shape[1] != 7:
        raise ValueError(f"peaks must have shape (n, 7), got {p.shape}")
    h, w = _image_shape(shape)
    mea = as_int("mea", mea, low=0, high=MAX_MEA)
    if im is None:
        im = np.zeros((h, w), dtype=np.float64)
    else:
        if not isinstance(im, np.ndarray) or im.dtype != np.float64:
            raise TypeError(f"im must be a float64 numpy array, got {getattr(im, 'dtype', type(im).__name__)}")
        if im.shape != (h, w):
            raise ValueError(f"im must have shape {(h, w)}, got {im.shape}")
        if not im.flags.c_contiguous or not im.flags.writeable:
            raise ValueError("im must be a writable C-contiguous array")
    _lib.lib.synth_image(im, w, h, mea, p.shape[0], p)
    return im


def validate_im(im):
    """True unless the 2-D image `im` holds a NaN (infinities pass)."""
    a = as_f64("im", im, ndim=2)
    return bool(_lib.lib.validate_im(a, a.shape[1], a.shape[0]))
