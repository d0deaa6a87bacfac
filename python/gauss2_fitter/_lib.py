"""The one mirror of the library's C headers: loading the library, and every
prototype, record layout and constant of gauss2_fitter.h, gauss2_mle.h,
gauss2_multi.h, gauss2_peaks.h, gauss2_photometry.h and c_common.h.
The rest of the package takes them from here and repeats none of them.

The library is found, in order, at the path in the environment variable
GAUSS2_FITTER_LIB, in the build trees of this checkout, beside this package,
in the installed prefix, and on the system's library path.
"""

import ctypes
import ctypes.util
import os
from ctypes import POINTER, c_double
from pathlib import Path

import numpy as np

# ---- constants of the headers ----------------------------------------------------

# gauss2_fitter.h
GAUSS2_MAX_MEA = 63  # largest patch side of the image fits and the renderer (their patches live on the stack)
PARAM_NAMES = ("amp", "std_x", "std_y", "pos_x", "pos_y", "rho", "offset")  # the parameter vector, in order
N_PARAMS = len(PARAM_NAMES)
RECORD_SIZE = 10  # per-peak record of the batch: [0..6] parameters, [7] caller's, [8] noise, [9] caller's
INFO_SIZE = 10  # solver report: [0] initial and [1] final squared error, [5] iterations, [6] stop reason
COVAR_SIZE = N_PARAMS * N_PARAMS  # the 7 x 7 covariance, row-major
N_STOP_REASONS = 8  # dlevmar_stop_reasons: "Unknown", then the texts of codes 1..7
N_DLEVMAR_OPTS = 5  # tau, eps1, eps2, eps3, delta
# gauss_2d and jac_gauss_2d take the pixel count n_pixels = mea * mea as a C
# int, and fit_gauss_2d counts its measurements in one: 46340 is the largest
# side whose square fits in 32 signed bits (46340**2 = 2147395600 <= 2**31 - 1
# < 46341**2). fit_gauss_2d takes any side up to it.
MODEL_MAX_MEA = 46340
# Fits are trustworthy while the largest absolute pixel value of the image
# lies in this range (gauss2_fitter.h: outside it the solver's stopping rules,
# relative to the whole parameter vector, can stop a fit early and unflagged).
TRUSTED_PIXEL_RANGE = (1e-6, 1e8)

# c_common.h
TAB_FLAGS_GROWABLE = 0x02
TAB_FLAGS_ARRAY = 0x20

_LIB_NAME = "libgauss2_fitter.so"
_HERE = Path(__file__).resolve().parent


def _candidates():
    env = os.environ.get("GAUSS2_FITTER_LIB")
    if env:
        yield Path(env)
        return
    root = _HERE.parent.parent
    for build in ("build/release", "build/dev", "build"):
        yield root / build / _LIB_NAME
    yield _HERE / _LIB_NAME
    # Installed layout: <prefix>/lib/pythonX/site-packages/gauss2_fitter -> <prefix>/lib
    for up in _HERE.parents:
        yield up / "lib" / _LIB_NAME
        if up.name == "lib":
            yield up / _LIB_NAME


def load_library():
    tried = []
    for path in _candidates():
        tried.append(str(path))
        if path.is_file():
            return ctypes.CDLL(str(path)), str(path)
    found = ctypes.util.find_library("gauss2_fitter")
    if found and not os.environ.get("GAUSS2_FITTER_LIB"):
        return ctypes.CDLL(found), found
    raise OSError(
        "libgauss2_fitter.so not found; build it with `make build` or set GAUSS2_FITTER_LIB. Tried:\n  "
        + "\n  ".join(tried)
    )


def _f64(ndim=1):
    return np.ctypeslib.ndpointer(dtype=np.float64, ndim=ndim, flags="C_CONTIGUOUS")


def _i64(ndim=1):
    return np.ctypeslib.ndpointer(dtype=np.int64, ndim=ndim, flags="C_CONTIGUOUS")


lib, lib_path = load_library()

c_int, c_int64, c_uint64, c_void_p, c_char_p = (
    ctypes.c_int,
    ctypes.c_int64,
    ctypes.c_uint64,
    ctypes.c_void_p,
    ctypes.c_char_p,
)


def _declare(name, restype, *argtypes):
    fn = getattr(lib, name)
    fn.restype = restype
    fn.argtypes = list(argtypes)
    return fn


c_float64_p = POINTER(c_double)


def _f64_out(ndim=1):
    return np.ctypeslib.ndpointer(dtype=np.float64, ndim=ndim, flags=("C_CONTIGUOUS", "WRITEABLE"))


def _i64_out(ndim=1):
    return np.ctypeslib.ndpointer(dtype=np.int64, ndim=ndim, flags=("C_CONTIGUOUS", "WRITEABLE"))


# ---- gauss2_fitter.h ---------------------------------------------------------------

# Gaussian model and Jacobian (levmar callback signatures).
_declare("gauss_2d", None, _f64(), _f64(), c_int, c_int, c_void_p)
_declare("jac_gauss_2d", None, _f64(), _f64(), c_int, c_int, c_void_p)

# Image synthesis: adds peaks (n, 7) into a (h, w) image in place.
_declare("synth_image", c_int, _f64_out(2), c_int64, c_int64, c_int64, c_uint64, _f64(2))

# Fit diagnostics. The dumps write to the trace log (and their records to stderr).
_declare("get_dlevmar_stop_reason_from_info", c_char_p, _f64())
_declare("dump_pixels", None, c_char_p, _f64())
_declare("dump_params", None, c_char_p, _f64())
_declare("dump_jacobian", None, c_char_p, _f64(), c_int)
_declare("dump_info", None, _f64())
_declare("validate_im", c_int, _f64(2), c_int64, c_int64)
_declare("gauss2_check", None)

# The stop-reason texts (char *[8]), indexed by the solver's code; writable.
dlevmar_stop_reasons = (c_char_p * N_STOP_REASONS).in_dll(lib, "dlevmar_stop_reasons")

# Patch and batch fits.
dlevmar_opts = (ctypes.c_double * N_DLEVMAR_OPTS).in_dll(lib, "dlevmar_opts")
_declare("fit_gauss_2d", c_int, _f64(), c_int64, _f64_out(), _f64_out(), _f64_out())
_declare("fit_gauss_2d_on_float_image", c_int, _f64(2), c_int64, c_int64, c_int64, c_int64, c_int64,
         _f64_out(), _f64_out(), _f64_out(), _f64_out())
_declare("fit_array_of_gauss_2d_on_float_image", c_int, _f64(2), c_int64, c_int64, c_int64, c_int64,
         _i64(), _i64(), _f64_out(2), _f64_out(2), _i64_out())

# ---- gauss2_mle.h (extension) ------------------------------------------------------

# Per-peak flags of the extension batches.
FLAG_GOOD, FLAG_SKIPPED, FLAG_FAILED, FLAG_ITERATION_LIMIT = 0, 1, 2, 3
MLE_MAX_ITERATIONS = 75  # GAUSS2_MLE_MAX_ITERATIONS
N_MLE_OPTS = 2  # tau, eps2
gauss2_mle_opts = (ctypes.c_double * N_MLE_OPTS).in_dll(lib, "gauss2_mle_opts")
# The read-noise variance map is optional: a (h, w) array or None (NULL).
_f64_map = np.ctypeslib.ndpointer(dtype=np.float64, ndim=2, flags="C_CONTIGUOUS")


class _OptionalMap:
    """ctypes argument type: a C-contiguous float64 (h, w) array, or None for NULL."""

    @classmethod
    def from_param(cls, value):
        return None if value is None else _f64_map.from_param(value)


_declare("fit_array_of_gauss_2d_mle_on_float_image", c_int, _f64(2), c_int64, c_int64, c_int64, c_int64,
         _i64(), _i64(), ctypes.c_double, _OptionalMap, _f64_out(2), _f64_out(2), _i64_out(), _i64_out())
_declare("photon_std_of_gauss_2d_records", c_int, c_int64, c_int64, c_int64, c_int64, _i64(), _i64(),
         ctypes.c_double, _OptionalMap, _f64(2), _f64_out(2))
_declare("fit_array_of_gauss_2d_on_float_image_report", c_int, _f64(2), c_int64, c_int64, c_int64, c_int64,
         _i64(), _i64(), _f64_out(2), _f64_out(2), _i64_out(), _i64_out(), _i64_out())

# ---- gauss2_multi.h (extension) ----------------------------------------------------

# Multi-emitter fits of crowded spots, in windows the caller places.
MULTI_MAX_EMITTERS = 8  # GAUSS2_MULTI_MAX_EMITTERS: emitters of one window's model
MULTI_MAX_MEA = 31  # GAUSS2_MULTI_MAX_MEA: largest window side with max_emitters > 1
MULTI_N_OPTS = 5  # gof_alpha, lrt_alpha, min_photons, min_separation, shape_margin (NULL: the library's defaults)
_f64_opts = np.ctypeslib.ndpointer(dtype=np.float64, ndim=1, shape=(MULTI_N_OPTS,), flags="C_CONTIGUOUS")


class _OptionalOpts:
    """ctypes argument type: MULTI_N_OPTS float64 values, or None for NULL."""

    @classmethod
    def from_param(cls, value):
        return None if value is None else _f64_opts.from_param(value)


_declare("fit_array_of_gauss_2d_multi_mle_on_float_image", c_int, _f64(2), c_int64, c_int64, c_int64, c_int64, c_int64,
         _i64(), _i64(), _i64(), _i64(), c_int64, c_int64, ctypes.c_double, _OptionalMap, c_int64, ctypes.c_double,
         _OptionalOpts, _f64(2), _f64(2), _i64(), _i64(), _f64_out(2), _f64_out(2), _i64_out(), _i64_out(), _i64_out(),
         _i64_out())

# ---- gauss2_peaks.h (extension) ----------------------------------------------------

# Peak pixels of stacks of frames.
MAX_SMOOTH = 64.0  # GAUSS2_MAX_SMOOTH
_f64_any = np.ctypeslib.ndpointer(dtype=np.float64, flags="C_CONTIGUOUS")
_f64_any_out = np.ctypeslib.ndpointer(dtype=np.float64, flags=("C_CONTIGUOUS", "WRITEABLE"))
_declare("find_peaks_work_size", c_int64, c_int64, c_int64)
_declare("find_peaks_in_frames", c_int64, _f64_any, c_int64, c_int64, c_int64, ctypes.c_double, c_int64, c_int64,
         ctypes.c_double, ctypes.c_double, _f64_any_out, c_int64, _i64_out(), _i64_out(), _i64_out(), _f64_out())
_declare("find_peaks_in_frames_with_background", c_int64, _f64_any, c_int64, c_int64, c_int64, ctypes.c_double,
         c_int64, c_int64, ctypes.c_double, ctypes.c_double, c_int64, _f64_any_out, c_int64, _i64_out(), _i64_out(),
         _i64_out(), _f64_out())

# ---- gauss2_photometry.h (extension) -----------------------------------------------

# Signal and background of spots of known shape, groups of overlapping windows fitted jointly.
PHOTOMETRY_SPOT_SIZE = 5  # x, y (image coordinates), std_x, std_y, rho
PHOTOMETRY_RESULT_SIZE = 4  # signal, signal_se, bg, bg_se
PHOTOMETRY_MAX_GROUP = 64  # most spots in one jointly fitted group
# Per-spot flags of the photometry batch.
(PHOTOMETRY_MEASURED, PHOTOMETRY_OUTSIDE, PHOTOMETRY_FAILED, PHOTOMETRY_NOT_CONVERGED,
 PHOTOMETRY_GROUP_TOO_LARGE) = range(5)
_declare("gauss2_photometry_groups", c_int64, c_int64, _f64(2), c_int64, _i64_out(), _i64_out())
_declare("gauss2_photometry_work_size", c_int64, c_int64)
_declare("fit_array_of_gauss_2d_photometry_on_float_image", c_int, _f64(2), c_int64, c_int64, c_int64, c_int64,
         _f64(2), _i64(), ctypes.c_double, _OptionalMap, _f64_out(), _f64_out(2), _i64_out(), _i64_out())

# ---- gauss2_render.h (extension) ---------------------------------------------------

# Localisations drawn as pixel-integrated Gaussians into a picture.
_declare("render_gaussians", c_int64, _f64_any_out, c_int64, c_int64, c_int64, _f64_any, _f64_any, _f64_any, _f64_any)

# ---- c_common.h --------------------------------------------------------------------

# Checks, tracing and clock.
_declare("ensure", None, c_int, c_char_p)  # variadic: pass only preformatted text
_declare("_trace", c_int, c_char_p, c_int, c_char_p)
_declare("now", c_uint64)
_declare("sanity_check", c_int)

# The trace log stream (FILE *), null until the first trace record.
log_stream = c_void_p.in_dll(lib, "_log")


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
        ("base", c_float64_p),
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
_declare("f64arr", F64Arr, c_float64_p, c_uint64, _P_Uint64)
_declare("f64arr_subset", F64Arr, _P_F64Arr, c_uint64)
_declare("f64arr_malloc", F64Arr, c_uint64, _P_Uint64)
_declare("f64arr_free", None, _P_F64Arr)
_declare("f64arr_ptr1", c_float64_p, _P_F64Arr, c_uint64)
_declare("f64arr_ptr2", c_float64_p, _P_F64Arr, c_uint64, c_uint64)
_declare("f64arr_ptr3", c_float64_p, _P_F64Arr, c_uint64, c_uint64, c_uint64)
_declare("f64arr_ptr4", c_float64_p, _P_F64Arr, c_uint64, c_uint64, c_uint64, c_uint64)
