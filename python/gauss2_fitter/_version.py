"""The package's version; the library's (CMakeLists.txt, project VERSION) is the same."""

__version__ = "0.1.0"
