"""Writing outputs so that a failure loses nothing.

An output named by a path is resolved once, before any work (resolve_output):

- a regular file, a new file, or the file a symbolic link leads to is written
  to a hidden temporary file beside it and renamed over it once complete,
  keeping an existing file's permissions; a failure or an interruption
  removes the temporary file and leaves the old file as it was (or absent);
- anything else (a device such as /dev/null, a FIFO) is opened and written
  through directly: what was written before a failure stays written;
- `-` is standard output.

open_output gives a binary stream for any of them; staged_path gives a
temporary path for writers that need a file of their own (HDF5), which only
a regular file can take. Every failure is an OutputError whose message names
the output in one line.
"""

import os
import stat
import sys
import tempfile
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

STDOUT = "-"


class OutputError(OSError):
    """An output that cannot be written; the message names it in one line.
    `cause` is the OSError behind it, if any."""

    def __init__(self, message, cause=None):
        super().__init__(message)
        self.cause = cause

    def __str__(self):
        return self.args[0]


def failed_output(name, cause, doing="write it"):
    return OutputError(f"output {name}: cannot {doing}: {cause.strerror or cause}", cause)


@dataclass(frozen=True)
class Output:
    """Where a writer writes, and how: mode "replace" (target: the regular
    file written through a temporary file and a rename), "through" (target:
    a device or FIFO written directly) or "stdout"."""

    name: str
    mode: str
    target: Path = None
    keep_mode: int = None  # permission bits of the replaced file


def resolve_output(path):
    """The Output for `path`: a directory, a missing directory or a path that
    cannot be looked at is an OutputError."""
    if isinstance(path, Output):
        return path
    name = str(path)
    if name == STDOUT:
        return Output(name, "stdout")
    path = Path(path)
    target = Path(os.path.realpath(path)) if path.is_symlink() else path
    try:
        st = os.stat(path)
    except FileNotFoundError:
        parent = target.parent if str(target.parent) else Path(".")
        if not parent.is_dir():
            raise OutputError(f"output {name}: the directory {parent} does not exist") from None
        return Output(name, "replace", target)
    except OSError as e:
        raise OutputError(f"output {name}: {e.strerror or e}", e) from None
    if stat.S_ISDIR(st.st_mode):
        raise OutputError(f"output {name}: is a directory")
    if stat.S_ISREG(st.st_mode):
        return Output(name, "replace", target, stat.S_IMODE(st.st_mode))
    return Output(name, "through", path)


class _Sink:
    """A binary file whose write errors become OutputErrors."""

    def __init__(self, file, name):
        self._file = file
        self._name = name

    def write(self, data):
        try:
            return self._file.write(data)
        except OSError as e:
            raise failed_output(self._name, e) from None

    def flush(self):
        try:
            self._file.flush()
        except OSError as e:
            raise failed_output(self._name, e) from None


@contextmanager
def open_output(out):
    """A binary file-like object (write only) for the Output or path `out`.
    An output replaced atomically appears only when the block completes."""
    out = resolve_output(out)
    if out.mode == "stdout":
        yield from _write_stdout(out)
    elif out.mode == "through":
        yield from _write_through(out)
    else:
        yield from _write_replacing(out)


@contextmanager
def staged_path(out):
    """A temporary path beside the regular-file output `out` (an Output or a
    path), renamed over its target when the block completes and removed if
    it fails. Outputs that are not regular files are refused: the writers
    that need a path of their own also need a file they can seek in."""
    out = resolve_output(out)
    if out.mode != "replace":
        raise OutputError(f"output {out.name}: must be a regular file for this format")
    directory = out.target.parent if str(out.target.parent) else Path(".")
    try:
        fd, tmp = tempfile.mkstemp(prefix=f".{out.target.name}.", suffix=".part", dir=directory)
        os.close(fd)
    except OSError as e:
        raise failed_output(out.name, e, f"create a file in {directory}") from None
    try:
        yield Path(tmp)
        try:
            os.chmod(tmp, out.keep_mode if out.keep_mode is not None else 0o666 & ~_umask())
            os.replace(tmp, out.target)
        except OSError as e:
            raise failed_output(out.name, e, "put it in place") from None
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise


def _write_stdout(out):
    sink = _Sink(sys.stdout.buffer, out.name)
    try:
        yield sink
        sink.flush()
    except OutputError as e:
        if isinstance(e.cause, BrokenPipeError):
            # Nobody reads any more: let the interpreter's final flush go nowhere.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        raise


def _write_through(out):
    try:
        file = open(out.target, "wb")
    except OSError as e:
        raise failed_output(out.name, e, "open it") from None
    try:
        sink = _Sink(file, out.name)
        yield sink
        sink.flush()
    finally:
        try:
            file.close()
        except OSError:
            pass  # what the flush above could not write is already reported


def _write_replacing(out):
    with staged_path(out) as tmp:
        try:
            file = open(tmp, "wb")
        except OSError as e:
            raise failed_output(out.name, e, "open it") from None
        with file:
            yield _Sink(file, out.name)
            synced(file, out.name)


def synced(file, name):
    """Flushes the open file `file` to the disk (the output `name`); an
    OutputError if that fails."""
    try:
        file.flush()
        os.fsync(file.fileno())
    except OSError as e:
        raise failed_output(name, e) from None


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask
