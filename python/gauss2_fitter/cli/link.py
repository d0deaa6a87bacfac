"""`link`: join the localisations of each blink in a table file into events.

    python3 -m gauss2_fitter link LOCS -o EVENTS [--radius PX] [--max-dark-frames 1] [--pixel-size NM]

The table is read (formats.read_table), linked (link.py) and the events
written with its metadata and the "link" step; the output is checked
before any work.
"""

import sys

from ._common import PROG, add_step_parser, run_step, table_output

NAME = "link"


def add_parser(sub):
    p = add_step_parser(sub, "link", "join the localisations of each blink into events",
                        "Join localisations of TABLE in consecutive frames (gaps up to --max-dark-frames) closer "
                        "than the radius into one event each: precision-weighted position, summed photons, first "
                        "frame, len (frames spanned) and n (localisations).")
    p.add_argument("-o", "--output", required=True, help="the events, .csv, .hdf5 or .h5")
    p.add_argument("--radius", type=float, default=None, metavar="PX",
                   help="reach in camera pixels (default: 3 standard deviations of the two positions' difference)")
    p.add_argument("--max-dark-frames", type=int, default=1, metavar="N", help="frames an event may skip (default 1)")
    p.set_defaults(run=run)


def run(args):
    from ..formats import write_table
    from ..link import check_options, link_events

    out = table_output(args.output)
    events, metadata = run_step(args, link_events, check_options, radius=args.radius,
                                max_dark_frames=args.max_dark_frames)
    write_table(events, out.name, metadata=metadata)
    print(f"{PROG}: {describe(metadata)} -> {out.name}", file=sys.stderr)
    return 0


def describe(metadata):
    """One phrase from the "link" step `metadata` ends with."""
    step = metadata.steps[-1]
    return f"linked {step['localisations']} localisations into {step['events']} events"
