"""The evaluate add-on ("evaluatespreadsheet/v3/jobs/").

Workbook convention: a sheet "input" holds a parameter name in column A and its value in
column B on each row; a sheet "output" holds a result name in column A and its value or
formula in column B. A first row of headers (column A reading "Name", "Parameter", ...) is
allowed on both. The job writes each input into the row of its name, recalculates every
formula and answers ``{"output": {name: value, ...}}`` in the order of the output sheet.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any


from ..jobs import JobContext, JobError
from . import workbook as wb
from .libreoffice import recalculated

ERROR = "SpreadsheetEvaluatorError"


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

    data = wb.download(body, job, "the spreadsheet to evaluate", ERROR, ERROR)
    book = wb.load(data, ERROR)
    input_sheet = wb.find_sheet(book, "input", ERROR)
    output_sheet = wb.find_sheet(book, "output", ERROR)
    input_rows = wb.name_rows(input_sheet, ERROR)
    output_rows = wb.name_rows(output_sheet, ERROR)

    for name, value in inputs.items():
        row = input_rows.get(name)
        if row is None:
            known = ", ".join(repr(n) for n in input_rows) or "none"
            raise JobError(ERROR, f"The input {name!r} is not on the 'input' sheet (its names: {known}); "
                                  f"add a row with this name in column A or correct the input name")
        try:
            wb.write(input_sheet.cell(row=row, column=2), value, f"input {name!r}")
        except wb.CellValueError as exc:
            raise JobError(ERROR, f"The input {name!r} cannot be used: {exc}") from None
    wb.force_full_calculation(book)

    with recalculated(book, job, "workbook.xlsx") as result_path:
        values_book = wb.load_path(result_path, data_only=True)
        try:
            sheet = values_book[output_sheet.title]
            output = {name: wb.result_value(sheet.cell(row=row, column=2)) for name, row in output_rows.items()}
        finally:
            values_book.close()
        if include_filled_file:
            upload_url = body.get("result_upload_url")
            fields = body.get("result_upload_fields")
            if not isinstance(upload_url, str):
                raise JobError(ERROR, "'include_filled_file' is set but the body has no 'result_upload_url'")
            with open(result_path, "rb") as stream:
                job.upload(upload_url, fields, stream.read())
    return {"output": output}
