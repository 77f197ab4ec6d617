"""Workbook helpers shared by the spreadsheet add-ons (openpyxl 3.1)."""

from __future__ import annotations

import collections
import contextlib
import datetime
import hashlib
import io
import math
import threading
import warnings
from collections.abc import Callable, Iterator, Mapping
from typing import Any

import openpyxl
from openpyxl.cell.cell import MergedCell
from openpyxl.cell.cell import ILLEGAL_CHARACTERS_RE
from openpyxl.utils.exceptions import IllegalCharacterError
from openpyxl.workbook.properties import CalcProperties

from ondrel.errors import StorageError

from ..jobs import JobContext, JobError

MAX_ROW = 1_048_576
MAX_COLUMN = 16_384  # XFD

# Words that mark a first row of column headers on the "input" and "output" sheets.
HEADER_WORDS = frozenset({
    "name", "names", "parameter", "parameters", "input", "inputs", "output", "outputs",
    "result", "results", "quantity", "variable",
})


class CellValueError(Exception):
    """A value cannot be written into a cell; ``kind`` is "type" or "value"."""

    def __init__(self, kind: str, message: str) -> None:
        super().__init__(message)
        self.kind = kind


@contextlib.contextmanager
def _quiet() -> Iterator[None]:
    """Silence openpyxl's warnings about workbook features it does not read."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", category=UserWarning, module=r"openpyxl(\.|$)")
        yield


def load(data: bytes, error_type: str, *, data_only: bool = False) -> openpyxl.Workbook:
    """Open workbook bytes, or report ``error_type`` saying the file is not a readable .xlsx."""
    if not data:
        raise JobError(error_type, "The uploaded spreadsheet is empty; upload an .xlsx workbook")
    if not data.startswith(b"PK"):
        raise JobError(error_type, "The uploaded spreadsheet is not a readable .xlsx workbook "
                                   "(it is not an Office Open XML file; save it as .xlsx and try again)")
    try:
        with _quiet():
            return openpyxl.load_workbook(io.BytesIO(data), data_only=data_only)
    except Exception as exc:
        raise JobError(error_type, f"The uploaded spreadsheet is not a readable .xlsx workbook "
                                   f"({type(exc).__name__}: {exc}); save it as .xlsx and try again") from None


def load_path(path: str, *, data_only: bool) -> openpyxl.Workbook:
    with _quiet():
        return openpyxl.load_workbook(path, data_only=data_only)


def force_full_calculation(workbook: openpyxl.Workbook) -> None:
    if workbook.calculation is None:
        workbook.calculation = CalcProperties()
    workbook.calculation.fullCalcOnLoad = True


def save(workbook: openpyxl.Workbook, path: str) -> None:
    workbook.save(path)


def check_value(value: Any) -> None:
    """Raise :class:`CellValueError` unless a cell can hold ``value``."""
    if value is None or isinstance(value, (bool, int, str)):
        return
    if isinstance(value, float):
        if not math.isfinite(value):
            raise CellValueError("value", f"{value!r} is not a finite number, which a spreadsheet cell cannot hold")
        return
    raise CellValueError("type", f"a value of type {type(value).__name__} ({_short_repr(value)}) cannot be "
                                 f"put into a spreadsheet cell; use a number, text, a boolean or None")


def cell_value(value: Any, where: str) -> Any:
    """``value`` checked for a cell (see :func:`check_value`), and for text a cell can carry."""
    check_value(value)
    if isinstance(value, str) and ILLEGAL_CHARACTERS_RE.search(value):
        raise CellValueError("value", f"the text for {where} holds control characters, which a spreadsheet "
                                      f"cell cannot hold")
    return value


def in_merged_range(sheet, row: int, column: int) -> bool:
    """Whether the cell lies inside a merged range of ``sheet`` other than at its top-left."""
    return any(merged.min_row <= row <= merged.max_row and merged.min_col <= column <= merged.max_col
               and (row, column) != (merged.min_row, merged.min_col) for merged in sheet.merged_cells.ranges)


def write(cell, value: Any, where: str) -> None:
    """Write ``value`` into ``cell`` (text always as text, never as a formula)."""
    check_value(value)
    if isinstance(cell, MergedCell):
        raise CellValueError("address", f"{where} lies inside a merged range; write to the range's top-left cell")
    try:
        cell.value = value
    except IllegalCharacterError:
        raise CellValueError("value", f"the text for {where} holds control characters, which a spreadsheet "
                                      f"cell cannot hold") from None
    if isinstance(value, str) and value.startswith("="):
        cell.data_type = "s"


def result_value(cell) -> Any:
    """A cached cell value as the answer gives it: numbers, text, booleans, None; errors
    as their text ("#DIV/0!"); dates and times as ISO text."""
    return result_of(cell.value, cell.number_format)


def result_of(value: Any, number_format: str) -> Any:
    """A cell value read with its number format, as the answer gives it (see :func:`result_value`)."""
    if isinstance(value, datetime.datetime):
        if value.time() == datetime.time(0) and not _format_shows_time(number_format):
            return value.date().isoformat()
        return value.isoformat()
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, datetime.timedelta):
        return _duration_text(value)
    return value


def _format_shows_time(number_format: str) -> bool:
    text = (number_format or "").lower()
    return "h" in text or "s" in text or "am/pm" in text


def _duration_text(value: datetime.timedelta) -> str:
    seconds = value.total_seconds()
    sign = "-" if seconds < 0 else ""
    seconds = abs(seconds)
    hours, rest = divmod(seconds, 3600)
    minutes, seconds = divmod(rest, 60)
    return f"{sign}{int(hours):02d}:{int(minutes):02d}:{seconds:06.3f}".rstrip("0").rstrip(".")


def _short_repr(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def find_sheet(workbook: openpyxl.Workbook, title: str, error_type: str):
    """The worksheet named ``title`` (exact, else the one case-insensitive match)."""
    if title in workbook.sheetnames:
        return workbook[title]
    matches = [name for name in workbook.sheetnames if name.lower() == title.lower()]
    if len(matches) == 1:
        return workbook[matches[0]]
    present = ", ".join(repr(name) for name in workbook.sheetnames)
    raise JobError(error_type, f"The workbook has no worksheet named {title!r} (its sheets: {present}); "
                               f"add one as described in the workbook convention")


def name_rows(sheet, error_type: str) -> dict[str, int]:
    """Names in column A of ``sheet`` mapped to their rows, in sheet order.

    Empty rows are skipped; a first row whose column A holds a header word (such as "Name"
    or "Parameter") is a header. A name found twice is an error.
    """
    rows: dict[str, int] = {}
    for row, raw in _column_a(sheet):
        name = raw.strip() if isinstance(raw, str) else str(raw)
        if not name:
            continue
        if row == 1 and name.lower() in HEADER_WORDS:
            continue
        if name in rows:
            raise JobError(error_type, f"The {sheet.title!r} sheet has the name {name!r} twice (rows {rows[name]} "
                                       f"and {row}); each name must appear once")
        rows[name] = row
    return rows


def _column_a(sheet) -> Iterator[tuple[int, Any]]:
    for (cell,) in sheet.iter_rows(min_col=1, max_col=1):
        if cell.value is not None:
            yield cell.row, cell.value


def digest(data: bytes) -> str:
    """The hash by which a workbook's bytes are known."""
    return hashlib.sha256(data).hexdigest()


class Recent:
    """What was made from the latest few workbooks, by digest (thread-safe)."""

    def __init__(self, count: int) -> None:
        self._count = count
        self._lock = threading.Lock()
        self._items: collections.OrderedDict[str, Any] = collections.OrderedDict()

    def get(self, key: str, make: Callable[[], Any]) -> Any:
        """The item kept for ``key``, else ``make()`` kept (an item made twice at once is fine)."""
        with self._lock:
            if key in self._items:
                self._items.move_to_end(key)
                return self._items[key]
        item = make()
        with self._lock:
            self._items[key] = item
            while len(self._items) > self._count:
                self._items.popitem(last=False)
        return item


def download(body: Mapping[str, Any], job: JobContext, what: str, missing_error: str, fetch_error: str) -> bytes:
    """The workbook the body's 'download_url' names; `what` names it in the messages."""
    url = body.get("download_url")
    if not isinstance(url, str):
        raise JobError(missing_error, f"The request body has no 'download_url' of {what}")
    try:
        return job.fetch(url)
    except StorageError as exc:
        raise JobError(fetch_error, f"{what[0].upper()}{what[1:]} cannot be downloaded: {exc}") from None
