"""The evaluate add-on ("evaluatespreadsheet/v3/jobs/").

Workbook convention: a sheet "input" holds a parameter name in column A and its value in
column B on each row; a sheet "output" holds a result name in column A and its value or
formula in column B. A first row of headers (column A reading "Name", "Parameter", ...) is
allowed on both. The job writes each input into the row of its name, recalculates every
formula and answers ``{"output": {name: value, ...}}`` in the order of the output sheet.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from ..jobs import JobContext, JobError
from . import libreoffice
from . import workbook as wb

ERROR = "SpreadsheetEvaluatorError"


@dataclass(frozen=True)
class _Layout:
    """Where a workbook's inputs and results are: sheet titles and the rows of the names."""

    input_title: str
    output_title: str
    input_rows: dict[str, int]
    output_rows: dict[str, int]
    merged_inputs: frozenset[str]  # names whose value cell lies inside a merged range


_layouts = wb.Recent(16)


def _layout(data: bytes) -> _Layout:
    book = wb.load(data, ERROR)
    input_sheet = wb.find_sheet(book, "input", ERROR)
    output_sheet = wb.find_sheet(book, "output", ERROR)
    input_rows = wb.name_rows(input_sheet, ERROR)
    return _Layout(input_sheet.title, output_sheet.title, input_rows, wb.name_rows(output_sheet, ERROR),
                   frozenset(name for name, row in input_rows.items() if wb.in_merged_range(input_sheet, row, 2)))


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

    data = wb.download(body, job, "the spreadsheet to evaluate", ERROR, ERROR)
    digest = wb.digest(data)
    layout = _layouts.get(digest, lambda: _layout(data))

    writes = []
    for name, value in inputs.items():
        row = layout.input_rows.get(name)
        if row is None:
            known = ", ".join(repr(n) for n in layout.input_rows) or "none"
            raise JobError(ERROR, f"The input {name!r} is not on the 'input' sheet (its names: {known}); "
                                  f"add a row with this name in column A or correct the input name")
        where = f"input {name!r}"
        if name in layout.merged_inputs:
            raise JobError(ERROR, f"The input {name!r} cannot be used: {where} lies inside a merged range; "
                                  f"write to the range's top-left cell")
        try:
            writes.append((layout.input_title, row, 2, wb.cell_value(value, where)))
        except wb.CellValueError as exc:
            raise JobError(ERROR, f"The input {name!r} cannot be used: {exc}") from None

    reads = tuple((layout.output_title, row, 2) for row in layout.output_rows.values())
    outcome = libreoffice.run(libreoffice.WorkbookJob(data, digest, tuple(writes), reads, include_filled_file), job)
    if include_filled_file:
        job.upload(upload_url, body.get("result_upload_fields"), outcome.file)
    return {"output": dict(zip(layout.output_rows, outcome.values))}
