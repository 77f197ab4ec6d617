"""Editor support: the stubs shipped beside the compiled modules say what the modules declare, the
examples type-check against them under ``mypy --strict``, and ``help()`` shows every public class's
docstrings and signatures."""

import enum
import importlib
import inspect
import pydoc
import re
import subprocess
import sys
from pathlib import Path

import pytest

import ondrel
from ondrel import _stubgen

MODULES = ["ondrel.external.idea_rcs.objects", "ondrel.external.spreadsheet", "ondrel.external.girdex"]
ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
# Entries name a difference that stubtest reports and that the stub cannot avoid; each says why.
ALLOWLIST = ROOT / "tests" / "stubtest-allowlist.txt"


def built(name):
    """The compiled module, or None when this build does not have it."""
    try:
        return importlib.import_module(name)
    except ModuleNotFoundError as error:
        if error.name != name:
            raise
        return None


def module_params():
    return [pytest.param(name, id=name.rpartition(".")[2],
                         marks=() if built(name) else pytest.mark.skip(reason=f"{name} is not built"))
            for name in MODULES]


def public_class_params():
    params = []
    for name in MODULES:
        module = built(name)
        if module is None:
            params.append(pytest.param(None, id=name, marks=pytest.mark.skip(reason=f"{name} is not built")))
            continue
        params += [pytest.param(getattr(module, n), id=n) for n in module.__all__
                   if isinstance(getattr(module, n), type)]
    return params


def run(args, cwd):
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, timeout=600)


@pytest.mark.parametrize("name", module_params())
def test_the_shipped_stub_is_what_the_module_declares(name):
    module = importlib.import_module(name)
    stub = Path(module.__file__).with_name(name.rpartition(".")[2] + ".pyi")
    assert stub.read_text(encoding="utf-8") == _stubgen.generate(module)
    assert (Path(ondrel.__file__).parent / "py.typed").is_file()


@pytest.mark.parametrize("name", module_params())
def test_stubtest_finds_no_difference(name, tmp_path):
    pytest.importorskip("mypy")
    args = ["mypy.stubtest", name]
    if ALLOWLIST.exists():
        lines = ALLOWLIST.read_text(encoding="utf-8").splitlines()
        for number, line in enumerate(lines):
            if line.strip() and not line.lstrip().startswith("#"):
                assert number > 0 and lines[number - 1].lstrip().startswith("#"), f"no reason given for {line}"
        args += ["--allowlist", str(ALLOWLIST)]
    result = run(args, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_type_check_strictly(tmp_path):
    pytest.importorskip("mypy")
    for name in MODULES:
        if built(name) is None:
            pytest.skip(f"{name} is not built; the examples use it")
    examples = sorted(p for p in EXAMPLES.glob("*.py")
                      if re.search(r"ondrel\.external\.(idea_rcs|spreadsheet|girdex)", p.read_text(encoding="utf-8")))
    assert examples, "no example uses the compiled modules"
    result = run(["mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
                  *map(str, examples)], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_documented_workbook_code_type_checks_strictly(tmp_path):
    """The documentation's blocks that build workbooks with openpyxl pass ``mypy --strict`` as written."""
    pytest.importorskip("mypy")
    blocks = [block for doc in sorted((ROOT / "docs").glob("*.md"))
              for block in re.findall(r"^```python\n(.*?)^```", doc.read_text(encoding="utf-8"), re.M | re.S)
              if "import openpyxl" in block]
    assert blocks, "no documented block builds a workbook"
    for number, block in enumerate(blocks):
        (tmp_path / f"block{number}.py").write_text(block, encoding="utf-8")
    result = run(["mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
                  *(f"block{n}.py" for n in range(len(blocks)))], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


MISUSE = {  # module: (code, whether a type checker must refuse it)
    "ondrel.external.idea_rcs.objects": [
        ("from ondrel.external.idea_rcs.objects import ProjectData, ReinforcedCrossSection, ThermalState", False),
        ("ProjectData(name='Beam', design_working_life=75)", False),
        ("ProjectData(name=3)", True),
        ("ProjectData('Beam')", True),
        ("ThermalState().unknown", True),
        ("def bars(section: ReinforcedCrossSection) -> None:\n"
         "    section.create_bar_layer(origin=(0.0, 0.0), diameter=0.02, material=None, number_of_bars=2)", True),
        ("from ondrel.external.idea_rcs import OpenModel", False),
        ("OpenModel().create_check_member1d('B1').id + 'x'", True),
    ],
    "ondrel.external.spreadsheet": [
        ("from ondrel.external.spreadsheet import NamedInputCell", False),
        ("NamedInputCell('span', 6.5).value", False),
        ("NamedInputCell('span', [6.5])", True),
        ("from io import BytesIO\nfrom ondrel.external.spreadsheet import render_spreadsheet", False),
        ("cells: list[NamedInputCell] = [NamedInputCell('span', 6.5)]", False),
        ("render_spreadsheet(BytesIO(b''), cells)", False),
        ("render_spreadsheet(BytesIO(b''), (NamedInputCell('span', 6.5),))", False),
        ("render_spreadsheet(BytesIO(b''), [6.5])", True),
    ],
    "ondrel.external.girdex": [
        ("from ondrel.external.girdex import GirdexAnalysis", False),
        ("GirdexAnalysis(script_key='beam').execute(timeout=60)", False),
        ("GirdexAnalysis(script_key=1)", True),
        ("len(GirdexAnalysis(script_key='beam').stdout + GirdexAnalysis(script_key='beam').stderr)", False),
    ],
}


@pytest.mark.parametrize("name", module_params())
def test_type_checkers_see_the_declared_types(name, tmp_path):
    """Refused exactly where the declarations say so: a module typed as Any would refuse nothing."""
    pytest.importorskip("mypy")
    lines, refused = [], set()
    for code, wrong in MISUSE[name]:
        if wrong:
            refused.add(len(lines) + code.count("\n") + 1)
        lines += code.splitlines()
    (tmp_path / "use.py").write_text("\n".join(lines) + "\n", encoding="utf-8")
    result = run(["mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
                  "--no-error-summary", "use.py"], tmp_path)
    reported = {int(m[1]) for m in re.finditer(r"^use\.py:(\d+): error", result.stdout, re.M)}
    assert reported == refused, result.stdout + result.stderr


def flat(text):
    """The text without pydoc's gutter and without white space, so that wrapping does not matter."""
    lines = (re.sub(r"^ \| ?", "", line) for line in text.splitlines())
    return "".join("".join(lines).split())


def documented_routines(cls):
    for name, value in vars(cls).items():
        if name.startswith("_") and name != "__init__":
            continue
        if isinstance(value, property):
            yield name, value.fget, None
        elif isinstance(value, (classmethod, staticmethod)):
            yield name, value.__func__, getattr(cls, name)
        elif callable(value) and not isinstance(value, type):
            yield name, value, value


@pytest.mark.parametrize("cls", public_class_params())
def test_help_shows_docstrings_and_signatures(cls):
    page = flat(pydoc.render_doc(cls, renderer=pydoc.plaintext))
    if issubclass(cls, enum.Enum):
        for member in cls:  # pydoc shortens long values, so the names are what it always shows
            assert f"{member.name}=<{cls.__name__}." in page
        return
    own_init = vars(cls).get("__init__")
    doc = inspect.getdoc(cls) if cls.__doc__ else (own_init and inspect.getdoc(own_init))
    if doc is None:  # a class that only inherits: its base documents it
        doc = inspect.getdoc(cls)
    assert doc, f"{cls.__name__} has no docstring"
    assert flat(doc) in page
    assert flat(f"{cls.__name__}{inspect.signature(cls)}") in page
    for name, function, shown in documented_routines(cls):
        if shown is not None:
            assert flat(f"{name}{inspect.signature(shown)}") in page, name
        if function.__doc__:
            assert flat(inspect.getdoc(function)) in page, name
