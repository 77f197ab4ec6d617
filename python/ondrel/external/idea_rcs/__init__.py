"""IDEA StatiCa RCS: the object model and the OpenModel writer."""

__all__ = ["OpenModel"]


def __getattr__(name):
    # OpenModel loads on first use, so importing the objects module stays quick.
    if name == "OpenModel":
        from ._openmodel import OpenModel
        return OpenModel
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
