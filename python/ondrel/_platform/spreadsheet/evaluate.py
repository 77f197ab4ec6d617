"""The evaluate add-on ("evaluatespreadsheet/v3/jobs/").

Workbook convention: a sheet "input" holds a parameter name in column A and its value in
column B on each row; a sheet "output" holds a result name in column A and its value or
formula in column B. A first row of headers (column A reading "Name", "Parameter", ...) is
allowed on both. The job writes each input into the row of its name, recalculates every
formula and answers ``{"output": {name: value, ...}}`` in the order of the output sheet.

The inputs are checked and the upload's zip directory measured here; reading and writing the
workbook (:func:`prepare`, :func:`results`) runs in a workbook worker (see :mod:`.workers`).
"""

from __future__ import annotations

import logging
import os
from collections.abc import Mapping
from typing import Any

from ..jobs import JobContext, JobError
from . import workbook as wb
from . import workers
from .libreoffice import recalculated

ERROR = "SpreadsheetEvaluatorError"

logger = logging.getLogger("ondrel.spreadsheet")


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
    values = [[_input_name(name), _input_value(name, value)] for name, value in inputs.items()]

    data = wb.download(body, job, "the spreadsheet to evaluate", ERROR, ERROR)
    wb.check_archive(data, ERROR)
    layout: dict[str, Any] = {}

    def prepare(folder: str, source: str) -> None:
        upload = os.path.join(folder, "upload.xlsx")
        with open(upload, "wb") as out:
            out.write(data)
        layout.update(workers.call(job, "evaluate.prepare", upload, source, values))
        os.unlink(upload)

    with recalculated(job, "workbook.xlsx", prepare) as result_path:
        answer = workers.call(job, "evaluate.results", result_path, layout["sheet"], layout["outputs"])
        if include_filled_file:
            with open(result_path, "rb") as stream:
                job.upload(upload_url, body.get("result_upload_fields"), stream.read())
    for name in answer["errors"]:
        logger.warning("The spreadsheet result %r is the error value %s", name, answer["values"][name])
    return {"output": answer["values"]}


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

def prepare(upload: str, source: str, values: list) -> dict:
    """Write the inputs into the uploaded workbook and save it at ``source`` for recalculation;
    answer the output sheet's title and its results as [name, row, whether a formula]."""
    book = wb.load_upload(upload, ERROR)
    input_sheet = wb.find_sheet(book, "input", ERROR)
    output_sheet = wb.find_sheet(book, "output", ERROR)
    input_rows = wb.name_rows(input_sheet, ERROR)
    output_rows = wb.name_rows(output_sheet, ERROR)
    for name, value in values:
        row = input_rows.get(name)
        if row is None:
            known = ", ".join(repr(n) for n in input_rows) or "none"
            raise JobError(ERROR, f"The input {name!r} is not on the 'input' sheet (its names: {known}); "
                                  f"add a row with this name in column A or correct the input name")
        try:
            wb.write(input_sheet.cell(row=row, column=2), value, f"input {name!r}")
        except wb.CellValueError as exc:
            raise JobError(ERROR, f"The input {name!r} cannot be used: {exc}") from None
    outputs = [[name, row, output_sheet.cell(row=row, column=2).data_type == "f"]
               for name, row in output_rows.items()]
    wb.force_full_calculation(book)
    wb.save(book, source)
    return {"sheet": output_sheet.title, "outputs": outputs}


def results(path: str, sheet_title: str, outputs: list) -> dict:
    """The results of the recalculated workbook at ``path``, and the names of those that are
    error values."""
    book = wb.load_path(path, data_only=True)
    try:
        sheet = book[sheet_title]
        values, errors = {}, []
        for name, row, formula in outputs:
            cell = sheet.cell(row=row, column=2)
            values[name] = wb.result_value(cell, formula)
            if wb.is_error_value(cell):
                errors.append(name)
    finally:
        book.close()
    return {"values": values, "errors": errors}
