"""The common runtime's records (Tab, Hash, HashRec, F64Arr) and operations."""

from . import _lib  # noqa: F401
