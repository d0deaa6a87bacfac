"""Elliptical 2D Gaussian spot fitting over a native library.

    import numpy as np, gauss2_fitter as g2
    patch = g2.gauss_2d([1000, 1.5, 1.5, 5.5, 5.5, 0.0, 100], mea=11)
"""

from . import common
from ._checks import PixelScaleWarning
from ._lib import PARAM_NAMES, lib, lib_path
from .fitter import (PatchFit, default_records, fit_patch, fit_peaks, fit_pixels, gauss_2d, jac_gauss_2d, synth_image,
                     synth_renders, validate_im)

__all__ = ["common", "lib", "lib_path", "PARAM_NAMES", "gauss_2d", "jac_gauss_2d", "synth_image", "synth_renders",
           "validate_im", "PatchFit", "PixelScaleWarning", "default_records", "fit_patch", "fit_peaks", "fit_pixels"]
