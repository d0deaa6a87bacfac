"""The common runtime's records (Tab, Hash, HashRec, F64Arr) and operations.

The records cross the C ABI by value, so they are ctypes Structures whose
sizes and field offsets are checked at import. Every operation is declared
on the library handle `lib` with its C prototype:

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
from ctypes import POINTER, c_double

import numpy as np

from . import _lib
from ._lib import _declare, c_char_p, c_int, c_uint64, c_void_p

lib = _lib.lib

TAB_FLAGS_GROWABLE = 0x02
TAB_FLAGS_ARRAY = 0x20


class Tab(ctypes.Structure):
    """Rows of n_bytes_per_row bytes at base; rows 0 .. n_rows - 1 in use."""

    _fields_ = [
        ("base", c_void_p),
        ("n_bytes_per_row", c_uint64),
        ("n_max_rows", c_uint64),
        ("n_rows", c_uint64),
        ("n_cols", c_uint64),
        ("n_bytes_per_col", c_uint64),
        ("flags", c_uint64),
    ]


class HashRec(ctypes.Structure):
    """One hash slot; key 0 marks an empty slot."""

    _fields_ = [("key", c_uint64), ("val", c_void_p)]


class Hash(ctypes.Structure):
    """A fixed-capacity hash over the caller's n_max_recs slots."""

    _fields_ = [("recs", POINTER(HashRec)), ("n_max_recs", c_uint64), ("n_recs", c_uint64)]


class F64Arr(ctypes.Structure):
    """A dense row-major float64 array of 1 to 4 dimensions; pitches in elements."""

    _fields_ = [
        ("base", POINTER(c_double)),
        ("n_dims", c_uint64),
        ("shape", c_uint64 * 4),
        ("pitch", c_uint64 * 4),
    ]


# The library's layouts (pinned there by static_assert): size and offsets in bytes.
LAYOUTS = {
    Tab: (56, {"base": 0, "n_bytes_per_row": 8, "n_max_rows": 16, "n_rows": 24, "n_cols": 32,
               "n_bytes_per_col": 40, "flags": 48}),
    HashRec: (16, {"key": 0, "val": 8}),
    Hash: (24, {"recs": 0, "n_max_recs": 8, "n_recs": 16}),
    F64Arr: (80, {"base": 0, "n_dims": 8, "shape": 16, "pitch": 48}),
}


def _check_layouts():
    for cls, (size, offsets) in LAYOUTS.items():
        if ctypes.sizeof(cls) != size:
            raise ImportError(f"{cls.__name__} is {ctypes.sizeof(cls)} bytes here, the library's is {size}")
        for name, offset in offsets.items():
            if getattr(cls, name).offset != offset:
                raise ImportError(f"{cls.__name__}.{name} lies at {getattr(cls, name).offset}, not {offset}")


_check_layouts()

_P_Tab = POINTER(Tab)
_P_F64Arr = POINTER(F64Arr)
_P_Uint64 = POINTER(c_uint64)
_P_Float64 = POINTER(c_double)

# Tables. `mutex` is a pthread_mutex_t * or None; `file`, `line` the caller's position.
_declare("tab_by_size", Tab, c_void_p, c_uint64, c_uint64, c_uint64)
_declare("tab_malloc_by_size", Tab, c_uint64, c_uint64, c_uint64)
_declare("tab_by_n_rows", Tab, c_void_p, c_uint64, c_uint64, c_uint64)
_declare("tab_malloc_by_n_rows", Tab, c_uint64, c_uint64, c_uint64)
_declare("tab_by_arr", Tab, c_void_p, c_uint64, c_uint64, c_uint64, c_uint64)
_declare("tab_malloc_by_arr", Tab, c_uint64, c_uint64, c_uint64, c_uint64)
_declare("tab_free", None, _P_Tab)
_declare("_tab_subset", Tab, _P_Tab, c_uint64, c_uint64, c_char_p, c_int)
_declare("_tab_get", c_void_p, _P_Tab, c_uint64, c_uint64, c_char_p, c_int)
_declare("_tab_set", None, _P_Tab, c_uint64, c_void_p, c_char_p, c_int)
_declare("_tab_set_col", None, _P_Tab, c_uint64, c_uint64, c_void_p, c_char_p, c_int)
_declare("_tab_add", c_uint64, _P_Tab, c_void_p, c_void_p, c_char_p, c_int)
_declare("_tab_validate", None, _P_Tab, c_void_p, c_char_p, c_int)
_declare("tab_dump", None, _P_Tab, c_char_p)
_declare("tab_tests", None)

# Hash.
_declare("hash_init", Hash, POINTER(HashRec), c_uint64)
_declare("hash_get", POINTER(HashRec), Hash, c_uint64)
_declare("hash_dump", None, Hash)

# Float64 arrays.
_declare("f64arr_set_shape", None, _P_F64Arr, c_uint64, _P_Uint64)
_declare("f64arr", F64Arr, _P_Float64, c_uint64, _P_Uint64)
_declare("f64arr_subset", F64Arr, _P_F64Arr, c_uint64)
_declare("f64arr_malloc", F64Arr, c_uint64, _P_Uint64)
_declare("f64arr_free", None, _P_F64Arr)
_declare("f64arr_ptr1", _P_Float64, _P_F64Arr, c_uint64)
_declare("f64arr_ptr2", _P_Float64, _P_F64Arr, c_uint64, c_uint64)
_declare("f64arr_ptr3", _P_Float64, _P_F64Arr, c_uint64, c_uint64, c_uint64)
_declare("f64arr_ptr4", _P_Float64, _P_F64Arr, c_uint64, c_uint64, c_uint64, c_uint64)


def _address(pointer):
    return ctypes.cast(pointer, c_void_p).value or 0


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
