"""The girdex analysis class: the host runner bound to the girdex integration."""

import importlib
import sys
import types

import pytest

import ondrel.external.girdex as girdex
from ondrel.core import File
from ondrel.external.python import PythonAnalysis


def test_surface():
    assert girdex.__all__ == ["GirdexAnalysis"]
    cls = girdex.GirdexAnalysis
    assert cls.__bases__ == (PythonAnalysis,)
    assert cls._integration == "girdex"
    assert cls.__module__ == "ondrel.external.girdex" and cls.__qualname__ == "GirdexAnalysis"
    assert set(vars(cls)) == {"__module__", "__doc__", "_integration"}
    assert cls.__doc__.startswith("::version(14.17.0)")
    for term in ("script", "files", "output_filenames", "script_key", "execute(timeout=", "get_output_file",
                 "ondrel.errors.ExecutionError", "blocking"):
        assert term in cls.__doc__


def test_runs_a_script_on_the_local_worker():
    script = File.from_data("import json\nopen('out.txt','w').write(open('in.txt').read().upper())\n")
    analysis = girdex.GirdexAnalysis(script=script, files=[("in.txt", File.from_data("beam"))],
                                     output_filenames=["out.txt"])
    analysis.execute(timeout=30)
    assert analysis.get_output_file("out.txt").getvalue_binary() == b"BEAM"


def test_import_fails_without_the_host_runner(monkeypatch):
    monkeypatch.setitem(sys.modules, "ondrel.external.python", None)
    monkeypatch.delitem(sys.modules, "ondrel.external.girdex")
    with pytest.raises(ImportError):
        importlib.import_module("ondrel.external.girdex")


def test_a_host_without_the_runner_raises_import_error(monkeypatch):
    host = types.ModuleType("ondrel.external.python")
    host.__file__ = "/nowhere/python.py"
    monkeypatch.setitem(sys.modules, "ondrel.external.python", host)
    monkeypatch.delitem(sys.modules, "ondrel.external.girdex")
    with pytest.raises(ImportError) as raised:
        importlib.import_module("ondrel.external.girdex")
    assert str(raised.value) == "cannot import name 'PythonAnalysis' from 'ondrel.external.python' (/nowhere/python.py)"
    assert raised.value.name == "ondrel.external.python" and raised.value.path == "/nowhere/python.py"
