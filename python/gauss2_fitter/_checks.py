"""Argument checks that run before any native call.

A wrong dtype is a TypeError and a wrong shape or length a ValueError, with
a message naming the argument; nothing reaches the library unchecked. Pixel
values outside the range within which fits are trustworthy give a
PixelScaleWarning. Also the one import of the optional packages that read
and write files, with the message that says what to install.
"""

import importlib
import math
import numbers
import warnings

import numpy as np

from ._lib import GAUSS2_MAX_MEA, TRUSTED_PIXEL_RANGE

MAX_MEA = GAUSS2_MAX_MEA  # the name importers know


def is_real_dtype(dtype):
    """Booleans, integers and floats: the dtypes whose values are numbers.
    Not complex, object or string dtypes, nor timedelta64 and datetime64,
    which numpy files under the integers but which hold durations and dates."""
    return np.dtype(dtype).kind in "biuf"


def is_integer_dtype(dtype):
    return np.dtype(dtype).kind in "biu"


def as_f64(name, value, shape=None, ndim=None):
    """A C-contiguous float64 array of real values (copied only if needed)."""
    arr = np.asarray(value)
    if not is_real_dtype(arr.dtype):
        raise TypeError(f"{name} must hold real numbers, got dtype {arr.dtype}")
    if ndim is not None and arr.ndim != ndim:
        raise ValueError(f"{name} must have {ndim} dimension(s), got shape {arr.shape}")
    if shape is not None and arr.shape != tuple(shape):
        raise ValueError(f"{name} must have shape {tuple(shape)}, got {arr.shape}")
    return np.ascontiguousarray(arr, dtype=np.float64)


def as_i64(name, value, ndim=1):
    """A C-contiguous int64 array from integer values."""
    arr = np.asarray(value)
    if arr.size == 0 and arr.dtype != object:
        arr = arr.astype(np.int64)  # an empty list arrives as float64
    if not is_integer_dtype(arr.dtype):
        raise TypeError(f"{name} must hold integers, got dtype {arr.dtype}")
    if arr.ndim != ndim:
        raise ValueError(f"{name} must have {ndim} dimension(s), got shape {arr.shape}")
    # Compared as uint64: against a Python int numpy would compare in float64,
    # where 2**63 .. 2**63 + 1023 equal the int64 maximum and would wrap negative.
    if np.issubdtype(arr.dtype, np.unsignedinteger) and arr.size and arr.max() > np.uint64(np.iinfo(np.int64).max):
        raise ValueError(f"{name} holds values beyond the 64-bit signed range")
    return np.ascontiguousarray(arr, dtype=np.int64)


def as_real(name, value, positive=False, kind="a number"):
    """A finite Python float from a real scalar, a positive one if asked: a
    TypeError for what is not `kind`, a ValueError for a value out of range."""
    try:
        v = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be {kind}, got {type(value).__name__}") from None
    if not (math.isfinite(v) and (v > 0 or not positive)):
        raise ValueError(f"{name} must be {'positive and ' if positive else ''}finite, got {value}")
    return v


def excess_noise_factor(value, name="excess_noise"):
    """An excess-noise variance factor F^2 checked: a real number, finite
    and at least 1 (TypeError, ValueError)."""
    f2 = as_real(name, value)
    if not f2 >= 1.0:
        raise ValueError(f"{name} must be at least 1 (the variance factor F^2), got {value}")
    return f2


def as_int(name, value, low=None, high=None, odd=False):
    """A plain Python int from an integral scalar, within [low, high]."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    value = int(value)
    if low is not None and value < low:
        raise ValueError(f"{name} must be at least {low}, got {value}")
    if high is not None and value > high:
        raise ValueError(f"{name} must be at most {high}, got {value}")
    if odd and value % 2 == 0:
        raise ValueError(f"{name} must be odd, got {value}")
    return value


def read_noise_sigma(name, value, shape=None):
    """The read noise sigma in photo-electrons, checked: a non-negative
    finite float whose square (the variance the fits use) is finite too, or
    a read-only 2-D float64 map of such values, of `shape` when given. A
    TypeError for what is not a real number or map of them, a ValueError for
    values or a shape out of range."""
    if np.ndim(value) == 0:
        real = isinstance(value, numbers.Real) or (isinstance(value, np.ndarray) and value.dtype.kind in "iuf")
        if isinstance(value, (bool, np.bool_)) or not real:
            raise TypeError(f"{name} must be a number or a 2-D array, got {type(value).__name__}")
        v = float(value)
        if not (math.isfinite(v) and v >= 0 and math.isfinite(v * v)):
            raise ValueError(f"{name} must be non-negative and finite, its square too, got {value}")
        return v
    a = np.asarray(value)
    if a.dtype.kind not in "iuf":
        raise TypeError(f"{name} map must hold real numbers, got dtype {a.dtype}")
    if a.ndim != 2:
        raise ValueError(f"{name} must be a scalar or a 2-D map, got shape {a.shape}")
    if shape is not None and a.shape != tuple(shape):
        raise ValueError(f"{name} must be a scalar or have the image's shape {tuple(shape)}, got {a.shape}")
    a = np.array(a, dtype=np.float64, order="C")  # a copy: the caller's array may change later
    with np.errstate(over="ignore"):
        square = a * a
    if not np.all(np.isfinite(a) & (a >= 0) & np.isfinite(square)):
        raise ValueError(f"{name} map must be non-negative and finite everywhere, its square too")
    a.setflags(write=False)
    return a


def one_line(text):
    """`text` (an exception's message, say) as one line: its lines joined by
    spaces, blank ones dropped."""
    return " ".join(line.strip() for line in str(text).splitlines() if line.strip())


def need_package(module, what, error, hint=""):
    """The optional package `module`, imported; if it is not installed, an
    `error` saying that `what` needs it and how to install it (Debian's
    python3-<module>), then `hint`."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise error(f"{what} needs the {module} package, which is not installed "
                    f"(Debian: apt-get install python3-{module}){hint}") from None


# ---- the scale of pixel values -------------------------------------------------------


class PixelScaleWarning(UserWarning):
    """An image's values lie outside the range within which fits are
    trustworthy: the solver's stopping rules compare each step with the whole
    parameter vector, whose amplitude and offset grow with the pixel values,
    so a fit may stop early with the position and widths barely moved, and
    nothing flags it. Scale the image (to photons, say) before fitting."""


def largest_abs(a):
    """The largest absolute finite value of a float64 array; 0.0 if it has none."""
    if a.size == 0:
        return 0.0
    top = max(float(a.max()), -float(a.min()))
    if np.isfinite(top):
        return top
    finite = a[np.isfinite(a)]
    return float(np.abs(finite).max()) if finite.size else 0.0


def pixel_scale_problem(name, top):
    """None when `top`, the largest absolute finite value of what is fitted,
    lies in the trusted range (or is 0: nothing to scale), else a sentence
    that says so."""
    low, high = TRUSTED_PIXEL_RANGE
    if top == 0.0 or low <= top <= high:
        return None
    return (f"the largest absolute pixel value of {name} is {top:.3g}, outside {low:g} to {high:g}, the range "
            "within which fits are trustworthy: a fit may stop early and unflagged; scale the image (e.g. to photons)")


def warn_pixel_scale(name, top, stacklevel=3):
    """A PixelScaleWarning when `top` lies outside the trusted range."""
    problem = pixel_scale_problem(name, top)
    if problem:
        warnings.warn(problem, PixelScaleWarning, stacklevel=stacklevel)
