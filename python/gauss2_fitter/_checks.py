"""Argument checks that run before any native call.

A wrong dtype is a TypeError and a wrong shape or length a ValueError, with
a message naming the argument; nothing reaches the library unchecked.
"""

import numbers

import numpy as np

MAX_MEA = 63  # the library's bound on the patch side


def as_f64(name, value, shape=None, ndim=None):
    """A C-contiguous float64 array of real values (copied only if needed)."""
    arr = np.asarray(value)
    if arr.dtype == object or not (np.issubdtype(arr.dtype, np.floating) or np.issubdtype(arr.dtype, np.integer)
                                   or arr.dtype == np.bool_):
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
    if not (np.issubdtype(arr.dtype, np.integer) or arr.dtype == np.bool_):
        raise TypeError(f"{name} must hold integers, got dtype {arr.dtype}")
    if arr.ndim != ndim:
        raise ValueError(f"{name} must have {ndim} dimension(s), got shape {arr.shape}")
    # Compared as uint64: against a Python int numpy would compare in float64,
    # where 2**63 .. 2**63 + 1023 equal the int64 maximum and would wrap negative.
    if np.issubdtype(arr.dtype, np.unsignedinteger) and arr.size and arr.max() > np.uint64(np.iinfo(np.int64).max):
        raise ValueError(f"{name} holds values beyond the 64-bit signed range")
    return np.ascontiguousarray(arr, dtype=np.int64)


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
