"""`render`: a super-resolution picture of a localisation table, or
Gaussians rendered into an image from a table of their parameters.

    python3 -m gauss2_fitter render LOCS.{csv,hdf5,h5} [--oversampling 10] [--blur precision|none|SIGMA]
        [--pixel-size NM] -o SR.{png,tif,npy}
    python3 -m gauss2_fitter render PEAKS.csv --shape H W -o IMAGE.{npy,tif,png} [--mea 11] [--background B]
"""

import sys
from pathlib import Path

import numpy as np

from .. import fitter
from .._lib import GAUSS2_MAX_MEA, N_PARAMS, PARAM_NAMES
from ..formats import CsvTable, FormatError, read_table
from ..outputs import resolve_output
from ..render import image_format, render_localizations, rendered_rows, save_image
from ._common import PROG, CliError, check_finite, check_int, first_line, warn

NAME = "render"


def add_parser(sub):
    p = sub.add_parser("render", help="draw a super-resolution picture of localisations, or render peaks",
                       description="Draw LOCS (a localisation table, .csv or .hdf5/.h5) as a super-resolution "
                       "image: each localisation a Gaussian of its precision (--blur) on pixels OVERSAMPLING times "
                       "finer than the camera's; flagged rows are left out. The output's suffix names its format: "
                       ".png (colour map, scale bar when the pixel size is known), .tif/.tiff (float32) or .npy. "
                       "With --shape, LOCS is instead a CSV naming " + ",".join(PARAM_NAMES) + " (positions "
                       "in image coordinates) and each peak, offset included, is added over its MEA x MEA patch "
                       "of an H x W image; peaks whose patch leaves the image are skipped.")
    p.add_argument("peaks", metavar="LOCS",
                   help="localisation table (.csv or .hdf5/.h5), or with --shape a CSV of peaks")
    p.add_argument("-o", "--output", required=True, help="output image, .png, .tif/.tiff or .npy")
    p.add_argument("--oversampling", type=float, default=10.0, help="output pixels per camera pixel (default 10)")
    p.add_argument("--blur", default="precision",
                   help="precision (each localisation's own), none (a histogram) or a sigma in camera pixels")
    p.add_argument("--pixel-size", type=float, default=None, metavar="NM",
                   help="camera pixel size, nm (tables in nm need it; the picture gets a scale bar)")
    p.add_argument("--shape", type=int, nargs=2, metavar=("H", "W"), default=None,
                   help="render peaks into an H x W image instead")
    p.add_argument("--mea", type=int, default=11, help="with --shape: side of each rendered patch (default 11)")
    p.add_argument("--background", type=float, default=0.0,
                   help="with --shape: constant added to every pixel (default 0)")
    p.set_defaults(run=run)


def check_render_options(args):
    h, w = args.shape
    if h < 1 or w < 1:
        raise CliError(f"--shape must be two positive sizes H W, got {h} {w}")
    check_int("--mea", args.mea, 1, GAUSS2_MAX_MEA)
    check_finite("--background", args.background)


def read_render_peaks(path):
    """The peaks (n, 7) of a render CSV, named by PARAM_NAMES in its header.
    Empty cells, as a fit writes for peaks it did not fit, are NaN: such
    peaks are skipped as missing."""
    p = Path(path)
    if not p.is_file():
        raise CliError(f"peaks {p}: no such file" if not p.exists() else f"peaks {p}: not a file")
    try:
        t = CsvTable(p)
        t.require(PARAM_NAMES)
        cols = [t.column(n) for n in PARAM_NAMES]
    except FormatError as e:
        raise CliError(f"peaks {e}") from None
    return np.column_stack(cols) if len(t) else np.zeros((0, N_PARAMS))


def finite_gaussian(peaks):
    """True for the peaks whose Gaussian has finite values everywhere: nonzero
    widths whose squares neither underflow nor overflow, |rho| < 1, and a
    finite normalisation. A zero width or |rho| >= 1 would render NaN."""
    amp, sx, sy, rho = peaks[:, 0], peaks[:, 1], peaks[:, 2], peaks[:, 5]
    with np.errstate(all="ignore"):
        sx2, sy2, spread = sx * sx, sy * sy, 1.0 - rho * rho
        den = sx2 * sy2 * spread
        norm = amp / (2 * np.pi * sx * sy * np.sqrt(spread))
        return (np.isfinite(sx2) & (sx2 > 0) & np.isfinite(sy2) & (sy2 > 0) & (spread > 0)
                & np.isfinite(den) & (den > 0) & np.isfinite(norm))


def renderable_peaks(peaks, shape, mea):
    """The peaks to render, with a warning for each kind that is skipped."""
    h, w = shape
    finite = np.all(np.isfinite(peaks), axis=1)
    if not finite.all():
        warn(f"{np.count_nonzero(~finite)} peak(s) with missing or non-finite values skipped "
             f"(first on line {first_line(~finite)})")
    defined = finite & finite_gaussian(peaks)
    if (finite & ~defined).any():
        warn(f"{np.count_nonzero(finite & ~defined)} peak(s) with a zero width, |rho| >= 1 or values beyond the "
             f"float range skipped (first on line {first_line(finite & ~defined)}): their Gaussian is not finite")
    keep = defined & fitter.synth_renders(peaks, (h, w), mea)
    skipped = int(np.count_nonzero(defined & ~keep))
    if skipped:
        warn(f"{skipped} peak(s) too close to the border or outside the {w} x {h} image to render a "
             f"patch of {mea} x {mea}; skipped")
    return keep


def run(args):
    """A super-resolution picture of a localisation table, or (with --shape)
    Gaussians rendered from a table of their parameters."""
    try:
        image_format(args.output)
    except ValueError as e:
        raise CliError(f"output {e}") from None
    if args.shape is None:
        return render_locs(args)
    return render_peaks(args)


def render_locs(args):
    out = resolve_output(args.output)
    if not args.oversampling > 0:
        raise CliError(f"--oversampling must be positive, got {args.oversampling:g}")
    blur = args.blur.strip().lower()
    if blur == "none":
        blur = None
    elif blur != "precision":
        try:
            blur = float(blur)
        except ValueError:
            raise CliError(f"--blur must be precision, none or a sigma in pixels, got {args.blur!r}") from None
        if not blur > 0:
            raise CliError(f"--blur sigma must be positive, got {args.blur}")
    if args.pixel_size is not None and not (np.isfinite(args.pixel_size) and args.pixel_size > 0):
        raise CliError(f"--pixel-size must be positive and finite, got {args.pixel_size:g}")
    try:
        locs, metadata = read_table(args.peaks, args.pixel_size)
    except (FormatError, OSError) as e:
        raise CliError(f"localisations {e}") from None
    drawn = rendered_rows(locs, blur)
    flagged = int((locs["flag"] != 0).sum())
    if flagged:
        warn(f"{flagged} flagged row(s) not drawn")
    undrawn = len(locs) - flagged - int(drawn.sum())
    if undrawn:
        warn(f"{undrawn} row(s) without a finite position" + (" or precision" if blur == "precision" else "")
             + " not drawn" + ("; --blur SIGMA draws them all alike" if blur == "precision" else ""))
    try:
        image = render_localizations(locs, args.oversampling, blur, shape=metadata.frame_shape)
    except (MemoryError, ValueError) as e:
        raise CliError(f"cannot render: {e}") from None
    ps = metadata.pixel_size
    save_image(image, out, pixel_size=ps / args.oversampling if ps else None)
    print(f"{PROG}: drew {int(drawn.sum())} of {len(locs)} localisations into {image.shape[1]} x {image.shape[0]} "
          f"pixels -> {out.name}", file=sys.stderr)
    return 0


def render_peaks(args):
    check_render_options(args)
    out = resolve_output(args.output)
    h, w = args.shape
    peaks = read_render_peaks(args.peaks)
    keep = renderable_peaks(peaks, (h, w), args.mea)
    try:
        im = np.full((h, w), float(args.background))
    except (MemoryError, ValueError, OverflowError) as e:
        raise CliError(f"cannot allocate a {h} x {w} image: {e}") from None
    fitter.synth_image(peaks[keep], (h, w), args.mea, im=im)
    if not np.isfinite(im).all():  # a net under finite_gaussian: never write NaN patches
        raise CliError("the rendered image holds non-finite values; check the peaks' amplitudes and widths")
    save_image(im, args.output)
    print(f"{PROG}: rendered {int(np.count_nonzero(keep))} of {len(peaks)} peaks -> {out.name}", file=sys.stderr)
    return 0
