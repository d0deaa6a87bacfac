"""`frc`: print the resolution of a table file by Fourier ring correlation.

    python3 -m gauss2_fitter frc LOCS [--png PNG] [--bin-size PX] [--block-frames 50] [--pixel-size NM]
"""

from ._common import add_step_parser, picture_output, run_step

NAME = "frc"


def add_parser(sub):
    from ..quality import FRC_BLOCK_FRAMES

    what = "the resolution by Fourier ring correlation of two halves of the table"
    p = add_step_parser(sub, "frc", f"print {what}", f"Print {what}.", "the curve")
    p.add_argument("--bin-size", type=float, default=None, metavar="PX", help="render bin, camera pixels")
    p.add_argument("--block-frames", type=int, default=FRC_BLOCK_FRAMES, metavar="N",
                   help=f"the halves alternate in blocks of N frames (default {FRC_BLOCK_FRAMES})")
    p.set_defaults(run=run)


def run(args):
    from ..quality import check_frc_options, frc

    png = picture_output(args.png)
    r = run_step(args, lambda table, metadata, **options: frc(table, metadata=metadata, **options),
                 check_frc_options, bin_size=args.bin_size, block_frames=args.block_frames)
    if png is not None:
        r.save_png(png)
    if r.resolution != r.resolution:
        print("FRC resolution: not reached (the curve stays above 1/7 up to the bins' limit; give a smaller bin)")
    else:
        nm = f" = {r.resolution_nm:.1f} nm" if r.resolution_nm is not None else ""
        print(f"FRC resolution {r.resolution:.4f} px{nm} (where the curve falls below 1/7)")
    return 0
