"""Camera movies, read lazily: frames come in on demand, a range at a time.

    mv = open_movie("run1.tif")              # or a list of files, a .npy, an array
    mv.n_frames, mv.height, mv.width, mv.dtype
    block = mv.read(100, 132)                # (32, h, w) in the file's own dtype

A movie is a 2-D or 3-D array (numpy or memory-mapped; a 2-D one is one
frame), a dask array (from zarr, dask.array.image.imread, ...: its blocks
are computed a frame range at a time, never the whole array), a path, or a
list of paths whose frames follow each other. Files: TIFF (multi-page,
BigTIFF, OME-TIFF, ImageJ; through tifffile) and .npy. A TIFF whose one
series holds all its pages is that series, its leading axis taken as time;
any other TIFF (pages written one by one, pages of several kinds) is its
pages in file order, one frame each, so that frame k is always the k-th
image of the file (a page of another shape is an error naming it). An
OME-TIFF may spread its frames over several files: only files in its own
folder are read (a reference to any other is an error naming it).

Reading costs memory for the frames read and no more: uncompressed data
(.npy, and the usual uncompressed TIFF layouts) are read with positioned
reads straight into the returned array, so nothing of the file stays mapped
(a file that shrinks meanwhile is an error, never a crash) or cached;
compressed TIFF pages are decoded one at a time. Files are opened on
demand: at most OPEN_FILES of them stay open between reads, whatever the
number of files a movie spans.

A Movie pickles as its source (paths, or the array itself): a process that
unpickles it opens the files again (see `open_movie`'s cache), so that
paths, not pixels, travel to other processes.

Every part of a movie is a FrameSource (the reader protocol below); files
are opened by the opener that MOVIE_FORMATS names for their suffix. A new
movie format is an opener returning a FrameSource, registered with
`register_movie_format`; open_movie, localize, the cluster's workers and
the tool (its single images too) then read it.
"""

import math
import os
import threading
from collections import OrderedDict
from contextlib import contextmanager
from pathlib import Path

import numpy as np

from ._checks import is_real_dtype, need_package, one_line

TIFF_SUFFIXES = (".tif", ".tiff", ".btf", ".tf8")


class MovieError(ValueError):
    """A movie that cannot be read: wrong shape or type, not an image file."""


def _check_dtype(dtype, what):
    if not is_real_dtype(dtype):  # timedelta64 is an integer to numpy, but a duration
        raise MovieError(f"{what}: must hold real numbers, got dtype {dtype}")


def _frames_shape(shape, what):
    """(n_frames, h, w) of a 2-D or 3-D shape; anything else is refused."""
    shape = tuple(int(s) for s in shape)
    if any(s < 0 for s in shape):  # a .npy header may declare one
        raise MovieError(f"{what}: a negative size in its shape {shape}")
    if len(shape) == 2:
        return (1,) + shape
    if len(shape) == 3:
        return shape
    raise MovieError(f"{what}: must be 2-D (one frame) or 3-D (frames, rows, columns), got shape {shape}")


def _pread_into(fd, out, offset):
    """Fills the contiguous array `out` from the file at `offset`."""
    view = memoryview(out).cast("B")
    done = 0
    while done < len(view):
        n = os.preadv(fd, [view[done:]], offset + done)
        if n <= 0:
            raise OSError(f"file ends {len(view) - done} bytes early")
        done += n
    return out


class FrameSource:
    """The reader protocol: a part of a movie, frames read on demand.

    Attributes: `what` (how messages name it: "movie PATH"), `n_frames`,
    `height`, `width`, `dtype` (as stored). `read(start, stop, out)` fills
    `out`, a C-contiguous array of shape (stop - start, height, width),
    with frames start .. stop - 1 (0 <= start < stop <= n_frames); `out`
    has `dtype` when `exact_dtype` (the source copies bytes as stored), any
    real dtype otherwise (values are converted). It may be called from
    several threads at once. `bounds`: where the source's stored chunks
    start along the frames, for sources best read along them, else None;
    `array`: the whole (frames, rows, columns) array, for sources that are
    one, else None."""

    what = "movie"
    exact_dtype = False
    bounds = None
    array = None

    def read(self, start, stop, out):
        raise NotImplementedError


# ---- open files ---------------------------------------------------------------------

OPEN_FILES = 64  # files that movies' parts keep open between reads, at most


class _OpenFiles:
    """The files that movies' parts hold open, at most `limit` of them
    between reads: a part opens its file when it reads (`held`) and keeps it
    open for the next read, until more than `limit` are open and it is the
    least recently used that no read is using. A movie of a thousand files
    thus never holds a thousand descriptors.

    A part that holds a file has `_open_handle()` (open it; called with the
    file closed) and `_close_handle()`."""

    def __init__(self, limit):
        self.limit = limit
        self._users = OrderedDict()  # open parts -> reads using them now, least recently used first
        self._lock = threading.Lock()

    def adopt(self, part):
        """Counts a part whose file is open already (as its opener left it)."""
        with self._lock:
            self._users[part] = self._users.pop(part, 0)
            self._shrink()

    @contextmanager
    def held(self, part):
        """The part's file, open for the block."""
        with self._lock:
            users = self._users.pop(part, None)
            if users is None:
                part._open_handle()
                users = 0
            self._users[part] = users + 1
            self._shrink()
        try:
            yield
        finally:
            with self._lock:
                if part in self._users:
                    self._users[part] -= 1
                self._shrink()

    def _shrink(self):
        idle = [p for p, n in self._users.items() if n == 0]
        for p in idle[:max(0, len(self._users) - self.limit)]:
            del self._users[p]
            p._close_handle()


_open_files = _OpenFiles(OPEN_FILES)


class _RawFile(FrameSource):
    """Frames stored contiguously, uncompressed, at a byte offset."""

    exact_dtype = True

    def __init__(self, path, offset, shape, dtype, what):
        self.path, self.offset, self.dtype, self.what = path, offset, np.dtype(dtype), what
        self.n_frames, self.height, self.width = shape
        self.frame_bytes = self.height * self.width * self.dtype.itemsize
        self._fd = None
        self._open_handle()
        size = os.fstat(self._fd).st_size
        if offset + self.n_frames * self.frame_bytes > size:
            self._close_handle()
            raise MovieError(f"{what}: holds {size} bytes, too few for {self.n_frames} frames of "
                             f"{self.height} x {self.width} {self.dtype}")
        _open_files.adopt(self)

    def _open_handle(self):
        self._fd = os.open(self.path, os.O_RDONLY)

    def _close_handle(self):
        fd, self._fd = self._fd, None
        if fd is not None:
            os.close(fd)

    def read(self, start, stop, out):
        with _open_files.held(self):
            _pread_into(self._fd, out, self.offset + start * self.frame_bytes)

    def __del__(self):
        self._close_handle()


# Bytes of a column-major file read at once when whole runs are read.
_STRIP_BYTES = 1 << 22


class _ColumnMajorFile(_RawFile):
    """A column-major .npy: element (f, i, j) of its (n, h, w) array lies at
    ((j h + i) n + f) items from the data's start, so each pixel's values
    over the frames form a run of n items and a frame is spread over the
    whole file. Read with positioned reads, as the row-major layout is (a
    file that shrinks is an error, not a crash of a mapped read): whole runs
    when the frames asked for are a good share of them, else the wanted
    part of each run, one read a pixel."""

    def read(self, start, stop, out):
        n, h, w = self.n_frames, self.height, self.width
        k, size = stop - start, self.dtype.itemsize
        with _open_files.held(self):
            if 4 * k >= n:
                rows = max(1, min(h, _STRIP_BYTES // (n * size)))
                buf = np.empty(rows * n, self.dtype)
                for j in range(w):
                    for i0 in range(0, h, rows):
                        i1 = min(h, i0 + rows)
                        first = (j * h + i0) * n + start
                        _pread_into(self._fd, buf[:(i1 - i0 - 1) * n + k], self.offset + first * size)
                        out[:, i0:i1, j] = buf[:(i1 - i0) * n].reshape(i1 - i0, n)[:, :k].T
            else:
                runs = np.empty((w * h, k), self.dtype)
                for m in range(w * h):
                    _pread_into(self._fd, runs[m], self.offset + (m * n + start) * size)
                out[...] = runs.reshape(w, h, k).transpose(2, 1, 0)


def _open_npy(path, what):
    try:
        with open(path, "rb") as f:
            major, _ = np.lib.format.read_magic(f)
            header = np.lib.format.read_array_header_1_0 if major == 1 else np.lib.format.read_array_header_2_0
            shape, fortran, dtype = header(f)
            offset = f.tell()
    except (ValueError, OSError, EOFError) as e:
        raise MovieError(f"{what}: cannot read it: not a .npy file ({one_line(e)})") from None
    _check_dtype(dtype, what)
    if dtype.hasobject:
        raise MovieError(f"{what}: holds Python objects")
    n, h, w = _frames_shape(shape, what)
    if fortran:  # column-major bytes, a single frame too: not frames one after another
        return _ColumnMajorFile(path, offset, (n, h, w), dtype, what)
    return _RawFile(path, offset, (n, h, w), dtype, what)


class _TiffPagesFile(FrameSource):
    """TIFF frames one page each, decoded by tifffile (compressed data, or
    pages that are not one series): frame k is pages[k]."""

    def __init__(self, tif, pages, shape, dtype, what):
        self.tif, self.pages, self.dtype, self.what = tif, pages, dtype, what
        self.n_frames, self.height, self.width = shape
        self._lock = threading.Lock()
        _open_files.adopt(self)

    def _open_handle(self):
        self.tif.filehandle.open()

    def _close_handle(self):
        with self._lock:
            self.tif.filehandle.close()

    def read(self, start, stop, out):
        with _open_files.held(self), self._lock:  # page lookup seeks in the shared file handle
            # Pages of an OME-TIFF's other files: tifffile closes those files
            # once it has their pages; they are opened for this read only.
            others = {id(fh): fh for fh in (self.pages[i].parent.filehandle for i in range(start, stop))
                      if fh is not self.tif.filehandle and fh.closed}
            try:
                for fh in others.values():
                    fh.open()
                for k, i in enumerate(range(start, stop)):
                    out[k] = self.pages[i].asarray().reshape(self.height, self.width)
            finally:
                for fh in others.values():
                    fh.close()


class _DaskArray(FrameSource):
    """A dask array, computed a frame range at a time in the calling thread
    (the synchronous scheduler: whoever reads, a thread of localize or a task
    on a cluster's worker, does the reading itself)."""

    def __init__(self, arr, what):
        self.arr = self.array = arr
        self.what = what
        self.n_frames, self.height, self.width = arr.shape
        self.dtype = np.dtype(arr.dtype)
        # Where the array's own chunks start along the frames: reading along
        # them decodes each stored chunk once.
        self.bounds = np.cumsum((0,) + tuple(arr.chunks[0]))

    def read(self, start, stop, out):
        from dask.local import get_sync  # as a function: no warning when a distributed client is the default

        out[...] = self.arr[start:stop].compute(scheduler=get_sync)


class _ArrayFile(FrameSource):
    """A file read whole (a layout without one frame per page), or an array."""

    def __init__(self, arr, what):
        self.arr = self.array = arr
        self.what = what
        self.n_frames, self.height, self.width = arr.shape
        self.dtype = arr.dtype

    def read(self, start, stop, out):
        out[...] = self.arr[start:stop]


def _ome_files_outside(tif, path):
    """The files that an OME-TIFF's metadata names outside the folder of
    `path` (tifffile would read them as parts of its series)."""
    import xml.etree.ElementTree as ET

    try:
        root = ET.fromstring(tif.pages[0].description)
    except (ET.ParseError, ValueError, TypeError):
        return []  # tifffile reads no other file of metadata it cannot parse
    folder = os.path.normpath(os.path.dirname(os.path.abspath(path)))
    names = {e.get("FileName") for e in root.iter() if e.tag.rsplit("}", 1)[-1] == "UUID" and e.get("FileName")}
    return sorted(n for n in names if os.path.dirname(os.path.normpath(os.path.join(folder, n))) != folder)


def _greyscale_frames(what, axes, shape):
    if "S" in axes:  # samples of a pixel: RGB and the like
        raise MovieError(f"{what}: holds colour samples (axes {axes}, shape {shape}); movies must be greyscale")


def _all_pages(tif, what):
    """The pages of a TIFF that is not one series, in file order, one frame
    each: (their frame shape (n, h, w), their common dtype), every page
    checked to be a greyscale image of the first one's size."""
    dtypes = set()
    h = w = None
    for k, page in enumerate(tif.pages):
        _greyscale_frames(f"{what}, page {k}", page.axes, page.shape)
        if len(page.shape) != 2 or page.dtype is None:
            raise MovieError(f"{what}: page {k} is not a 2-D greyscale image (axes {page.axes}, shape "
                             f"{page.shape}); a movie's pages must all be frames of one size")
        if h is None:
            h, w = page.shape
        elif page.shape != (h, w):
            raise MovieError(f"{what}: page {k} is {page.shape[0]} x {page.shape[1]} pixels, page 0 "
                             f"{h} x {w}; a movie's pages must all be frames of one size")
        dtypes.add(np.dtype(page.dtype))
    return (len(tif.pages), h, w), np.result_type(*dtypes)


def _open_tiff(path, what):
    tifffile = need_package("tifffile", f"{what}: reading TIFF", MovieError, "; or save the movie as .npy")
    try:
        tif = tifffile.TiffFile(path)
    except Exception as e:  # tifffile raises several kinds for foreign files
        raise MovieError(f"{what}: cannot read it: not a TIFF file ({e})") from None
    try:
        if tif.is_ome:
            outside = _ome_files_outside(tif, path)
            if outside:
                raise MovieError(f"{what}: its OME metadata names {outside[0]}, outside its folder; only files in "
                                 "the movie's own folder are read (name that file yourself to read it)")
        if not tif.series:
            raise MovieError(f"{what}: holds no image")
        series = tif.series[0]
        if len(tif.series) > 1 or len(series.pages) < len(tif.pages):
            # Pages that are not one series (written one by one, of several
            # kinds): each page a frame, in file order.
            shape, dtype = _all_pages(tif, what)
            _check_dtype(dtype, what)
            return _TiffPagesFile(tif, tif.pages, shape, dtype, what)
        _greyscale_frames(what, series.axes, series.shape)
        shape = _frames_shape(series.shape, what)
        dtype = np.dtype(series.dtype).newbyteorder(tif.byteorder)
        _check_dtype(dtype, what)
        if series.dataoffset is not None:
            f = _RawFile(path, series.dataoffset, shape, dtype, what)
            tif.close()
            return f
        if len(series.pages) == shape[0] and all(s > 0 for s in shape):
            return _TiffPagesFile(tif, series.pages, shape, dtype, what)
        arr = series.asarray().reshape(shape)
        tif.close()
        return _ArrayFile(arr, what)
    except MovieError:
        tif.close()
        raise


# suffix -> (opener(path, what) -> FrameSource, the format's name in messages)
MOVIE_FORMATS = {}


def register_movie_format(suffixes, opener, described):
    """Files ending in any of `suffixes` (lower case, with the dot) are
    opened by `opener(path, what)`, which returns a FrameSource or raises a
    MovieError naming `what`; `described` names the format in the message
    that lists the known ones ("TIFF (.tif, .tiff)")."""
    for suffix in suffixes:
        MOVIE_FORMATS[suffix] = (opener, described)


register_movie_format(TIFF_SUFFIXES, _open_tiff, "TIFF (.tif, .tiff)")
register_movie_format((".npy",), _open_npy, ".npy")
MOVIE_SUFFIXES = tuple(MOVIE_FORMATS)


def _open_file(path):
    p = Path(path)
    what = f"movie {p}"
    if not p.exists():
        raise FileNotFoundError(f"{what}: no such file")
    if not p.is_file():
        raise MovieError(f"{what}: not a file")
    suffix = p.suffix.lower()
    if suffix not in MOVIE_FORMATS:
        known = " or ".join(dict.fromkeys(described for _, described in MOVIE_FORMATS.values()))
        raise MovieError(f"{what}: unknown format {suffix or '(no suffix)'}; use {known}")
    return MOVIE_FORMATS[suffix][0](p, what)


# Files stay open between reads and between calls (a process that runs many
# chunks of a movie parses its TIFF once); a changed file is opened again.
_CACHE_SIZE = 32
_cache = OrderedDict()
_cache_lock = threading.Lock()


def _cached_file(path):
    p = os.path.abspath(path)
    st = os.stat(p) if os.path.exists(p) else None
    key = (p, st.st_size, st.st_mtime_ns) if st else (p,)
    with _cache_lock:
        if key in _cache:
            _cache.move_to_end(key)
            return _cache[key]
    f = _open_file(path)
    with _cache_lock:
        _cache[key] = f
        while len(_cache) > _CACHE_SIZE:
            _cache.popitem(last=False)
    return f


class Movie:
    """Frames of one movie from one or more parts (files or an array),
    read on demand. Frame numbers run from 0 over all parts in order."""

    def __init__(self, parts, source, names):
        self._parts = parts
        self.source = source
        self.names = names
        first = parts[0]
        self.height, self.width = first.height, first.width
        for p in parts[1:]:
            if (p.height, p.width) != (self.height, self.width):
                raise MovieError(f"{p.what}: frames of {p.height} x {p.width}, but {first.what} has "
                                 f"{self.height} x {self.width}")
        self.dtype = np.result_type(*[p.dtype for p in parts]).newbyteorder("=")
        self._starts = np.cumsum([0] + [p.n_frames for p in parts])
        self.n_frames = int(self._starts[-1])

    @property
    def shape(self):
        return (self.n_frames, self.height, self.width)

    @property
    def chunk_bounds(self):
        """Frame numbers where the stored chunks of a dask array start (and
        the end), or None for movies that read any range alike."""
        return self._parts[0].bounds if len(self._parts) == 1 else None

    @property
    def array(self):
        """The (frames, rows, columns) array of a movie made from one (numpy
        or dask), or None for a movie of files."""
        if len(self._parts) == 1 and not isinstance(self.source, tuple):
            return self._parts[0].array
        return None

    def files(self, start, stop):
        """The files holding frames start .. stop - 1 (start < stop), and the
        number of the first frame of the first of them: what a process needs
        to read that range without opening the others. None for a movie
        that is not read from files."""
        if not isinstance(self.source, tuple):
            return None
        k = int(np.searchsorted(self._starts, start, side="right")) - 1
        m = int(np.searchsorted(self._starts, stop, side="left"))
        return self.source[k:m], int(self._starts[k])

    def read(self, start, stop):
        """Frames start .. stop - 1 as a new (stop - start, h, w) array of
        the movie's dtype (native byte order)."""
        if not 0 <= start <= stop <= self.n_frames:
            raise IndexError(f"frames {start}:{stop} outside 0:{self.n_frames}")
        out = np.empty((stop - start, self.height, self.width), dtype=self.dtype)
        k = int(np.searchsorted(self._starts, start, side="right")) - 1
        pos = start
        while pos < stop:
            part = self._parts[k]
            lo = pos - int(self._starts[k])
            hi = min(part.n_frames, stop - int(self._starts[k]))
            dst = out[pos - start:pos - start + hi - lo]
            try:
                if part.dtype == dst.dtype or not part.exact_dtype:
                    part.read(lo, hi, dst)
                else:  # other byte order or type: read as stored, then convert
                    raw = np.empty(dst.shape, dtype=part.dtype)
                    part.read(lo, hi, raw)
                    dst[...] = raw
            except (MovieError, MemoryError):
                raise
            except Exception as e:  # a file damaged or changed since it was opened: name it
                detail = str(e).strip().splitlines()
                raise MovieError(f"{part.what}: cannot read its frames {lo} to {hi - 1}: "
                                 f"{detail[0] if detail else type(e).__name__}") from e
            pos += hi - lo
            k += 1
        return out

    def __reduce__(self):
        return open_movie, (self.source,)

    def __repr__(self):
        return f"<Movie {self.n_frames} x {self.height} x {self.width} {self.dtype} from {', '.join(self.names)}>"


def _is_dask_array(movie):
    return hasattr(movie, "__dask_graph__") and hasattr(movie, "chunks") and hasattr(movie, "dtype")


def _is_array(movie):
    return isinstance(movie, np.ndarray) or (hasattr(movie, "__array__") and hasattr(movie, "shape")
                                             and not isinstance(movie, (str, bytes, os.PathLike)))


def open_movie(movie):
    """A Movie: frames read on demand from an array, a file or files.

    Parameters
    ----------
    movie : array_like, dask array, str, os.PathLike, list of paths or Movie
        A 2-D (one frame) or 3-D (frames, rows, columns) array, numpy or
        memory-mapped; a dask array (computed a frame range at a time, never
        whole); a path to a TIFF (multi-page, BigTIFF, OME-TIFF,
        ImageJ; see the module's description for which pages are
        frames) or .npy file; a list of such paths whose
        frames follow each other; or a Movie, returned as it is.

    Returns
    -------
    Movie
        With n_frames, height, width, dtype, shape, and read(start, stop)
        returning frames start .. stop - 1 as a new array. It pickles as its
        paths.

    Raises
    ------
    MovieError
        (a ValueError) A shape that is not 2-D or 3-D (or unknown, for a
        dask array), values that are not real numbers, a file that is not an
        image of a known format, files of different frame sizes, an empty
        list. Later, from read(): a file that cannot be read there.
    FileNotFoundError
        A file that does not exist.
    TypeError
        Anything else.

    Examples
    --------
    >>> mv = g2.open_movie(np.zeros((5, 32, 48), dtype=np.uint16))
    >>> mv.n_frames, mv.height, mv.width, mv.dtype
    (5, 32, 48, dtype('uint16'))
    >>> np.save("part.npy", np.arange(2 * 3 * 4).reshape(2, 3, 4))
    >>> both = g2.open_movie(["part.npy", "part.npy"])     # frames follow each other
    >>> both.shape, both.read(1, 3)[:, 0, 0]
    ((4, 3, 4), array([12,  0]))
    >>> g2.open_movie(np.zeros((2, 2, 3, 4)))  # doctest: +ELLIPSIS
    Traceback (most recent call last):
    ...
    gauss2_fitter.movie.MovieError: movie: must be 2-D (one frame) or 3-D (frames, ...), got shape (2, 2, 3, 4)
    """
    if isinstance(movie, Movie):
        return movie
    if isinstance(movie, (str, os.PathLike)):
        return Movie([_cached_file(movie)], (os.fspath(movie),), [os.fspath(movie)])
    if isinstance(movie, (list, tuple)) and movie and all(isinstance(m, (str, os.PathLike)) for m in movie):
        paths = tuple(os.fspath(m) for m in movie)
        return Movie([_cached_file(p) for p in paths], paths, list(paths))
    if isinstance(movie, (list, tuple)) and not movie:
        raise MovieError("movie: an empty list of files")
    if _is_dask_array(movie):
        _check_dtype(np.dtype(movie.dtype), "movie")
        if any(math.isnan(s) for s in movie.shape):
            raise MovieError("movie: a dask array of unknown shape; call compute_chunk_sizes() on it first")
        shape = _frames_shape(movie.shape, "movie")
        arr = movie.reshape(shape) if len(movie.shape) == 2 else movie
        return Movie([_DaskArray(arr, "movie dask array")], movie, ["<dask array>"])
    if _is_array(movie):
        arr = movie if isinstance(movie, np.ndarray) else np.asarray(movie)
        _check_dtype(arr.dtype, "movie")
        shape = _frames_shape(arr.shape, "movie")
        return Movie([_ArrayFile(arr.reshape(shape), "movie array")], arr, ["<array>"])
    raise TypeError(f"movie must be an array, a path or a list of paths, got {type(movie).__name__}")


def frame_range(frames, n_frames):
    """(start, stop) of a frame selection: None (all), a range or slice of
    step 1, or a pair (start, stop); negative numbers count from the end."""
    if frames is None:
        return 0, n_frames
    if isinstance(frames, range):
        if frames.step != 1:
            raise ValueError(f"frames must be a range of step 1, got {frames}")
        frames = slice(frames.start, frames.stop)
    elif isinstance(frames, tuple) and len(frames) == 2:
        frames = slice(*frames)
    if not isinstance(frames, slice):
        raise TypeError(f"frames must be a range, a slice or a pair (start, stop), got {type(frames).__name__}")
    if frames.step not in (None, 1):
        raise ValueError(f"frames must have step 1, got {frames.step}")
    for v in (frames.start, frames.stop):
        if v is not None and (isinstance(v, bool) or not isinstance(v, (int, np.integer))):
            raise TypeError(f"frames must be given by integers, got {v!r}")
    start, stop, _ = frames.indices(n_frames)
    return start, max(start, stop)
