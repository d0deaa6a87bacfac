"""Loading the native library and declaring its C prototypes.

The library is found, in order, at the path in the environment variable
GAUSS2_FITTER_LIB, in the build trees of this checkout, beside this package,
in the installed prefix, and on the system's library path.
"""

import ctypes
import ctypes.util
import os
from pathlib import Path

import numpy as np

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


# Common runtime.
_declare("ensure", None, c_int, c_char_p)  # variadic: pass only preformatted text
_declare("_trace", c_int, c_char_p, c_int, c_char_p)
_declare("now", c_uint64)
_declare("sanity_check", c_int)

# The trace log stream (FILE *), null until the first trace record.
log_stream = c_void_p.in_dll(lib, "_log")

# Gaussian model and Jacobian (levmar callback signatures).
_declare("gauss_2d", None, _f64(), _f64(), c_int, c_int, c_void_p)
_declare("jac_gauss_2d", None, _f64(), _f64(), c_int, c_int, c_void_p)


def _f64_out(ndim=1):
    return np.ctypeslib.ndpointer(dtype=np.float64, ndim=ndim, flags=("C_CONTIGUOUS", "WRITEABLE"))


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
dlevmar_stop_reasons = (c_char_p * 8).in_dll(lib, "dlevmar_stop_reasons")

# Patch and batch fits.
dlevmar_opts = (ctypes.c_double * 5).in_dll(lib, "dlevmar_opts")
_declare("fit_gauss_2d", c_int, _f64(), c_int64, _f64_out(), _f64_out(), _f64_out())
_declare("fit_gauss_2d_on_float_image", c_int, _f64(2), c_int64, c_int64, c_int64, c_int64, c_int64,
         _f64_out(), _f64_out(), _f64_out(), _f64_out())
_declare("fit_array_of_gauss_2d_on_float_image", c_int, _f64(2), c_int64, c_int64, c_int64, c_int64,
         _i64(), _i64(), _f64_out(2), _f64_out(2), np.ctypeslib.ndpointer(dtype=np.int64, ndim=1,
                                                                         flags=("C_CONTIGUOUS", "WRITEABLE")))

# Extension: peak pixels of stacks of frames (gauss2_peaks.h).
MAX_SMOOTH = 64.0  # GAUSS2_MAX_SMOOTH
_f64_any = np.ctypeslib.ndpointer(dtype=np.float64, flags="C_CONTIGUOUS")
_f64_any_out = np.ctypeslib.ndpointer(dtype=np.float64, flags=("C_CONTIGUOUS", "WRITEABLE"))
_i64_out = np.ctypeslib.ndpointer(dtype=np.int64, ndim=1, flags=("C_CONTIGUOUS", "WRITEABLE"))
_declare("find_peaks_work_size", c_int64, c_int64, c_int64)
_declare("find_peaks_in_frames", c_int64, _f64_any, c_int64, c_int64, c_int64, ctypes.c_double, c_int64, c_int64,
         ctypes.c_double, ctypes.c_double, _f64_any_out, c_int64, _i64_out, _i64_out, _i64_out, _f64_out())
