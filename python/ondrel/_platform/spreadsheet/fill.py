"""The fill add-on ("fillspreadsheet/v2/jobs/"): fill a workbook template.

Puts ``named_cells`` into the cells of the workbook's defined names, ``direct_cells`` into
(sheet, column, row) and ``cell_ranges`` as blocks from their top-left cell, in that order;
keeps formulas, styles and defined names; recalculates; uploads the result to the result
slot. Text is always written as text, never as a formula; two direct cells at one address
are refused.

The cells are checked here, before the template is read; reading and writing the template
(:func:`layout`) runs in a workbook worker (see :mod:`.workers`). The Excel runner
(:mod:`.excel`) takes the same steps: :func:`input_cells`, :func:`template_layout`,
:func:`input_writes`.
"""

from __future__ import annotations

import re
from collections.abc import Mapping
from typing import Any

from openpyxl.utils.cell import column_index_from_string, coordinate_to_tuple, get_column_letter

from ..jobs import JobContext, JobError
from . import libreoffice
from . import workbook as wb

TEMPLATER_ERROR = "SpreadsheetTemplaterError"
INVALID_INPUT = "InvalidInputError"
TYPE_ERROR = "TypeError"

_COLUMN = re.compile(r"[A-Za-z]{1,3}")
_SINGLE_CELL = re.compile(r"\$?([A-Za-z]{1,3})\$?([0-9]+)")

# The layouts of the templates filled lately, by hash.
_layouts = wb.Recent(32)


def fill_spreadsheet(body: Mapping[str, Any], job: JobContext) -> dict:
    """Fill the uploaded template with the body's cells; see the module docstring."""
    cells = input_cells(body)
    upload_url = result_slot(body)
    data, digest, found = template_layout(body, job)
    work = libreoffice.WorkbookJob(data, digest, input_writes(found, cells), (), True, "template.xlsx")
    job.upload(upload_url, body.get("result_upload_fields"), libreoffice.run(work, job).file)
    return {"result_download_url": body.get("result_download_url")}


def input_cells(body: Any) -> tuple[list, list, list]:
    """The body's named cells, direct cells and ranges, each checked (address, value); nothing
    about the template is known yet."""
    if not isinstance(body, Mapping):
        raise JobError(INVALID_INPUT, f"The request body must be a mapping, not {type(body).__name__}")
    named_cells = _section(body, "named_cells", Mapping, "a mapping of names to {'value': ...}")
    direct_cells = _section(body, "direct_cells", list, "a list of cells")
    cell_ranges = _section(body, "cell_ranges", list, "a list of ranges")
    named = [_named_entry(name, entry) for name, entry in named_cells.items()]
    direct = _direct_entries(direct_cells)
    ranges = [_range_entry(block, index + 1) for index, block in enumerate(cell_ranges)]
    return named, direct, ranges


def result_slot(body: Mapping[str, Any]) -> str:
    """The upload URL of the slot for the filled workbook."""
    upload_url = body.get("result_upload_url")
    if not isinstance(upload_url, str):
        raise JobError(INVALID_INPUT, "The request body has no 'result_upload_url' for the filled workbook")
    return upload_url


def template_layout(body: Mapping[str, Any], job: JobContext) -> tuple[bytes, str, dict]:
    """The uploaded template's bytes, their hash and its layout (see :func:`layout`)."""
    data = wb.download(body, job, "the template", INVALID_INPUT, TEMPLATER_ERROR)
    wb.check_archive(data, TEMPLATER_ERROR)
    digest = wb.digest(data)
    return data, digest, _layouts.get(digest, lambda: libreoffice.in_worker(job, "fill.layout", data))


def input_writes(found: dict, cells: tuple[list, list, list]) -> tuple[tuple[str, int, int, Any], ...]:
    """The (sheet, row, column, value) writes of the cells read by :func:`input_cells`, in order:
    named cells, direct cells, ranges; an unknown name or sheet is refused."""
    named, direct, ranges = cells
    cell_writes: list[tuple[str, int, int, Any]] = []
    for name, value in named:
        sheet, coordinate = named_place(found, name)
        _put(found, cell_writes, sheet, coordinate, value, f"the named cell {name!r} ({sheet}!{coordinate})")
    for sheet_name, column, row, value, where in direct:
        _put(found, cell_writes, sheet_of(found, sheet_name), f"{get_column_letter(column)}{row}", value, where)
    for number, (sheet_name, left, top, rows) in enumerate(ranges, 1):
        sheet = sheet_of(found, sheet_name)
        for i, values in enumerate(rows):
            for j, value in enumerate(values):
                coordinate = f"{get_column_letter(left + j)}{top + i}"
                _put(found, cell_writes, sheet, coordinate, value,
                     f"cell {sheet}!{coordinate} of cell range {number}")
    return tuple(cell_writes)


def named_place(found: dict, name: str) -> tuple[str, str]:
    place = found["names"].get(name)
    if place is None:
        raise JobError(TEMPLATER_ERROR, f"The template has no defined name {name!r} (its names: {found['listing']})")
    if place[0] is None:
        raise JobError(TEMPLATER_ERROR, place[1])
    return place[0], place[1]


def sheet_of(found: dict, title: str) -> str:
    if title in found["chart_sheets"]:
        raise JobError(TEMPLATER_ERROR, f"The template's sheet {title!r} is a chart sheet, which holds no cells")
    if title in found["sheets"]:
        return title
    present = ", ".join(repr(name) for name in found["sheets"])
    raise JobError(TEMPLATER_ERROR, f"The template has no sheet named {title!r} (its sheets: {present})")


def _put(found: dict, writes: list, sheet: str, coordinate: str, value: Any, where: str) -> None:
    row, column = coordinate_to_tuple(coordinate)
    for top, left, bottom, right in found["merged"].get(sheet, ()):
        if top <= row <= bottom and left <= column <= right and (row, column) != (top, left):
            raise JobError(INVALID_INPUT, f"Cannot fill {where}: {where} lies inside a merged range; write to "
                                          f"the range's top-left cell")
    array = wb.array_of(found["arrays"].get(sheet, ()), row, column)
    if array is not None:
        raise JobError(INVALID_INPUT, f"Cannot fill {where}: it lies inside the array formula over {sheet}!{array}, "
                                      f"{wb.ARRAY_ADVICE}")
    writes.append((sheet, row, column, value))


def _named_entry(name: Any, entry: Any) -> list:
    if not isinstance(entry, Mapping) or "value" not in entry:
        raise JobError(INVALID_INPUT, f"The named cell {name!r} must be given as {{'value': ...}}")
    if not isinstance(name, str):
        raise JobError(TEMPLATER_ERROR, f"The name {name!r} of a named cell is not text; give the defined name "
                                        f"of the template as text")
    return [name, _value(entry["value"], f"the named cell {name!r}")]


def _direct_entries(cells: list) -> list:
    """[sheet name, column index, row, value, cell name] of each direct cell; one address twice is refused."""
    entries, seen = [], set()
    for index, cell in enumerate(cells):
        if not isinstance(cell, Mapping) or not {"sheet_name", "column", "row", "value"} <= cell.keys():
            raise JobError(INVALID_INPUT, f"Direct cell {index + 1} must hold 'sheet_name', 'row', 'column' and 'value'")
        sheet_name = cell["sheet_name"]
        column, row = cell_address(cell["column"], cell["row"], f"direct cell {index + 1} on sheet {sheet_name!r}")
        if not isinstance(sheet_name, str):
            raise JobError(TEMPLATER_ERROR, f"The sheet name {sheet_name!r} of direct cell {index + 1} is not text")
        if (sheet_name, column, row) in seen:
            address = (sheet_name, row, cell["column"])
            raise JobError(INVALID_INPUT, f"There are two equal direct cell addresses for address: {address}")
        seen.add((sheet_name, column, row))
        where = f"cell {sheet_name}!{cell['column']}{row}"
        entries.append([sheet_name, column, row, _value(cell["value"], where), where])
    return entries


def _range_entry(block: Any, number: int) -> list:
    """[sheet name, left column index, top row, rows of values] of a cell range."""
    if not isinstance(block, Mapping) or not isinstance(block.get("top_left_cell"), Mapping) or "data" not in block:
        raise JobError(INVALID_INPUT, f"Cell range {number} must hold 'top_left_cell' and 'data'")
    corner = block["top_left_cell"]
    if not {"sheet_name", "column", "row"} <= corner.keys():
        raise JobError(INVALID_INPUT, f"The top-left cell of cell range {number} must hold 'column', 'row' "
                                      f"and 'sheet_name'")
    sheet_name = corner["sheet_name"]
    where = f"cell range {number} on sheet {sheet_name!r}"
    left, top = cell_address(corner["column"], corner["row"], where)
    data = block["data"]
    if not isinstance(data, list) or not data or not all(isinstance(row, list) for row in data):
        raise JobError(INVALID_INPUT, f"The data of {where} must be a non-empty list of rows, each a list")
    width = len(data[0])
    if width == 0 or any(len(row) != width for row in data):
        raise JobError(INVALID_INPUT, f"The data of {where} must be rectangular and non-empty")
    if top + len(data) - 1 > wb.MAX_ROW or left + width - 1 > wb.MAX_COLUMN:
        raise JobError(INVALID_INPUT, f"The data of {where} runs past the last row or column of a sheet")
    if not isinstance(sheet_name, str):
        raise JobError(TEMPLATER_ERROR, f"The sheet name {sheet_name!r} of cell range {number} is not text")
    rows = [[_value(value, f"cell {sheet_name}!{get_column_letter(left + j)}{top + i} of cell range {number}")
             for j, value in enumerate(row)] for i, row in enumerate(data)]
    return [sheet_name, left, top, rows]


def _value(value: Any, where: str) -> Any:
    try:
        return wb.cell_value(value)
    except wb.CellValueError as exc:
        error_type = TYPE_ERROR if exc.kind == "type" else INVALID_INPUT
        raise JobError(error_type, f"Cannot fill {where}: {exc}") from None


# In a workbook worker ------------------------------------------------------------------------

def layout(upload: str) -> dict:
    """What filling the uploaded template needs to know: its sheets (and which are chart sheets),
    where each defined name points (or why it cannot be filled), its merged ranges as [top, left,
    bottom, right] and its array formulas over several cells (see :func:`.workbook.array_ranges`)."""
    book = wb.load_upload(upload, TEMPLATER_ERROR)
    names: dict[str, list] = {}
    for name in {*book.defined_names, *(n for sheet in book.worksheets for n in sheet.defined_names)}:
        try:
            sheet, coordinate = _named_cell(book, name)
            names[name] = [sheet.title, coordinate]
        except JobError as exc:
            names[name] = [None, exc.message]
    known = sorted(book.defined_names) + sorted({n for s in book.worksheets for n in s.defined_names})
    merged = {sheet.title: [[r.min_row, r.min_col, r.max_row, r.max_col] for r in sheet.merged_cells.ranges]
              for sheet in book.worksheets if sheet.merged_cells.ranges}
    arrays = {sheet.title: ranges for sheet in book.worksheets if (ranges := wb.array_ranges(sheet))}
    return {"sheets": book.sheetnames, "chart_sheets": [sheet.title for sheet in book.chartsheets], "names": names,
            "listing": ", ".join(repr(n) for n in known) or "none", "merged": merged, "arrays": arrays}


def _section(body: Mapping[str, Any], key: str, kind: type, description: str):
    value = body.get(key)
    if value is None:
        return {} if kind is Mapping else []
    if not isinstance(value, kind):
        raise JobError(INVALID_INPUT, f"'{key}' must be {description}, not {type(value).__name__}")
    return value


def cell_address(column: Any, row: Any, where: str) -> tuple[int, int]:
    """Column letters and row number checked and turned into 1-based indexes."""
    if not isinstance(column, str) or not _COLUMN.fullmatch(column) \
            or column_index_from_string(column.upper()) > wb.MAX_COLUMN:
        raise JobError(INVALID_INPUT, f"Invalid column {column!r} for {where}: give column letters "
                                      f"from 'A' to 'XFD', such as 'B'")
    if isinstance(row, bool) or not isinstance(row, int) or not 1 <= row <= wb.MAX_ROW:
        raise JobError(INVALID_INPUT, f"Invalid row {row!r} for {where}: give a whole number from 1 "
                                      f"(the first row) to {wb.MAX_ROW}")
    return column_index_from_string(column.upper()), row


def _named_cell(book, name: Any) -> tuple[Any, str]:
    """The sheet and cell coordinate of a defined name (workbook-wide, else sheet-scoped)."""
    definition = book.defined_names.get(name) if isinstance(name, str) else None
    if definition is None and isinstance(name, str):
        scoped = [sheet.defined_names[name] for sheet in book.worksheets if name in sheet.defined_names]
        if len(scoped) > 1:
            raise JobError(TEMPLATER_ERROR, f"The name {name!r} is defined on several sheets of the template; "
                                            f"make it a workbook-wide name")
        definition = scoped[0] if scoped else None
    if definition is None:
        known = sorted(book.defined_names) + sorted({n for s in book.worksheets for n in s.defined_names})
        listing = ", ".join(repr(n) for n in known) or "none"
        raise JobError(TEMPLATER_ERROR, f"The template has no defined name {name!r} (its names: {listing})")
    destinations = list(definition.destinations)
    if len(destinations) != 1:
        raise JobError(TEMPLATER_ERROR, f"The name {name!r} does not refer to one cell "
                                        f"({definition.attr_text!r}); point it at a single cell")
    quoted_title, reference = destinations[0]
    sheet_title = quoted_title.replace("''", "'")  # openpyxl leaves a quoted title's apostrophes doubled
    match = _SINGLE_CELL.fullmatch(reference)
    if sheet_title not in [sheet.title for sheet in book.worksheets] or match is None:
        raise JobError(TEMPLATER_ERROR, f"The name {name!r} does not refer to one cell of the template "
                                        f"({definition.attr_text!r}); point it at a single cell")
    return book[sheet_title], f"{match.group(1).upper()}{match.group(2)}"
