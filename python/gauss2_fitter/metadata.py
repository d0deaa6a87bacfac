"""What a table was made from and how: the run's metadata, an object that
travels beside the table.

    meta = RunMetadata.for_run(movie, settings)          # before the run
    write_table(table, "locs.hdf5", metadata=meta)       # every format writes what it holds of it
    table, meta = read_table("locs.hdf5")                # and reads it back

Every writer takes it explicitly (formats.py: the HDF5 table's YAML, the
CSV table's units), and the readers return it. A table's `DataFrame.attrs`
gets a copy (`as_attrs`) for the user's convenience: pandas drops attrs in
many operations (pd.concat among them), so nothing in this package reads a
table's attrs where an explicit RunMetadata can be passed; the public
writers fall back on them only when they are given no metadata.
"""

from dataclasses import dataclass, fields, replace

from ._version import __version__


@dataclass(frozen=True)
class RunMetadata:
    """A run's settings and its movie, as plain values; None where unknown.

    A run's metadata (`for_run`) names its software and has every field
    (threshold None: each frame's automatic threshold; "given peaks" when
    the peaks were given). Metadata read from a file holds what the file
    gave. `steps` records what was done to the table since the fit, in
    order (drift correction, linking): each a dict of plain values, "step"
    naming it, the others its settings and results (`with_step` adds one).
    """

    software: str = None
    camera: dict = None  # Camera.as_dict()
    pixel_size: float = None  # nm
    estimator: str = None
    mea: int = None
    psf_sigma: float = None  # pixels, the PSF's sigma the window and joint fits used (crowded.py)
    psf_sigma_source: str = None  # "given", or how it was measured
    max_emitters: int = None  # emitters a window's model may hold
    threshold: object = None
    smooth: float = None
    n_sigma: float = None
    background_tile: int = None  # the peak search's local background (0: one level a frame)
    height: int = None
    width: int = None
    n_frames: int = None  # frames of the run
    frame_range: list = None  # [start, stop)
    movie_frames: int = None  # frames of the whole movie
    dtype: str = None
    source: list = None  # the movie's files ("<array>", "<dask array>")
    steps: tuple = ()  # the steps applied after the fit, each a dict

    @classmethod
    def for_run(cls, movie, settings, frames=None, peaks_given=False):
        """The metadata of localising `movie` (anything open_movie takes)
        under `settings` (a Settings), over `frames` (as localize takes
        them), with peaks given or searched."""
        from .movie import frame_range, open_movie

        mv = open_movie(movie)
        start, stop = frame_range(frames, mv.n_frames)
        return cls(software=f"gauss2_fitter {__version__}", camera=settings.camera.as_dict(),
                   pixel_size=settings.camera.pixel_size, estimator=settings.estimator, mea=settings.mea,
                   psf_sigma=settings.psf_sigma, psf_sigma_source=settings.psf_source,
                   max_emitters=settings.max_emitters, threshold="given peaks" if peaks_given else settings.threshold,
                   smooth=settings.smooth, n_sigma=settings.n_sigma, background_tile=settings.background_tile,
                   height=mv.height, width=mv.width, n_frames=stop - start, frame_range=[start, stop],
                   movie_frames=mv.n_frames, dtype=str(mv.dtype), source=list(mv.names))

    @classmethod
    def from_attrs(cls, attrs):
        """From a mapping of `as_attrs`'s keys (a table's attrs); other keys
        are ignored."""
        attrs = attrs or {}
        given = {f.name: attrs[f.name] for f in fields(cls) if f.name in attrs}
        if "steps" in given:
            given["steps"] = tuple(dict(step) for step in given["steps"] or ())
        return cls(**given)

    def as_attrs(self):
        """The fields as a dict, for `DataFrame.attrs` (the steps a list of
        dicts of their own): all of a run's; of metadata read from a file,
        those known, and the pixel size."""
        d = {f.name: getattr(self, f.name) for f in fields(self)}
        d["steps"] = [dict(step) for step in self.steps]
        if self.software is None:
            d = {k: v for k, v in d.items() if v not in (None, []) or k == "pixel_size"}
        return d

    def with_step(self, step):
        """This metadata with `step` (a dict: "step" names it, the rest are
        plain values) appended to its steps."""
        return replace(self, steps=self.steps + (dict(step),))

    def attach(self, table):
        """Puts the convenience copy on `table`'s attrs; returns `table`."""
        table.attrs.clear()
        table.attrs.update(self.as_attrs())
        return table

    @property
    def frame_shape(self):
        """(height, width) of the frames, or None when unknown."""
        if self.height is None or self.width is None:
            return None
        return int(self.height), int(self.width)


def metadata_of(table, metadata=None):
    """`metadata` when given, else what `table`'s attrs hold (the public
    writers' convenience)."""
    if metadata is not None:
        if not isinstance(metadata, RunMetadata):
            raise TypeError(f"metadata must be a RunMetadata, got {type(metadata).__name__}")
        return metadata
    return RunMetadata.from_attrs(getattr(table, "attrs", None))
