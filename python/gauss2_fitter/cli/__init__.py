"""Command-line tool: localise movies, fit the peaks of an image, render, run
the demo, the steps after the fit (drift, link, nena, frc), and the
photometry of a field imaged many times.

    python3 -m gauss2_fitter fit MOVIE [MOVIE ...] -o LOCS.{csv,hdf5,h5} [--estimator mle|lsq]
        [--baseline ADU] [--sensitivity E_PER_ADU] [--em-gain G] [--qe Q] [--read-noise E]
        [--pixel-size NM] [--frames A:B] [--peaks PEAKS] [--mea 11] [--threads N]
        [--scheduler ADDRESS | --workers N] [--drift] [--link [EVENTS]] [--background-tile PX]
    python3 -m gauss2_fitter fit IMAGE [PEAKS] -o OUT.csv [--mea 11] [--threads N]
    python3 -m gauss2_fitter render LOCS.{csv,hdf5} [--oversampling 10] -o SR.{png,tif,npy}
    python3 -m gauss2_fitter render PEAKS.csv --shape H W -o IMAGE.{npy,tif,png} [--mea 11]
    python3 -m gauss2_fitter demo [--size 2048] [--spots 20000] [--out out]
    python3 -m gauss2_fitter drift LOCS -o FIXED [--segment-frames N | --fiducials] [--drift-csv CSV] [--png PNG]
    python3 -m gauss2_fitter link LOCS -o EVENTS [--radius PX] [--max-dark-frames 1]
    python3 -m gauss2_fitter nena|frc LOCS [--png PNG]
    python3 -m gauss2_fitter photometry STACK [STACK ...] -o OUT.{h5,csv} [--channels N] [camera options]

Images and movies are read by movie.py (TIFF of any kind tifffile reads,
.npy). Coordinates follow the library's image convention: pixel (column x,
row y) covers [x, x + 1) x [y, y + 1), so its centre is at (x + 0.5, y + 0.5).

Errors end the program with a one-line message and status 1 (2 for bad
usage); SIGINT, SIGTERM and SIGHUP end it with 128 + the signal's number.
Either way an existing output is left untouched: an output that is a
regular file (or a symbolic link to one, whose target is written) is
written to a hidden temporary file beside it and renamed into place once
complete. Any other output (a device, a FIFO, `-` for standard output) is
written through directly.

The layout: one module a subcommand (fit.py with fit_image.py, render.py,
demo.py, drift.py, link.py, nena.py, frc.py, photometry.py), each with NAME,
add_parser(sub) (sub: argparse's subparsers) and run(args), listed in
SUBCOMMANDS; _common.py holds what they share. A subcommand checks its
options up front, reads its inputs through the package's readers, resolves
its outputs (outputs.resolve_output) before any work and writes them inside
outputs.open_output or a formats.TableWriter; main() turns every expected
failure into one line. A new subcommand is a module of the same shape,
added to SUBCOMMANDS.
"""

import argparse
import signal
import sys

from ..outputs import OutputError
from . import demo, drift, fit, frc, link, nena, photometry, render
from ._common import PROG, CliError, Terminated, error, termination_raises

SUBCOMMANDS = (fit, render, demo, drift, link, nena, frc, photometry)


class _Parser(argparse.ArgumentParser):
    def _get_values(self, action, arg_strings):
        # "--frames=--": argparse takes the value for its end-of-options
        # marker, drops it and hands the option an empty list; the value is
        # the text "--" (which the option's own check then refuses).
        if action.nargs is None and action.option_strings and arg_strings == ["--"]:
            return self._get_value(action, "--")
        return super()._get_values(action, arg_strings)


def build_parser():
    parser = _Parser(prog=PROG, description="Fit elliptical 2D Gaussians to spots in images.")
    sub = parser.add_subparsers(dest="command", required=True,
                                metavar="{" + ",".join(m.NAME for m in SUBCOMMANDS) + "}")
    for module in SUBCOMMANDS:
        module.add_parser(sub)
    return parser


def run():
    """The installed `gauss2-fitter` command."""
    sys.exit(main())


def main(argv=None):
    args = build_parser().parse_args(argv)
    with termination_raises():
        try:
            return args.run(args)
        except (CliError, OutputError) as e:
            error(e)
            return 1
        except OSError as e:  # an I/O failure outside the outputs' own handling
            where = f"{e.filename}: " if e.filename else ""
            error(f"{where}{e.strerror or e}")
            return 1
        except MemoryError:
            error("out of memory; try a smaller image or fewer peaks")
            return 1
        except KeyboardInterrupt:
            print(f"{PROG}: interrupted", file=sys.stderr)
            return 128 + signal.SIGINT
        except Terminated as t:
            print(f"{PROG}: terminated by {signal.Signals(t.signum).name}", file=sys.stderr)
            return 128 + t.signum
