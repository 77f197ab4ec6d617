"""The Excel runner add-on ("excelrunner/v1/jobs/"): run a workbook of any layout.

Writes the input cells as the fill add-on does (named cells, direct cells, ranges, in that
order, with the same checks and value rules), recalculates every formula, reads each output
cell and uploads the filled, recalculated workbook to the result slot. Output cells are
``named_output_cells`` (``[{"name": ...}, ...]``) and ``direct_output_cells``
(``[{"sheet_name": ..., "row": ..., "column": ...}, ...]``); the answer gives each back, as
sent, with its ``value``: a number, text, a boolean, None for an empty cell, an error value as
its text ("#DIV/0!"), a date or time as ISO text.

Every cell is checked before LibreOffice runs. Macros never run (the engines open workbooks
with macros disabled); a body asking for them with ``run_macros`` is refused, see
:data:`MACROS_REFUSED`.
"""

from __future__ import annotations

import logging
from collections.abc import Mapping
from typing import Any

from openpyxl.utils.cell import coordinate_to_tuple

from ..jobs import JobContext, JobError
from . import fill, libreoffice

ERROR = "ExcelRunnerError"

MACROS_REFUSED = (
    "run_macros is not supported by this platform: its LibreOffice Calc could run VBA macros only "
    "in a compatibility mode that cannot be checked here (it writes no VBA project into an .xlsm, "
    "so no macro workbook can be tested), and macros it would run wrongly would give wrong results "
    "silently; run the workbook without run_macros (every formula is recalculated, no macro runs)"
)

logger = logging.getLogger("ondrel.spreadsheet")


def run_excel(body: Mapping[str, Any], job: JobContext) -> dict:
    """Fill the uploaded workbook, recalculate it and read its output cells; see the module docstring."""
    cells = fill.input_cells(body)
    if body.get("run_macros"):
        raise JobError(ERROR, MACROS_REFUSED)
    named_outputs = _list(body, "named_output_cells")
    direct_outputs = _list(body, "direct_output_cells")
    named = [_output_name(record, number) for number, record in enumerate(named_outputs, 1)]
    direct = [_output_address(record, number) for number, record in enumerate(direct_outputs, 1)]
    upload_url = fill.result_slot(body)

    data, digest, found = fill.template_layout(body, job)
    reads = []
    for name in named:
        sheet, coordinate = fill.named_place(found, name)
        reads.append((sheet, *coordinate_to_tuple(coordinate)))
    for sheet_name, column, row in direct:
        reads.append((fill.sheet_of(found, sheet_name), row, column))
    writes = fill.input_writes(found, cells)
    work = libreoffice.WorkbookJob(data, digest, writes, tuple(reads), True, "workbook.xlsx")
    outcome = libreoffice.run(work, job)
    job.upload(upload_url, body.get("result_upload_fields"), outcome.file)

    records = [{"name": record["name"]} for record in named_outputs]
    records += [{key: record[key] for key in ("sheet_name", "row", "column")} for record in direct_outputs]
    for index, (record, value) in enumerate(zip(records, outcome.values)):
        record["value"] = value
        if index in outcome.errors:
            logger.warning("The output cell %s is the error value %s", _describe(record), value)
    return {"named_output_cells": records[:len(named)], "direct_output_cells": records[len(named):],
            "result_download_url": body.get("result_download_url")}


def _list(body: Mapping[str, Any], key: str) -> list:
    value = body.get(key)
    if value is None:
        return []
    if not isinstance(value, list):
        raise JobError(fill.INVALID_INPUT, f"'{key}' must be a list of cells, not {type(value).__name__}")
    return value


def _output_name(record: Any, number: int) -> str:
    if not isinstance(record, Mapping) or "name" not in record:
        raise JobError(fill.INVALID_INPUT, f"Named output cell {number} must hold 'name'")
    name = record["name"]
    if not isinstance(name, str):
        raise JobError(fill.TEMPLATER_ERROR, f"The name {name!r} of named output cell {number} is not text; "
                                             f"give the defined name of the workbook as text")
    return name


def _output_address(record: Any, number: int) -> tuple[str, int, int]:
    if not isinstance(record, Mapping) or not {"sheet_name", "row", "column"} <= record.keys():
        raise JobError(fill.INVALID_INPUT, f"Direct output cell {number} must hold 'sheet_name', 'row' and 'column'")
    sheet_name = record["sheet_name"]
    column, row = fill.cell_address(record["column"], record["row"], f"direct output cell {number} on sheet "
                                                                f"{sheet_name!r}")
    if not isinstance(sheet_name, str):
        raise JobError(fill.TEMPLATER_ERROR, f"The sheet name {sheet_name!r} of direct output cell {number} "
                                             f"is not text")
    return sheet_name, column, row


def _describe(record: Mapping[str, Any]) -> str:
    if "name" in record:
        return repr(record["name"])
    return f"{record['sheet_name']}!{record['column']}{record['row']}"

