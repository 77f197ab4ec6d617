"""The Excel runner: run an engineer's own workbook, of any layout, and read its results.

:class:`Excel` writes input cells (the named cells, direct cells and ranges of
:mod:`ondrel.external.spreadsheet`) into an .xlsx or .xlsm workbook, recalculates every formula
with LibreOffice Calc and sets the ``result`` of each output cell (``NamedOutputCell``,
``DirectOutputCell``) to the value computed there. It runs as an add-on job of the platform,
like the evaluate and fill jobs, and follows their value rules and errors.
"""

from __future__ import annotations

import math
from collections.abc import Iterable
from typing import Any, BinaryIO

from ondrel._platform import get_platform
from ondrel.core import File, _post_on_addon_endpoint
from ondrel.errors import SpreadsheetError
from ondrel.external import spreadsheet

__all__ = ["Excel"]

RUN_EXCEL = "excelrunner/v1/jobs/"

# Every error the add-on reports reaches the caller as a SpreadsheetError.
_ERROR_MAPPING = {name: SpreadsheetError for name in
                  ("TypeError", "InvalidInputError", "SpreadsheetTemplaterError", "ExcelRunnerError")}


class Excel:
    """A workbook run with input cells, whose output cells receive the recalculated values.

    Usage::

        output_cell = DirectOutputCell('Sheet1', 'G', 3)
        excel = Excel(template, input_cells=[NamedInputCell('span', 6.0)],
                      direct_output_cells=[output_cell])
        excel.execute()
        result = output_cell.result
        excel.filled_file.save('filled.xlsx')

    :param template: the workbook (.xlsx or .xlsm), as a :class:`~ondrel.core.File` or a binary
        stream (read whole, from its start).
    :param input_cells: ``NamedInputCell``, ``DirectInputCell`` and ``InputCellRange`` objects;
        named cells are written first, then direct cells, then ranges.
    :param output_cells: ``NamedOutputCell`` objects, read by the workbook's defined names.
    :param direct_output_cells: ``DirectOutputCell`` objects, read by sheet, column and row.
    :param run_macros: run the workbook's macros. Off by default, and refused on this platform
        (see docs/spreadsheets.md): a workbook's macros are code that can do anything the
        spreadsheet program can, such as reading or writing files, so turn this on only for
        workbooks you trust.
    """

    def __init__(self, template: File | BinaryIO, input_cells: Iterable[Any] | None = None,
                 output_cells: Iterable[Any] | None = None, direct_output_cells: Iterable[Any] | None = None,
                 *, run_macros: bool = False) -> None:
        if not isinstance(template, File) and not callable(getattr(template, "read", None)):
            raise TypeError(f"The template must be a File or a binary stream, such as open(path, 'rb') or "
                            f"io.BytesIO(data), not {type(template).__name__}")
        if not isinstance(run_macros, bool):
            raise TypeError(f"run_macros must be True or False, not {run_macros!r}")
        self._template = template
        self._input_cells = list(input_cells or ())
        self._output_cells = list(output_cells or ())
        self._direct_output_cells = list(direct_output_cells or ())
        self._run_macros = run_macros
        self._filled_file: File | None = None

    @property
    def filled_file(self) -> File:
        """The filled, recalculated workbook of the last successful :meth:`execute` (.xlsx,
        formulas kept, no macros)."""
        if self._filled_file is None:
            raise RuntimeError("No filled workbook yet: call execute() first (a failed execute() keeps none)")
        return self._filled_file

    def execute(self, timeout: float | None = 60) -> None:
        """Fill the workbook, recalculate it and set the ``result`` of every output cell.

        Every cell is checked before the workbook is uploaded or LibreOffice runs; when
        anything fails, no output cell is set.

        :param timeout: the longest time the job may run, in seconds (``None``: no limit).
        :raises ondrel.errors.SpreadsheetError: a cell or value that cannot be used (the message
            names it), an output cell that already holds a result, an output cell that is empty
            after recalculation, or an error reported by the job.
        """
        if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, (int, float))
                                    or not (timeout > 0 and math.isfinite(timeout))):
            raise ValueError(f"timeout must be a positive number of seconds, not {timeout!r}")
        named = _outputs(self._output_cells, spreadsheet.NamedOutputCell, "output_cells")
        direct = _outputs(self._direct_output_cells, spreadsheet.DirectOutputCell, "direct_output_cells")
        # The fill job's body, by the fill job's own code: the same checks of the input cells
        # (before anything is uploaded), the upload and the slot for the filled workbook.
        if isinstance(self._template, File):
            with self._template.open_binary() as stream:
                body = spreadsheet._create_fill_spreadsheet_request_body(stream, self._input_cells)
        else:
            body = spreadsheet._create_fill_spreadsheet_request_body(self._template, self._input_cells)
        body["named_output_cells"] = [cell.serialize() for cell in named]
        body["direct_output_cells"] = [cell.serialize() for cell in direct]
        body["run_macros"] = self._run_macros
        try:
            answer = _post_on_addon_endpoint(RUN_EXCEL, body, timeout=timeout, error_mapping=_ERROR_MAPPING)
            results = [(cell, _value_for(cell, answer["named_output_cells"])) for cell in named]
            results += [(cell, _value_for(cell, answer["direct_output_cells"])) for cell in direct]
            filled = File.from_url(body["result_download_url"]).copy()
        finally:  # the slot of the filled workbook is this run's alone: kept as a copy, or not at all
            get_platform().storage.remove(body["result_download_url"])
        for cell, value in results:
            cell.result = value
        self._filled_file = filled


def _outputs(cells: list, kind: type, what: str) -> list:
    """The output cells, each of ``kind``, given once and not yet holding a result."""
    seen: set[int] = set()
    for cell in cells:
        if not isinstance(cell, kind):
            raise ValueError(f"{what} takes {kind.__name__} objects, not {cell!r}")
        if id(cell) in seen:
            raise SpreadsheetError(f"The output cell {cell!r} is given twice; a result is set once")
        seen.add(id(cell))
        try:
            cell.result
        except RuntimeError:
            continue
        raise SpreadsheetError(f"The output cell {cell!r} already holds a result ({cell.result!r}); a result is "
                               f"set once, so give a new output cell")
    return cells


def _value_for(cell: Any, records: list) -> Any:
    """The value of the answer's record that ``cell`` equals; an empty cell is refused."""
    record = next((record for record in records if cell.equals(record)), None)
    if record is None:
        raise SpreadsheetError(f"The job gave no result for the output cell {cell!r}")
    if record["value"] is None:
        raise SpreadsheetError(f"The output cell {cell!r} is empty after recalculation; an output cell's result "
                               f"cannot be None, so point it at a cell that holds a value or a formula giving "
                               f"one")
    return record["value"]

