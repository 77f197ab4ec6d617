"""Every Python code block of the documentation runs, so the documentation cannot rot.

The ```python blocks of the README and of each file in docs/ run in order, in one namespace, in a fresh folder that holds
a copy of examples/ (a block reads "examples/..." as a reader in the repository would), in a process of
their own so that what one document registers or starts does not reach another. A block written as an
interactive session (``>>>`` lines) runs as a doctest, its output compared. A comment line just above a
block, ``<!-- doctest: requires soffice, ondrel.external.spreadsheet -->``, names what it needs: a
program on PATH or a module; without it the block is skipped, and so are the later blocks of the same
document that carry the same marker.
"""

import importlib.util
import json
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
DOCS = ROOT / "docs"
FENCE = re.compile(r"^(?P<marker><!--\s*doctest:\s*requires\s+(?P<needs>[^>]*?)\s*-->\s*\n(?:\s*\n)?)?"
                   r"```python[ \t]*\n(?P<code>.*?)^```[ \t]*$", re.M | re.S)

# Runs in the documentation's own process: the blocks in order, stopping at the first failure.
DRIVER = r"""
import doctest, json, sys, traceback
blocks = json.load(open(sys.argv[1], encoding="utf-8"))
namespace = {"__name__": "__main__"}
outcomes = []
for block in blocks:
    if block["missing"]:
        outcomes.append({"status": "skipped", "detail": "needs " + ", ".join(block["missing"])})
        continue
    name = f"{block['document']}:{block['line']}"
    try:
        if block["code"].lstrip().startswith(">>>"):
            test = doctest.DocTestParser().get_doctest(block["code"], namespace, name, block["document"],
                                                       block["line"])
            report = []
            runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
            runner.run(test, out=report.append, clear_globs=False)
            if runner.failures:
                raise AssertionError("".join(report))
        else:
            exec(compile(block["code"], name, "exec"), namespace)
    except BaseException:
        outcomes.append({"status": "failed", "detail": traceback.format_exc()})
        break
    outcomes.append({"status": "passed", "detail": ""})
json.dump(outcomes, open(sys.argv[2], "w", encoding="utf-8"))
"""


def available(need):
    if "." in need or need == "ondrel":
        try:
            return importlib.util.find_spec(need) is not None
        except ModuleNotFoundError:
            return False
    return shutil.which(need) is not None


def blocks_of(document):
    text = document.read_text(encoding="utf-8")
    found = []
    for match in FENCE.finditer(text):
        needs = [n.strip() for n in (match["needs"] or "").split(",") if n.strip()]
        found.append({"document": document.name, "line": text.count("\n", 0, match.start("code")) + 1,
                      "code": match["code"], "missing": [n for n in needs if not available(n)]})
    return found


BLOCKS = [(doc, block) for doc in [ROOT / "README.md", *sorted(DOCS.glob("*.md"))] for block in blocks_of(doc)]
_outcomes = {}


def outcomes(document, folder):
    """Runs the document's blocks once and keeps what became of each."""
    if document not in _outcomes:
        shutil.copytree(ROOT / "examples", folder / "examples", ignore=shutil.ignore_patterns("__pycache__"))
        (folder / "blocks.json").write_text(json.dumps(blocks_of(document)), encoding="utf-8")
        driver = folder / "driver.py"
        driver.write_text(DRIVER, encoding="utf-8")
        result = subprocess.run([sys.executable, str(driver), "blocks.json", "outcomes.json"], cwd=folder,
                                capture_output=True, text=True, timeout=900)
        if result.returncode != 0:
            pytest.fail(f"{document.name}: the block runner failed\n{result.stdout}{result.stderr}")
        _outcomes[document] = json.loads((folder / "outcomes.json").read_text(encoding="utf-8"))
    return _outcomes[document]


def test_the_documents_have_python_blocks():
    assert {doc.name for doc, _ in BLOCKS} >= {"README.md", "guide.md", "spreadsheets.md", "analysis.md",
                                               "idea-openmodel.md"}


@pytest.mark.parametrize(("document", "block"), [pytest.param(d, b, id=f"{d.name}:{b['line']}") for d, b in BLOCKS])
def test_block_runs(document, block, tmp_path_factory):
    index = [b["line"] for b in blocks_of(document)].index(block["line"])
    done = outcomes(document, tmp_path_factory.mktemp(document.stem))
    if index >= len(done):
        pytest.fail("not run: an earlier block of the document failed")
    outcome = done[index]
    if outcome["status"] == "skipped":
        pytest.skip(outcome["detail"])
    assert outcome["status"] == "passed", outcome["detail"]
