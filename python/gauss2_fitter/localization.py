"""From camera movies to localisation tables: `localize`, and the stream
of a table's chunks that writers consume (`iter_localize`).

    import gauss2_fitter as g2
    cam = g2.Camera(baseline=100, sensitivity=0.45, qe=0.82, read_noise=1.6, pixel_size=108)
    locs = g2.localize("run1.tif", camera=cam)          # pandas.DataFrame, one row per spot

The run is cut into chunks of frames (pipeline.py does each chunk's work:
read, convert, search, fit, rows) that run over threads here, or as tasks
on a Dask cluster (cluster.py) with a client. The table's columns are
schema.py's; its metadata, a RunMetadata, is attached as `attrs`.
"""

import os
import warnings
from concurrent.futures import ThreadPoolExecutor

from . import crowded
from ._checks import as_int
from .camera import Camera
from .estimators import DEFAULT
from .metadata import RunMetadata
from .movie import frame_range, open_movie
from .photon_transfer import CameraWarning, camera_warnings
from .pipeline import (BACKGROUND_TILE, Run, RunReport, Settings, chunk_frames, localize_frames, peak_table,
                       peaks_between, split_frames)
from .schema import concat_tables


def localize_chunk(movie, start, stop, settings, peaks=None, n_threads=1):
    """The rows of frames start .. stop - 1 of `movie` (anything open_movie
    takes; a Movie pickles as its files) under `settings`: a DataFrame with
    the table's columns, frame numbers counted in the whole movie. `peaks`:
    None to find them, or (frame, x, y) int64 arrays (peak_table) of which
    the rows of these frames are used. n_threads: threads for the fits.
    When peaks are searched, attrs["no_contrast_frames"] lists the frames
    flat or without a pixel above their threshold (a copy of what
    pipeline.localize_frames returns in its Chunk)."""
    chunk = localize_frames(open_movie(movie), start, stop, settings, peaks_between(peaks, start, stop), n_threads)
    if peaks is None:
        chunk.table.attrs["no_contrast_frames"] = chunk.no_contrast
    return chunk.table


def _local_chunks(mv, settings, start, stop, peaks, n_threads, report, timings):
    """The Chunks of frames start .. stop - 1 in frame order, computed over
    n_threads threads (each told to the RunReport `report` as it is taken):
    chunks go to threads, and with fewer chunks than threads, the fits of
    each chunk are spread too. At most two chunks per thread are in flight,
    which bounds the memory."""
    if n_threads is None:
        n_threads = os.cpu_count() or 1
    n_threads = as_int("n_threads", n_threads, low=1)
    ranges = split_frames(start, stop, chunk_frames(mv.height, mv.width), mv.chunk_bounds)
    inner = max(1, n_threads // max(1, len(ranges))) if len(ranges) < n_threads else 1
    run = Run(settings, mv.height, mv.width)

    def one(lo, hi):
        return localize_frames(mv, lo, hi, settings, peaks_between(peaks, lo, hi), inner, run, timings)

    def taken(chunk):
        report.chunk_done(chunk)
        return chunk

    if n_threads == 1 or len(ranges) <= 1:
        for lo, hi in ranges:
            yield taken(one(lo, hi))
        return
    with ThreadPoolExecutor(max_workers=n_threads) as pool:
        pending = []  # in frame order
        try:
            for r in ranges:
                pending.append(pool.submit(one, *r))
                if len(pending) >= 2 * n_threads:
                    yield taken(pending.pop(0).result())
            while pending:
                yield taken(pending.pop(0).result())
        finally:
            for f in pending:
                f.cancel()


def iter_localize(movie, settings, *, peaks=None, frames=None, n_threads=None, progress=False, client=None,
                  _timings=None):
    """The table of `movie` as a stream of DataFrames, one per chunk of
    frames, in frame order: what localize concatenates, for writers that
    stream to a file. Arguments as for localize; settings a Settings; the
    run's metadata is RunMetadata.for_run(movie, settings, frames, peaks is
    not None) of the settings crowded.resolved fills in (the window side
    and the PSF sigma, when None)."""
    mv = open_movie(movie)
    settings.camera.check_frame_shape((mv.height, mv.width))
    start, stop = frame_range(frames, mv.n_frames)
    settings = crowded.resolved(settings, mv, frames)
    if peaks is not None:
        peaks = peak_table(peaks, mv.n_frames)
    for message in camera_warnings(mv, settings.camera, start, stop):
        warnings.warn(message, CameraWarning, stacklevel=2)
    report = RunReport(stop - start, progress)
    if client is not None:
        from .cluster import cluster_chunks

        chunks = cluster_chunks(client, mv, settings, start, stop, peaks, n_threads, report)
    else:
        chunks = _local_chunks(mv, settings, start, stop, peaks, n_threads, report, _timings)
    completed = False
    try:
        for chunk in chunks:
            yield chunk.table
        completed = True
    finally:
        report.close()
        chunks.close()  # a failure, or the consumer stopped early: the chunks in flight are dropped
    if completed:
        report.warn((mv.height, mv.width), settings.mea)


def localize(movie, *, camera=None, mea=None, estimator=DEFAULT, threshold=None, smooth=1.0, peaks=None,
             frames=None, n_threads=None, progress=False, client=None, background_tile=BACKGROUND_TILE,
             psf_sigma=None, max_emitters=None):
    """Localises every spot of a camera movie into a table.

    Frames are read lazily and processed in chunks over threads; each is
    converted to photo-electrons (`camera`), searched for peaks (or given
    them), and each peak's window fitted.

    Parameters
    ----------
    movie : array_like, dask array, str, os.PathLike or list of them
        A 2-D or 3-D array (numpy or memory-mapped; 2-D is one frame), a dask
        array (from zarr, dask.array.image.imread, ...: read a range of
        frames at a time, along its own chunks), a path (TIFF of any kind
        tifffile reads, or .npy), or a list of paths whose frames follow
        each other.
    camera : Camera, optional
        The conversion of counts (default: counts are photo-electrons and
        photons).
    mea : int, optional
        Side of the fitted square window, odd; default (None) from the PSF
        (crowded.window_side): 2 floor(2 psf_sigma) + 1 for single fits,
        at least 5; 2 round(2.25 psf_sigma) + 1 for joint fits, at least 7.
        Windows at a frame's edge are moved inside it.
    estimator : {"mle", "lsq"}, optional
        Poisson maximum likelihood (the default) or least squares.
    psf_sigma : float, optional
        The PSF's sigma in pixels (as the fits see it: a Gaussian sampled at
        pixel centres). Default: measured on the first frames
        (crowded.estimate_psf_sigma) when the window side or joint fits
        need it; attrs["psf_sigma"] and attrs["psf_sigma_source"] say what
        was used.
    max_emitters : int, optional
        Emitters one window's model may hold, 1 to 8: where one Gaussian
        does not explain a peak's window, up to this many are fitted
        jointly, each molecule one row (crowded.fit_multi). Default 5 with
        the maximum likelihood, 1 (the only choice) with least squares.
    threshold : float, optional
        Peak threshold in photons on the smoothed frame; None for each
        frame's automatic one (median + 5 sigma of the background).
    smooth : float, optional
        Gaussian smoothing before the peak search, pixels (default 1).
    peaks : pandas.DataFrame, mapping or array_like, optional
        Fit these peaks instead of searching: columns frame, x, y (or an
        (n, 3) array); the pixel holding each position is fitted.
    frames : range, slice or (start, stop), optional
        The frames to process (default all).
    n_threads : int, optional
        Threads (default: all cores); the table does not depend on it. With
        a client: threads of each task's fits (default 1, as the workers'
        own threads run tasks side by side).
    progress : bool, optional
        A progress bar on stderr with frames/s and localisations/s.
    client : dask.distributed.Client, optional
        Localise on its cluster: the frames in tasks that its workers run,
        reading the movie's files themselves (see cluster.py). The table is
        the same, bit for bit.
    background_tile : int, optional
        The peak search's local background: the side in pixels of the tiles
        whose medians, interpolated between their centres, are each frame's
        background, so that uneven illumination neither creates nor hides
        peaks (peaks.py); default 32 (pipeline.BACKGROUND_TILE); 0 for one
        level a frame.

    Returns
    -------
    pandas.DataFrame
        One row per spot, columns COLUMNS (frame, x, y in pixels, photons,
        sx, sy, rho, bg, lpx, lpy, their errors, goodness, iterations,
        flag, n_emitters) and, with the camera's pixel size, NM_COLUMNS
        (schema.py). Rows flagged (flag != 0) are not measurements. `attrs`
        holds a copy of the run's metadata (RunMetadata: the camera,
        estimator, mea, PSF sigma, max_emitters, threshold, local
        background, image size and frames).

    Raises
    ------
    TypeError
        A movie, camera or argument of the wrong type.
    ValueError
        A movie that is not 2-D or 3-D or not an image file (MovieError),
        settings out of range (max_emitters outside 1..8, or above 1 with
        least squares; psf_sigma not positive or not finite), peaks outside
        the movie's frames.
    FileNotFoundError
        A movie file that does not exist.

    Warns
    -----
    NoPeaksWarning
        Once a run: frames smaller than the window, or frames flat or
        without a pixel above the threshold.
    CameraWarning
        Once a run for each: the camera's settings do not fit the first
        frames' photon-transfer relation (naming the likely cause), integer
        counts with no camera, a baseline above most pixels, a pixel size
        under 1 nm (photon_transfer.camera_warnings; docs/camera.md).

    Examples
    --------
    >>> spots = [[3000, 1.3, 1.3, 12.4, 10.7, 0, 0], [2500, 1.3, 1.3, 30.2, 25.5, 0, 0]]
    >>> frame = g2.synth_image(spots, (36, 44), 15) + 20.0     # photo-electrons
    >>> movie = np.stack([frame, frame]) / 0.5 + 100           # 2 frames in ADU: 0.5 e-/ADU, baseline 100
    >>> cam = g2.Camera(baseline=100, sensitivity=0.5, pixel_size=100)
    >>> locs = g2.localize(movie, camera=cam, estimator="lsq", mea=11)
    >>> print(locs[["frame", "x", "y", "photons", "bg", "flag"]].round(2).to_string(index=False))
     frame    x    y  photons   bg  flag
         0 12.4 10.7   3000.0 20.0     0
         0 30.2 25.5   2500.0 20.0     0
         1 12.4 10.7   3000.0 20.0     0
         1 30.2 25.5   2500.0 20.0     0
    >>> locs.x_nm.round(1).tolist()[:2], locs.attrs["width"], locs.attrs["n_frames"]
    ([1240.0, 3020.0], 44, 2)
    """
    settings = Settings(camera=Camera() if camera is None else camera, mea=mea, estimator=estimator,
                        threshold=threshold, smooth=smooth, background_tile=background_tile, psf_sigma=psf_sigma,
                        max_emitters=max_emitters)
    mv = open_movie(movie)
    settings = crowded.resolved(settings, mv, frames)
    metadata = RunMetadata.for_run(mv, settings, frames, peaks is not None)
    parts = list(iter_localize(mv, settings, peaks=peaks, frames=frames, n_threads=n_threads, progress=progress,
                               client=client))
    return metadata.attach(concat_tables(parts, settings.camera.pixel_size))
