"""`frc`: print the resolution of a table file by Fourier ring correlation.

    python3 -m gauss2_fitter frc LOCS [--png PNG] [--bin-size PX] [--block-frames 50] [--pixel-size NM]
"""

from ._common import add_table_arguments, picture_output, read_step_table, step_errors

NAME = "frc"
OPTIONS = ("bin_size", "block_frames")


def add_parser(sub):
    from ..quality import FRC_BLOCK_FRAMES

    what = "the resolution by Fourier ring correlation of two halves of the table"
    p = sub.add_parser("frc", help=f"print {what}", description=f"Print {what}.")
    add_table_arguments(p)
    p.add_argument("--png", default=None, metavar="PNG", help="also draw the curve")
    p.add_argument("--bin-size", type=float, default=None, metavar="PX", help="render bin, camera pixels")
    p.add_argument("--block-frames", type=int, default=FRC_BLOCK_FRAMES, metavar="N",
                   help=f"the halves alternate in blocks of N frames (default {FRC_BLOCK_FRAMES})")
    p.set_defaults(run=run)


def run(args):
    from ..quality import check_frc_options, frc

    options = dict(bin_size=args.bin_size, block_frames=args.block_frames)
    with step_errors(*OPTIONS):
        check_frc_options(**options)
    png = picture_output(args.png)
    locs, metadata = read_step_table(args.table, args.pixel_size)
    with step_errors(*OPTIONS):
        r = frc(locs, metadata=metadata, **options)
    if png is not None:
        r.save_png(png)
    if r.resolution != r.resolution:
        print("FRC resolution: not reached (the curve stays above 1/7 up to the bins' limit; give a smaller bin)")
    else:
        nm = f" = {r.resolution_nm:.1f} nm" if r.resolution_nm is not None else ""
        print(f"FRC resolution {r.resolution:.4f} px{nm} (where the curve falls below 1/7)")
    return 0
