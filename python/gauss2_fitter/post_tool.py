"""The tool's steps after the fit, on table files: what the `drift`, `link`,
`nena` and `frc` subcommands and `fit --drift/--link` run, from values the
command line has already parsed.

Each run_* function checks every output first (resolve_output: a missing
directory or a wrong suffix fails before any work), reads the table
(formats.read_localizations), runs the step, and writes each output whole
(a failure leaves an existing file as it was). Bad input raises ValueError
(FormatError included) or OutputError, with a one-line message; the
functions return the line to report.
"""

from pathlib import Path

from ._post import check_png, pixel_size_of, run_metadata

STDOUT = "-"


def _outputs(table_path=None, png=None, extra=None):
    """Resolves the outputs before any work; checks the table's suffix and
    the picture's."""
    from .formats import table_format
    from .outputs import resolve_output

    out = {}
    if table_path is not None:
        table_format(table_path)
        out["table"] = resolve_output(table_path)
    if png is not None:
        check_png(png)
        out["png"] = resolve_output(png)
    if extra is not None:
        if str(extra) != STDOUT and not str(extra).lower().endswith(".csv"):
            raise ValueError(f"{extra}: the drift is written as CSV; give a path ending in .csv")
        out["extra"] = resolve_output(extra)
    return out


def read_table(path, pixel_size=None):
    """A localisation table from a file (formats.read_localizations; a
    missing file is a ValueError too)."""
    from .formats import read_localizations

    try:
        return read_localizations(path, pixel_size)
    except FileNotFoundError as e:
        raise ValueError(str(e)) from None


def _write_drift_csv(drift, out, pixel_size):
    from .outputs import open_output

    table = drift.reset_index()
    if pixel_size is not None:
        table["dx_nm"], table["dy_nm"] = table["dx"] * pixel_size, table["dy"] * pixel_size
    with open_output(out) as f:
        f.write(table.to_csv(index=False, float_format="%.6g").encode())


def run_drift(table, output, *, segment_frames=None, fiducials=None, bin_size=None, max_shift=None,
              pixel_size=None, drift_csv=None, png=None):
    """Corrects the drift of the table file `table` into `output` (CSV or
    HDF5); the drift by frame into `drift_csv` and its plot into `png` on
    request. fiducials: None, True or a list of (x, y)."""
    from ._post import save_figure
    from .drift import check_options, correct_drift, drift_figure
    from .formats import write_table

    check_options(segment_frames, "rcc", fiducials, bin_size, max_shift)
    outs = _outputs(output, png, drift_csv)
    locs = read_table(table, pixel_size)
    fixed, drift = correct_drift(locs, segment_frames=segment_frames, fiducials=fiducials, bin_size=bin_size,
                                 max_shift=max_shift)
    ps = pixel_size_of(run_metadata(fixed))
    write_table(fixed, outs["table"].name)
    if "extra" in outs:
        _write_drift_csv(drift, outs["extra"], ps)
    if "png" in outs:
        save_figure(drift_figure(drift, ps), outs["png"])
    return f"corrected {describe_drift(drift, ps)} in {len(fixed)} rows -> {output}"


def describe_drift(drift, pixel_size=None):
    """One phrase: the drift's range along x and y, and how it was measured."""
    k, unit = (pixel_size, "nm") if pixel_size else (1.0, "px")
    rx, ry = (float(drift[c].max() - drift[c].min()) * k for c in ("dx", "dy"))
    a = drift.attrs
    how = (f"{a['segments']} segments, {a['pairs_used']} of {a['pairs']} pairs" if a.get("method") == "rcc"
           else f"{len(a.get('fiducials', ()))} fiducial marker(s)")
    return f"a drift of {rx:.1f} x {ry:.1f} {unit} over frames {drift.index[0]} to {drift.index[-1]} ({how})"


def run_link(table, output, *, radius=None, max_dark_frames=1, pixel_size=None):
    """Links the table file `table` into events written to `output`."""
    from .formats import write_table
    from .link import check_options, link

    check_options(radius, max_dark_frames)
    outs = _outputs(output)
    locs = read_table(table, pixel_size)
    events = link(locs, radius=radius, max_dark_frames=max_dark_frames)
    write_table(events, outs["table"].name)
    return describe_link(events) + f" -> {output}"


def describe_link(events):
    step = events.attrs["postprocessing"][-1]
    return f"linked {step['localisations']} localisations into {step['events']} events"


def run_nena(table, *, pixel_size=None, png=None, classic=False):
    """NeNA of the table file `table`: the line to print; its plot into
    `png` on request."""
    from .quality import nena

    outs = _outputs(png=png)
    r = nena(read_table(table, pixel_size), pixel_size_nm=pixel_size, classic=classic)
    if "png" in outs:
        r.save_png(outs["png"])
    nm = f" = {r.precision_nm:.2f} nm" if r.precision_nm is not None else ""
    ratio = f"; {r.ratio:.2f} x the reported precisions" if r.ratio is not None else ""
    return f"NeNA precision {r.precision:.4f} px{nm} from {r.n_pairs} pairs in adjacent frames{ratio}"


def run_frc(table, *, pixel_size=None, png=None, bin_size=None, block_frames=None):
    """FRC of the table file `table`: the line to print; its plot into
    `png` on request."""
    from .quality import FRC_BLOCK_FRAMES, check_frc_options, frc

    bin_size, block_frames = check_frc_options(bin_size, FRC_BLOCK_FRAMES if block_frames is None else block_frames)
    outs = _outputs(png=png)
    r = frc(read_table(table, pixel_size), pixel_size_nm=pixel_size, bin_size=bin_size, block_frames=block_frames)
    if "png" in outs:
        r.save_png(outs["png"])
    if r.resolution != r.resolution:
        return "FRC resolution: not reached (the curve stays above 1/7 up to the bins' limit; give a smaller bin)"
    nm = f" = {r.resolution_nm:.1f} nm" if r.resolution_nm is not None else ""
    return f"FRC resolution {r.resolution:.4f} px{nm} (where the curve falls below 1/7)"


# ---- fit --drift / --link --------------------------------------------------------------


def link_path(output, link):
    """Where `fit --link` writes the events: the path given, or beside the
    output as NAME_link.SUFFIX (as picasso names linked files)."""
    if link is not True:
        return link
    if str(output) == STDOUT or not Path(output).suffix:
        raise ValueError(f"--link without a path writes beside the output, and {output} is not a file; give "
                         "--link EVENTS")
    p = Path(output)
    return str(p.with_name(f"{p.stem}_link{p.suffix}"))


class Gathered:
    """A stand-in for formats.TableWriter that keeps the chunks, for steps
    that need the whole table: `.table` once the block is done."""

    def __init__(self, attrs):
        self.attrs = dict(attrs)
        self.parts = []
        self.table = None

    def write(self, chunk):
        self.parts.append(chunk)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is None:
            import pandas as pd

            from .localize import COLUMNS

            self.table = pd.concat(self.parts, ignore_index=True) if self.parts else pd.DataFrame(columns=COLUMNS)
            self.table.attrs.update(self.attrs)
        return False


def check_fit_outputs(output, link):
    """Before `fit --link` localises anything: the events' path (link_path)
    and its suffix."""
    if link is None:
        return None
    path = link_path(output, link)
    _outputs(path)
    return path


def after_fit(table, output, *, drift=False, link=None):
    """`fit --drift` / `--link`: corrects the drift of the localised table
    (when asked), writes it to `output`, and links it into the events file
    `link` (a path; check_fit_outputs) when asked. Returns the lines to
    report. The localisations are written whatever happens to the steps:
    when one fails (too few localisations, say), the table is written as it
    stands and a ValueError says so."""
    from .drift import correct_drift
    from .formats import write_table
    from .link import link as link_events

    said = []
    ps = pixel_size_of(run_metadata(table))
    try:
        if drift:
            table, d = correct_drift(table)
            said.append(f"corrected {describe_drift(d, ps)}")
        events = link_events(table) if link is not None else None
    except ValueError as e:
        write_table(table, output)
        state = "uncorrected" if drift and not said else "drift-corrected, without events"
        raise ValueError(f"{e}; the localisations were written {state} to {output}") from None
    write_table(table, output)
    if events is not None:
        write_table(events, link)
        said.append(describe_link(events) + f" -> {link}")
    return said

