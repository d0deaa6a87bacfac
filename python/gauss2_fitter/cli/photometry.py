"""`photometry`: measure every spot of a field imaged many times, in every
cycle and channel (photometry.py).

    python3 -m gauss2_fitter photometry STACK [STACK ...] -o OUT.{h5,hdf5,csv} [--channels N]
        [--peaks PEAKS.csv] [--mea M] [--psf-sigma PX [PX ...]] [--no-register] [--threads N]
        [--baseline ADU] [--sensitivity E_PER_ADU] [--em-gain G] [--qe Q] [--read-noise E] [--pixel-size NM]

The images are read by movie.py's readers, the channels interleaved
(channel fastest); the output is checked before any work and written
whole (Photometry.write).
"""

import sys

import numpy as np
import pandas as pd

from .._lib import GAUSS2_MAX_MEA
from ._common import (MAX_THREADS, PROG, CliError, add_camera_options, camera_from_args, check_int, progress_of,
                      progress_option, step_errors)

NAME = "photometry"
MAX_CHANNELS = 1 << 16


def add_parser(sub):
    p = sub.add_parser("photometry", help="measure every spot of a field in every cycle and channel",
                       description="Measure every spot of a field imaged many times: the images of STACK (TIFF "
                       "or .npy; several files follow each other) in acquisition order, the channels interleaved "
                       "(channel fastest), --channels of them. Each cycle's shift against cycle 0 is measured, "
                       "the spots are found once on the registered composite (or read from --peaks), their shapes "
                       "fitted on it, and each spot's signal and local background measured in every image with "
                       "its shape held (photons, with photon-noise errors). Written as HDF5 (datasets signal, "
                       "signal_se, bg, bg_se, flag, shifts, spots; the settings as attributes) or as a long CSV "
                       "table (id, channel, cycle, signal, signal_se, bg, bg_se, flag).")
    p.add_argument("stacks", nargs="+", metavar="STACK", help="image files, .tif/.tiff or .npy")
    p.add_argument("-o", "--output", required=True,
                   help="output, .h5/.hdf5 or .csv ('-': the CSV on standard output); a regular file is replaced "
                   "when complete")
    p.add_argument("--channels", type=int, default=None, metavar="N", help="channels, interleaved (default 1)")
    p.add_argument("--peaks", default=None, metavar="PEAKS",
                   help="measure these spots instead of finding them: a CSV naming x, y (pixels in cycle 0's "
                   "frame, a pixel's centre at + 0.5) and optionally id, kept")
    p.add_argument("--mea", type=int, default=None, help="fit windows' side, odd (default: from the PSF's width)")
    p.add_argument("--psf-sigma", type=float, nargs="+", default=None, metavar="PX",
                   help="the PSF's width, one or one per channel: every spot takes it (default: fitted)")
    p.add_argument("--no-register", dest="register", action="store_false", help="no shift between cycles")
    p.add_argument("--threads", type=int, default=None, help="threads (default: all cores)")
    progress_option(p)
    add_camera_options(p.add_argument_group("camera"), "camera pixel size in the sample, nm (recorded)")
    p.set_defaults(run=run)


def read_peaks(path):
    """The spots of a peak list to measure: a CSV file (comma, semicolon or
    tab) whose header names x and y (pixels in cycle 0's frame, any case)
    and optionally id (kept as written). A DataFrame id (when given), x, y."""
    from ..formats import CsvTable

    t = CsvTable(path)
    t.require(("x", "y"))
    table = pd.DataFrame({"x": t.column("x"), "y": t.column("y")})
    if "id" in t:
        table.insert(0, "id", t.cells.iloc[:, t.names["id"][0]].to_numpy())
    return table


def run(args):
    from ..outputs import OutputError, resolve_output
    from ..photometry import output_kind, photometry

    if args.threads is not None:
        check_int("--threads", args.threads, 1, MAX_THREADS)
    if args.channels is not None:
        check_int("--channels", args.channels, 1, MAX_CHANNELS)
    if args.mea is not None:
        check_int("--mea", args.mea, 3, GAUSS2_MAX_MEA, odd=True)
    camera = camera_from_args(args)
    with step_errors("psf_sigma"):
        kind = output_kind(args.output)
    out = resolve_output(args.output)
    if kind == "hdf5" and out.mode != "replace":  # found now rather than once everything is measured
        raise OutputError(f"output {out.name}: must be a regular file for this format")
    try:
        with step_errors("psf_sigma"):
            peaks = None if args.peaks is None else read_peaks(args.peaks)
            ph = photometry(list(args.stacks), camera=camera, peaks=peaks, register=args.register, mea=args.mea,
                            psf_sigma=args.psf_sigma, channels=args.channels, n_threads=args.threads,
                            progress=progress_of(args))
    except (TypeError, FileNotFoundError) as e:
        raise CliError(str(e)) from None
    ph.write(out.name)
    measured = int((ph.flag == 0).sum())
    shift = float(np.abs(ph.shifts).max()) if ph.n_cycles else 0.0
    print(f"{PROG}: measured {measured} of {ph.flag.size} cells ({ph.n_spots} spots x {ph.n_channels} channel(s) x "
          f"{ph.n_cycles} cycle(s); largest shift {shift:.2f} px) -> {out.name}", file=sys.stderr)
    return 0
