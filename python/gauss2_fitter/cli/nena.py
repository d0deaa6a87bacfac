"""`nena`: print the mean localisation precision of a table file by NeNA.

    python3 -m gauss2_fitter nena LOCS [--png PNG] [--classic] [--pixel-size NM]
"""

from ._common import add_step_parser, picture_output, run_step

NAME = "nena"


def add_parser(sub):
    what = "the mean localisation precision by NeNA (nearest neighbour in adjacent frames)"
    p = add_step_parser(sub, "nena", f"print {what}", f"Print {what}.", "the fit")
    p.add_argument("--classic", action="store_true", help="one precision for all localisations")
    p.set_defaults(run=run)


def run(args):
    from ..quality import nena

    png = picture_output(args.png)
    r = run_step(args, lambda table, metadata, **options: nena(table, metadata=metadata, **options),
                 classic=args.classic)
    if png is not None:
        r.save_png(png)
    nm = f" = {r.precision_nm:.2f} nm" if r.precision_nm is not None else ""
    ratio = f"; {r.ratio:.2f} x the reported precisions" if r.ratio is not None else ""
    print(f"NeNA precision {r.precision:.4f} px{nm} from {r.n_pairs} pairs in adjacent frames{ratio}")
    return 0
