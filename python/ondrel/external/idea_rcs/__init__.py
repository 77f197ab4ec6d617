"""IDEA StatiCa RCS: the object model and the OpenModel writer."""

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # type checkers see the class; at run time it loads on first use
    from ._openmodel import OpenModel

__all__ = ["OpenModel"]


def __getattr__(name: str) -> object:
    # OpenModel loads on first use, so importing the objects module stays quick.
    if name == "OpenModel":
        from ._openmodel import OpenModel
        return OpenModel
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
