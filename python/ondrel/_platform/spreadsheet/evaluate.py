"""The evaluate add-on ("evaluatespreadsheet/v3/jobs/").

Workbook convention: a sheet "input" holds a parameter name in column A and its value in
column B on each row; a sheet "output" holds a result name in column A and its value or
formula in column B. A first row of headers (column A reading "Name", "Parameter", ...) is
allowed on both. The job writes each input into the row of its name, recalculates every
formula and answers ``{"output": {name: value, ...}}`` in the order of the output sheet.

The inputs are checked and the upload's zip directory measured here; the workbook's layout is
read once per workbook (by hash) in a workbook worker (see :mod:`.workers`), and the job goes
to a spreadsheet engine (see :mod:`.libreoffice`).
"""

from __future__ import annotations

import logging
from collections.abc import Mapping
from typing import Any

from ..jobs import JobContext, JobError
from . import libreoffice
from . import workbook as wb

ERROR = "SpreadsheetEvaluatorError"

logger = logging.getLogger("ondrel.spreadsheet")

# The layouts of the workbooks evaluated lately, by hash.
_layouts = wb.Recent(32)


def evaluate_spreadsheet(body: Mapping[str, Any], job: JobContext) -> dict:
    """Evaluate the uploaded workbook with the body's inputs; see the module docstring."""
    if not isinstance(body, Mapping):
        raise JobError(ERROR, f"The request body must be a mapping, not {type(body).__name__}")
    inputs = body.get("input", {})
    if inputs is None:
        inputs = {}
    if not isinstance(inputs, Mapping):
        raise JobError(ERROR, f"'input' must map input names to values, not be a {type(inputs).__name__}")
    include_filled_file = bool(body.get("include_filled_file", False))
    upload_url = body.get("result_upload_url")
    if include_filled_file and not isinstance(upload_url, str):
        raise JobError(ERROR, "'include_filled_file' is set but the body has no 'result_upload_url'")
    values = [(_input_name(name), _input_value(name, value)) for name, value in inputs.items()]

    data = wb.download(body, job, "the spreadsheet to evaluate", ERROR, ERROR)
    wb.check_archive(data, ERROR)
    digest = wb.digest(data)
    found = _layouts.get(digest, lambda: libreoffice.in_worker(job, "evaluate.layout", data))
    input_rows, output_rows = dict(found["inputs"]), dict(found["outputs"])

    writes = []
    for name, value in values:
        row = input_rows.get(name)
        if row is None:
            known = ", ".join(repr(n) for n in input_rows) or "none"
            raise JobError(ERROR, f"The input {name!r} is not on the 'input' sheet (its names: {known}); "
                                  f"add a row with this name in column A or correct the input name")
        if name in found["merged"]:
            raise JobError(ERROR, f"The input {name!r} cannot be used: input {name!r} lies inside a merged "
                                  f"range; write to the range's top-left cell")
        if name in found["arrays"]:
            raise JobError(ERROR, f"The input {name!r} cannot be used: its value cell {found['input_sheet']}!B{row} "
                                  f"lies inside the array formula over {found['arrays'][name]}, {wb.ARRAY_ADVICE}")
        writes.append((found["input_sheet"], row, 2, value))
    reads = tuple((found["output_sheet"], row, 2) for row in output_rows.values())

    work = libreoffice.WorkbookJob(data, digest, tuple(writes), reads, include_filled_file)
    outcome = libreoffice.run(work, job)
    if include_filled_file:
        job.upload(upload_url, body.get("result_upload_fields"), outcome.file)
    answer = dict(zip(output_rows, outcome.values))
    for name in (name for i, name in enumerate(output_rows) if i in outcome.errors):
        logger.warning("The spreadsheet result %r is the error value %s", name, answer[name])
    return {"output": answer}


def _input_name(name: Any) -> str:
    if not isinstance(name, str):
        raise JobError(ERROR, f"The input name {name!r} is not text; the names on the 'input' sheet are text")
    return name


def _input_value(name: str, value: Any) -> Any:
    try:
        return wb.cell_value(value)
    except wb.CellValueError as exc:
        raise JobError(ERROR, f"The input {name!r} cannot be used: {exc}") from None


# In a workbook worker ------------------------------------------------------------------------

def layout(upload: str) -> dict:
    """Where the uploaded workbook's inputs and results are: the sheets' titles, the rows of
    their names, the inputs whose value cell lies inside a merged range, and those whose value
    cell lies inside an array formula over several cells (with its reference)."""
    book = wb.load_upload(upload, ERROR)
    input_sheet = wb.find_sheet(book, "input", ERROR)
    output_sheet = wb.find_sheet(book, "output", ERROR)
    input_rows = wb.name_rows(input_sheet, ERROR)
    output_rows = wb.name_rows(output_sheet, ERROR)
    arrays = wb.array_ranges(input_sheet)
    in_arrays = {name: array for name, row in input_rows.items() if (array := wb.array_of(arrays, row, 2))}
    return {"input_sheet": input_sheet.title, "output_sheet": output_sheet.title,
            "inputs": list(input_rows.items()), "outputs": list(output_rows.items()),
            "merged": [name for name, row in input_rows.items() if wb.in_merged_range(input_sheet, row, 2)],
            "arrays": in_arrays}
