"""`demo`: a synthetic field rendered, found and fitted, its errors
reported (the package's demo.py).

    python3 -m gauss2_fitter demo [--size 2048] [--spots 20000] [--seed 1] [--out out]
"""

from .. import demo
from ._common import CliError

NAME = "demo"


def add_parser(sub):
    p = sub.add_parser("demo", help="render, find and fit a synthetic field and report the errors",
                       description=demo.__doc__.split("\n")[0])
    demo.add_arguments(p)
    p.set_defaults(run=run)


def run(args):
    try:
        demo.check_arguments(args)
    except ValueError as e:
        raise CliError(str(e)) from None
    return demo.run_with_args(args)
