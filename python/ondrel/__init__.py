"""Engineering SDK: model objects, spreadsheet jobs and analysis runners."""

__all__ = ["__version__"]


def __getattr__(name: str) -> str:
    # The version is read from the installed metadata on first use: importing importlib.metadata
    # costs more than the rest of the package's import, and most programs never ask.
    if name == "__version__":
        from importlib import metadata

        try:
            version = metadata.version("ondrel")
        except metadata.PackageNotFoundError:  # imported from a source tree that was never installed
            version = "0+unknown"
        globals()["__version__"] = version
        return version
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
