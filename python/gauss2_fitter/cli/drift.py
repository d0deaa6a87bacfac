"""`drift`: correct the drift of a localisation table file.

    python3 -m gauss2_fitter drift LOCS -o FIXED [--segment-frames N | --fiducials | --fiducial X Y ...]
        [--bin-size PX] [--max-shift PX] [--pixel-size NM] [--drift-csv CSV] [--png PNG]

The table is read (formats.read_table), corrected (drift.py) and written
with its metadata and the "drift" step; the drift by frame and its plot on
request. Every output is checked before any work.
"""

import sys

from ..outputs import STDOUT, open_output, resolve_output
from ._common import PROG, CliError, add_step_parser, picture_output, run_step, table_output

NAME = "drift"


def add_parser(sub):
    p = add_step_parser(sub, "drift", "correct the drift of a localisation table",
                        "Measure the drift of TABLE by redundant cross-correlation of time segments (or by "
                        "fiducial markers) and write the table with x, y corrected (x - dx(frame)).", "the drift")
    p.add_argument("-o", "--output", required=True, help="the corrected table, .csv, .hdf5 or .h5")
    p.add_argument("--segment-frames", type=int, default=None, metavar="N",
                   help="frames per segment (default: up to 20 segments of equal numbers of localisations)")
    p.add_argument("--fiducials", action="store_true", help="by fiducial markers (tracks present in half the frames)")
    p.add_argument("--fiducial", type=float, nargs=2, action="append", metavar=("X", "Y"),
                   help="by the fiducial marker near X Y (pixels); repeat for several")
    p.add_argument("--bin-size", type=float, default=None, metavar="PX", help="render bin, camera pixels")
    p.add_argument("--max-shift", type=float, default=None, metavar="PX",
                   help="largest shift between segments searched, camera pixels")
    p.add_argument("--drift-csv", default=None, metavar="CSV", help="also write the drift by frame (frame, dx, dy)")
    p.set_defaults(run=run)


def run(args):
    from .._post import save_figure
    from ..drift import check_options, correct, drift_figure
    from ..formats import write_table

    out = table_output(args.output)
    png = picture_output(args.png)
    drift_csv = drift_csv_output(args.drift_csv)
    fiducials = [tuple(p) for p in args.fiducial] if args.fiducial else (True if args.fiducials else None)
    fixed, drift, metadata = run_step(args, correct, check_options, segment_frames=args.segment_frames,
                                      fiducials=fiducials, bin_size=args.bin_size, max_shift=args.max_shift)
    write_table(fixed, out.name, metadata=metadata)
    if drift_csv is not None:
        write_drift_csv(drift, drift_csv, metadata.pixel_size)
    if png is not None:
        save_figure(drift_figure(drift, metadata.pixel_size), png)
    print(f"{PROG}: corrected {describe(drift, metadata)} in {len(fixed)} rows -> {out.name}", file=sys.stderr)
    return 0


def drift_csv_output(path):
    if path is None:
        return None
    if str(path) != STDOUT and not str(path).lower().endswith(".csv"):
        raise CliError(f"{path}: the drift is written as CSV; give a path ending in .csv")
    return resolve_output(path)


def write_drift_csv(drift, out, pixel_size):
    """The drift by frame as CSV: frame, dx, dy (pixels), and dx_nm, dy_nm
    with a pixel size."""
    table = drift.reset_index()
    if pixel_size is not None:
        table["dx_nm"], table["dy_nm"] = table["dx"] * pixel_size, table["dy"] * pixel_size
    with open_output(out) as f:
        f.write(table.to_csv(index=False, float_format="%.6g").encode())


def describe(drift, metadata):
    """One phrase: the drift's range along x and y and how it was measured,
    from the "drift" step `metadata` ends with."""
    step = metadata.steps[-1]
    k, unit = (metadata.pixel_size, "nm") if metadata.pixel_size else (1.0, "px")
    how = (f"{step['segments']} segments, {step['pairs_used']} of {step['pairs']} pairs" if step["method"] == "rcc"
           else f"{len(step['fiducials'])} fiducial marker(s)")
    return (f"a drift of {step['range_dx'] * k:.1f} x {step['range_dy'] * k:.1f} {unit} over frames "
            f"{drift.index[0]} to {drift.index[-1]} ({how})")
