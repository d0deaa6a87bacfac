"""The common runtime's records (Tab, Hash, HashRec, F64Arr) and operations.

The records cross the C ABI by value, so they are ctypes Structures whose
sizes and field offsets are checked at import (both, like every prototype,
in _lib, the mirror of the C headers). Every operation is declared on the
library handle `lib` with its C prototype:

    from gauss2_fitter import common
    tab = common.lib.tab_malloc_by_n_rows(10, 24, common.TAB_FLAGS_GROWABLE)
    common.lib._tab_add(ctypes.byref(tab), None, None, b"host.py", 1)
    rows = common.tab_view(tab)          # (1, 3) float64, same memory
    common.lib.tab_free(ctypes.byref(tab))

`f64arr_view` and `tab_view` show a record's memory as a numpy array
without copying; `f64arr_of` and `tab_of` make records over numpy arrays.
A view is valid only while the memory behind it is.
"""

import ctypes
from ctypes import c_double, c_uint64

import numpy as np

from . import _lib
from ._lib import LAYOUTS, TAB_FLAGS_ARRAY, TAB_FLAGS_GROWABLE, F64Arr, Hash, HashRec, Tab

__all__ = ["lib", "LAYOUTS", "TAB_FLAGS_ARRAY", "TAB_FLAGS_GROWABLE", "F64Arr", "Hash", "HashRec", "Tab",
           "f64arr_view", "f64arr_of", "tab_view", "tab_of"]

lib = _lib.lib
_P_Float64 = _lib.c_float64_p


def _address(pointer):
    return ctypes.cast(pointer, ctypes.c_void_p).value or 0


def _strided_view(address, shape, strides_bytes):
    """A float64 ndarray over memory at `address`, no copy."""
    if all(shape):
        span = (sum((n - 1) * s for n, s in zip(shape, strides_bytes)) + 8) // 8
    else:
        span = 0
    if span and not address:
        raise ValueError("the record's base is null")
    buf = (c_double * span).from_address(address)
    return np.ndarray(shape=tuple(shape), dtype=np.float64, buffer=buf, strides=tuple(strides_bytes))


def f64arr_view(arr):
    """The elements of an F64Arr as a writable numpy array over the same memory."""
    n_dims = int(arr.n_dims)
    if not 1 <= n_dims <= 4:
        raise ValueError(f"F64Arr has n_dims {n_dims}, not 1 to 4")
    shape = [int(arr.shape[a]) for a in range(n_dims)]
    strides = [8 * int(arr.pitch[a]) for a in range(n_dims)]
    return _strided_view(_address(arr.base), shape, strides)


def f64arr_of(a):
    """An F64Arr view (through the library's `f64arr`) of a C-contiguous float64
    numpy array of 1 to 4 dimensions. The record keeps `a` alive while it lives,
    but copies of the record do not."""
    if not isinstance(a, np.ndarray) or a.dtype != np.float64:
        raise TypeError("f64arr_of needs a float64 numpy array")
    if not 1 <= a.ndim <= 4:
        raise ValueError(f"f64arr_of needs 1 to 4 dimensions, got shape {a.shape}")
    if not a.flags.c_contiguous:
        raise ValueError("f64arr_of needs a C-contiguous array")
    shape = (c_uint64 * 4)(*a.shape)
    rec = lib.f64arr(a.ctypes.data_as(_P_Float64), a.ndim, shape)
    rec._owner = a
    return rec


def tab_view(tab, all_rows=False):
    """A table of float64 rows as a (rows, n_bytes_per_row / 8) numpy array over
    the same memory: the rows in use, or with `all_rows` the whole capacity."""
    row_bytes = int(tab.n_bytes_per_row)
    if row_bytes == 0 or row_bytes % 8:
        raise ValueError(f"rows of {row_bytes} bytes are not whole float64 values")
    n = int(tab.n_max_rows if all_rows else tab.n_rows)
    return _strided_view(tab.base or 0, [n, row_bytes // 8], [row_bytes, 8])


def tab_of(a, flags=0):
    """A table view (through `tab_by_n_rows`) of a C-contiguous 2-D float64 array,
    one row per array row. With TAB_FLAGS_GROWABLE the array is zeroed and the
    table starts empty. The record keeps `a` alive while it lives."""
    if not isinstance(a, np.ndarray) or a.dtype != np.float64:
        raise TypeError("tab_of needs a float64 numpy array")
    if a.ndim != 2 or a.shape[1] == 0:
        raise ValueError(f"tab_of needs a 2-D array with columns, got shape {a.shape}")
    if not a.flags.c_contiguous or not a.flags.writeable:
        raise ValueError("tab_of needs a writable C-contiguous array")
    rec = lib.tab_by_n_rows(a.ctypes.data, a.shape[0], a.shape[1] * 8, flags)
    rec._owner = a
    return rec
