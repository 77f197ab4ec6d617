"""Checks shared by the model tests."""

import inspect

import pytest


def _check_param_doc(function, summary):
    """Summary, empty line, then one ':param' line per parameter in signature order, indented by 8."""
    names = [name for name in inspect.signature(function).parameters if name != "self"]
    lines = function.__doc__.split("\n")
    assert lines[:2] == [summary, ""] and lines[-1] == " " * 8
    assert [line.split(":")[1] for line in lines[2:-1]] == [f"param {name}" for name in names]
    assert all(line.startswith("        :param ") for line in lines[2:-1])


@pytest.fixture
def check_param_doc():
    return _check_param_doc
