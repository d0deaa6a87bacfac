"""Elliptical 2D Gaussian spot fitting over a native library, from single
images to camera movies.

    import numpy as np, gauss2_fitter as g2
    patch = g2.gauss_2d([1000, 1.5, 1.5, 5.5, 5.5, 0.0, 100], mea=11)
    locs = g2.localize("movie.tif", camera=g2.Camera(baseline=100, sensitivity=0.5, pixel_size=100))
"""

from . import common
from ._checks import PixelScaleWarning
from ._lib import PARAM_NAMES, lib, lib_path
from ._version import __version__
from .camera import Camera
from .drift import correct_drift
from .fitter import (PatchFit, SpotFits, default_records, fit_patch, fit_peaks, fit_pixels, fit_spots, gauss_2d,
                     jac_gauss_2d, photon_errors, synth_image, synth_renders, validate_im)
from .estimators import ESTIMATORS, Estimator
from .filtering import filter_localizations
from .formats import TableWriter, read_localizations, read_table, write_csv, write_hdf5, write_table
from .link import link
from .localization import iter_localize, localize, localize_chunk
from .metadata import RunMetadata
from .movie import Movie, MovieError, open_movie
from .peaks import NoPeaksWarning, detection_threshold, find_peaks, find_peaks_in_frames
from .photometry import Photometry, photometry
from .pipeline import Settings
from .quality import frc, nena
from .render import render_localizations
from .schema import COLUMNS, NM_COLUMNS

__all__ = ["common", "lib", "lib_path", "__version__", "PARAM_NAMES", "gauss_2d", "jac_gauss_2d", "synth_image",
           "synth_renders", "validate_im", "PatchFit", "PixelScaleWarning", "SpotFits", "default_records",
           "fit_patch", "fit_peaks", "fit_pixels", "fit_spots", "photon_errors", "find_peaks", "find_peaks_in_frames",
           "detection_threshold", "NoPeaksWarning", "Camera", "Movie", "MovieError", "open_movie", "Settings",
           "COLUMNS", "NM_COLUMNS", "localize", "iter_localize", "localize_chunk", "TableWriter",
           "read_localizations", "read_table", "write_csv", "write_hdf5", "write_table", "render_localizations",
           "Estimator", "ESTIMATORS", "RunMetadata", "correct_drift", "link", "nena", "frc", "Photometry", "photometry",
           "filter_localizations"]
