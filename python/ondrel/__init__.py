"""Engineering SDK: model objects, spreadsheet jobs and analysis runners."""

from importlib import metadata as _metadata

try:
    __version__: str = _metadata.version("ondrel")
except _metadata.PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = ["__version__"]
