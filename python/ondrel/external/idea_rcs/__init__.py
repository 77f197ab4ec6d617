"""IDEA StatiCa RCS: the object model, the OpenModel writer, its checks and the drawing of a section."""

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # type checkers see the names; at run time they load on first use
    from ._checks import ModelError, ModelIssue, ModelWarning
    from ._drawing import section_svg
    from ._openmodel import OpenModel

__all__ = ["ModelError", "ModelIssue", "ModelWarning", "OpenModel", "section_svg"]

_HOMES = {"OpenModel": "_openmodel", "ModelError": "_checks", "ModelIssue": "_checks", "ModelWarning": "_checks",
          "section_svg": "_drawing"}


def __getattr__(name: str) -> object:
    # The host classes load on first use, so importing the objects module stays quick.
    if name in _HOMES:
        from importlib import import_module
        return getattr(import_module(f"{__name__}.{_HOMES[name]}"), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
