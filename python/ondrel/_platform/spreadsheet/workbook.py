"""Workbook rules shared by the spreadsheet add-ons (openpyxl 3.1): what a cell may hold, how a
workbook is read and written, and the limits of a job.

The value rules (:func:`cell_value`) and the archive check (:func:`check_archive`) are cheap and
run in the caller's process before anything is written; everything that parses a workbook runs
in a worker process that the job's time-out can kill (see :mod:`.workers`).
"""

from __future__ import annotations

import collections
import contextlib
import datetime
import hashlib
import io
import math
import numbers
import os
import posixpath
import re
import threading
import warnings
import zipfile
from collections.abc import Callable, Iterator, Mapping
from typing import Any
from xml.etree import ElementTree

import openpyxl
from openpyxl.cell.cell import MergedCell
from openpyxl.reader.excel import ExcelReader
from openpyxl.styles.numbers import is_date_format, is_timedelta_format
from openpyxl.utils.cell import get_column_letter, range_boundaries
from openpyxl.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH, from_excel
from openpyxl.workbook.properties import CalcProperties

from ondrel.errors import StorageError

from ..jobs import JobContext, JobError

MAX_ROW = 1_048_576
MAX_COLUMN = 16_384  # XFD

# The most characters (UTF-16 code units) a cell of an .xlsx file holds.
MAX_TEXT_LENGTH = 32_767

# The largest magnitude LibreOffice reads back from an .xlsx file: it reads the two doubles above
# it (up to 1.7976931348623157e308, the largest) as infinity.
MAX_NUMBER = 1.7976931348623153e308


class Limits:
    """Bounds on the work one spreadsheet job may cause; change the attributes of :data:`LIMITS`.

    ``max_unzipped_bytes``: the most bytes the parts of an uploaded workbook may unpack to, as
    its zip directory declares them (the unpacking stops there whatever the parts hold).
    Environment variable ``ONDREL_SPREADSHEET_MAX_UNZIPPED_BYTES``; 100,000,000 by default.
    ``max_parts``: the most parts (files in the zip) an uploaded workbook may have; 10,000.
    """

    def __init__(self) -> None:
        self.max_unzipped_bytes = _environment_int("ONDREL_SPREADSHEET_MAX_UNZIPPED_BYTES", 100_000_000)
        self.max_parts = 10_000


def _environment_int(name: str, default: int) -> int:
    text = os.environ.get(name)
    if text is None:
        return default
    try:
        value = int(text.replace("_", ""))
    except ValueError:
        raise ValueError(f"The environment variable {name} must be a whole number of bytes, not {text!r}") from None
    if value <= 0:
        raise ValueError(f"The environment variable {name} must be a positive number of bytes, not {text!r}")
    return value


LIMITS = Limits()

# Words that mark a first row of column headers on the "input" and "output" sheets: in column A,
# or in column B for the values.
HEADER_WORDS = frozenset({
    "name", "names", "parameter", "parameters", "input", "inputs", "output", "outputs",
    "result", "results", "quantity", "variable",
})
VALUE_HEADER_WORDS = frozenset({"value", "values"})

LAYOUT = ("names go down column A as text, each with its value in column B of the same row; "
          "a first row may hold headers such as 'Name' and 'Value'")

# Characters an XML 1.0 document cannot carry, so neither can a cell of an .xlsx file.
_NOT_XML = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")
# Text the format reads as an escaped character (_x000D_ is a carriage return).
_ESCAPE_LIKE = re.compile(r"_(x[0-9A-Fa-f]{4}_)")
_ESCAPED = re.compile(r"_x([0-9A-Fa-f]{4})_")
# How an OLE compound file begins: an .xls workbook, or an encrypted .xlsx one.
_COMPOUND_FILE = b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"
# Rules of a worksheet that openpyxl drops when they are kept in an Excel 2010 extension, by the
# name it warns with.
_EXTENSIONS_KEPT = {"Conditional Formatting": "conditional formats", "Data Validation": "data validation rules",
                    "Sparkline Group": "sparklines"}
# Where a drawing part of an .xlsx file places one drawn object.
_DRAWING_ANCHOR = re.compile(rb"<(?:\w+:)?(?:twoCellAnchor|oneCellAnchor|absoluteAnchor)[\s>/]")


class CellValueError(Exception):
    """A value cannot be written into a cell; ``kind`` is "type", "value" or "address"."""

    def __init__(self, kind: str, message: str) -> None:
        super().__init__(message)
        self.kind = kind


@contextlib.contextmanager
def _quiet() -> Iterator[None]:
    """Silence openpyxl's warnings about workbook features it does not read."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", category=UserWarning, module=r"openpyxl(\.|$)")
        yield


# Values ------------------------------------------------------------------------------------

def cell_value(value: Any) -> None | bool | int | float | str:
    """``value`` as the plain value a cell will hold exactly, or :class:`CellValueError`.

    Numbers of any :class:`numbers.Real` kind (NumPy's too) become the ``int`` or ``float`` they
    equal; one a cell cannot hold exactly (past a double's range, a whole number past 2**53
    that a double rounds, a fraction with no exact double, one past :data:`MAX_NUMBER`) is
    refused, as is text that the file format cannot carry, that LibreOffice would change (a
    carriage return, empty text) or that is longer than a cell holds.
    """
    if value is None or value is True or value is False:
        return value
    if isinstance(value, str):
        check_text(value)
        return str(value)
    if isinstance(value, float):
        number = float(value)
        if not math.isfinite(number):
            raise CellValueError("value", f"{value!r} is not a finite number, which a spreadsheet cell cannot hold")
        return _in_range(number, value)
    if isinstance(value, numbers.Integral):
        return _in_range(_whole_number(value), value)
    if _is_numpy_bool(value):
        return bool(value)
    if isinstance(value, numbers.Real):
        try:
            number = float(value)
        except OverflowError:
            raise CellValueError("value", f"{_short_repr(value)} is too large for a spreadsheet cell, whose "
                                          f"numbers reach about 1.8e308") from None
        if not math.isfinite(number):
            raise CellValueError("value", f"{_short_repr(value)} is not a finite number, which a spreadsheet "
                                          f"cell cannot hold")
        if number != value:
            raise CellValueError("value", f"{_short_repr(value)} has no exact value as a spreadsheet number "
                                          f"(a double); give float(value) to store it rounded")
        return _in_range(number, value)
    raise CellValueError("type", f"a value of type {type(value).__name__} ({_short_repr(value)}) cannot be "
                                 f"put into a spreadsheet cell; use a number, text, a boolean or None")


def _whole_number(value: numbers.Integral) -> int | bool:
    if isinstance(value, bool):
        return bool(value)
    number = int(value)
    try:
        exact = float(number) == number
    except OverflowError:
        raise CellValueError("value", f"{_short_repr(number)} is too large for a spreadsheet cell, whose "
                                      f"numbers reach about 1.8e308") from None
    if not exact:
        raise CellValueError("value", f"{number} has more digits than a spreadsheet number keeps (whole "
                                      f"numbers are exact up to 2**53 = 9007199254740992); give it as text, "
                                      f"or as float(value) to store it rounded")
    return number


def _in_range(number: int | float, value: Any) -> int | float:
    if abs(number) > MAX_NUMBER:
        raise CellValueError("value", f"{_short_repr(value)} is too large for a spreadsheet cell, whose numbers reach "
                                      f"±{MAX_NUMBER!r} (LibreOffice reads a larger one as infinity)")
    return number


def _is_numpy_bool(value: Any) -> bool:
    kind = type(value)
    return kind.__module__ == "numpy" and kind.__name__ in ("bool", "bool_")


def check_text(text: str) -> None:
    """Raise :class:`CellValueError` unless a cell of an .xlsx file can carry ``text`` exactly."""
    if not text:
        raise CellValueError("value", "the text is empty, and a spreadsheet cell holds no empty text (LibreOffice "
                                      "leaves the cell blank); give None to empty the cell")
    bad = _NOT_XML.search(text)
    if bad is not None:
        raise CellValueError("value", f"the text holds the character U+{ord(bad.group()):04X} at position "
                                      f"{bad.start()}, which a spreadsheet file cannot carry; remove it")
    if "\r" in text:
        raise CellValueError("value", f"the text holds a carriage return (U+000D) at position {text.index(chr(13))}, "
                                      f"which LibreOffice turns into a line feed; give line breaks as '\\n'")
    length = len(text) if text.isascii() else len(text.encode("utf-16-le")) // 2
    if length > MAX_TEXT_LENGTH:
        raise CellValueError("value", f"the text is {length:,} characters long; a spreadsheet cell holds at "
                                      f"most {MAX_TEXT_LENGTH:,}")


def file_text(text: str) -> str:
    """``text`` as the file stores it: openpyxl writes text raw, and LibreOffice would read
    ``_x0041_`` in it as the escape of "A"."""
    return _ESCAPE_LIKE.sub(r"_x005F_\1", text) if "_x" in text else text


def unescape(text: str) -> str:
    """The text a string escaped by the format stands for (_x000D_ is a carriage return)."""
    if "_x" not in text:
        return text
    return _ESCAPED.sub(lambda match: chr(int(match.group(1), 16)), text)


# Archives and workbooks --------------------------------------------------------------------

def check_archive(data: bytes, error_type: str) -> None:
    """Report ``error_type`` unless ``data`` is a zip whose directory is within :data:`LIMITS`.

    Reads the directory only: cheap, and bounded by the size of the upload.
    """
    if not data:
        raise JobError(error_type, "The uploaded spreadsheet is empty; upload an .xlsx workbook")
    if data.startswith(_COMPOUND_FILE):
        raise JobError(error_type, "The uploaded spreadsheet is not a readable .xlsx workbook (it is an .xls "
                                   "workbook, or an .xlsx one protected by a password to open it; save it as .xlsx "
                                   "with no password and try again)")
    if not data.startswith(b"PK"):
        raise JobError(error_type, "The uploaded spreadsheet is not a readable .xlsx workbook "
                                   "(it is not an Office Open XML file; save it as .xlsx and try again)")
    try:
        with zipfile.ZipFile(io.BytesIO(data)) as archive:
            parts = archive.infolist()
    except Exception as exc:
        raise JobError(error_type, f"The uploaded spreadsheet is not a readable .xlsx workbook "
                                   f"({type(exc).__name__}: {exc}); save it as .xlsx and try again") from None
    if len(parts) > LIMITS.max_parts:
        raise JobError(error_type, f"The uploaded spreadsheet has {len(parts):,} parts, more than the "
                                   f"{LIMITS.max_parts:,} a spreadsheet job accepts")
    unzipped = sum(part.file_size for part in parts)
    if unzipped > LIMITS.max_unzipped_bytes:
        raise JobError(error_type, f"The uploaded spreadsheet unpacks to {unzipped:,} bytes, more than the "
                                   f"{LIMITS.max_unzipped_bytes:,} a spreadsheet job accepts (the limit is "
                                   f"ONDREL_SPREADSHEET_MAX_UNZIPPED_BYTES); make the workbook smaller")


def load_upload(path: str, error_type: str) -> openpyxl.Workbook:
    """Open an uploaded workbook (already through :func:`check_archive`) saved at ``path``, or
    report ``error_type`` saying the file is not a readable .xlsx."""
    with _quiet():
        return _load(path, error_type)


def _load(path: str, error_type: str, **options: Any) -> openpyxl.Workbook:
    try:
        return openpyxl.load_workbook(path, **options)
    except Exception as exc:
        raise JobError(error_type, f"The uploaded spreadsheet is not a readable .xlsx workbook "
                                   f"({type(exc).__name__}: {exc}); save it as .xlsx and try again") from None


def load_to_save(path: str, error_type: str) -> tuple[openpyxl.Workbook, list[str]]:
    """An uploaded workbook read (as :func:`load_upload` does) to be written into and saved
    again, with the runs of differently formatted text within a cell kept, and what of it
    openpyxl did not read, which the saved copy would lose: drawn objects other than charts
    (pictures too where Pillow is missing), and rules kept in Excel 2010 extensions."""
    with warnings.catch_warnings(record=True) as heard:
        warnings.simplefilter("always")
        book = _load(path, error_type, rich_text=True)
    with zipfile.ZipFile(path) as archive:
        anchors = sum(len(_DRAWING_ANCHOR.findall(archive.read(name))) for name in archive.namelist()
                      if name.startswith("xl/drawings/") and name.endswith(".xml"))
    drawn = anchors - sum(len(getattr(sheet, "_images", ())) + len(sheet._charts)
                          for sheet in [*book.worksheets, *book.chartsheets])
    lost = [f"{drawn} drawn object(s) (shapes, text boxes or pictures)"] if drawn > 0 else []
    for kind, what in _EXTENSIONS_KEPT.items():
        if any(str(warning.message) == f"{kind} extension is not supported and will be removed" for warning in heard):
            lost.append(f"{what} kept as an Excel 2010 extension")
    return book, lost


def load_values(path: str) -> openpyxl.Workbook:
    """The workbook at ``path`` with its cached values, numbers in date formats kept as numbers
    (:func:`result_value` makes them dates)."""
    with _quiet():
        reader = _NumbersReader(path, data_only=True)
        reader.read()
    return reader.wb


class _NumbersReader(ExcelReader):
    """openpyxl's reader, but a number in a date format stays a number: openpyxl turns one that
    no date shows into a made-up #VALUE! error value."""

    def read_worksheets(self) -> None:
        self.wb._date_formats = self.wb._timedelta_formats = frozenset()
        super().read_worksheets()


def force_full_calculation(workbook: openpyxl.Workbook) -> None:
    if workbook.calculation is None:
        workbook.calculation = CalcProperties()
    workbook.calculation.fullCalcOnLoad = True


def save(workbook: openpyxl.Workbook, path: str) -> None:
    workbook.save(path)


# Inputs of a filled workbook -----------------------------------------------------------------

def values_saved_changed(writes, *, booleans: bool) -> list[list]:
    """[sheet, row, column, value] of each cell whose last write in ``writes`` LibreOffice would
    save changed: a number it saves with 15 significant digits, or a negative zero as 0; with
    ``booleans``, every boolean too (a converted workbook saves a boolean as the formula TRUE())."""
    last = {(title, row, column): value for title, row, column, value in writes}
    return [[*place, value] for place, value in last.items()
            if (booleans and isinstance(value, bool))
            or (isinstance(value, (int, float)) and not isinstance(value, bool)
                and not _same_number(0.0 if value == 0 else float(f"{value:.15g}"), value))]


def _same_number(read: float, number: int | float) -> bool:
    """Whether ``read`` is ``number`` exactly, the sign of a zero too."""
    return read == number and math.copysign(1.0, read) == math.copysign(1.0, number)


def _exact_text(number: int | float) -> bytes:
    """The shortest digits that read back as ``number`` exactly."""
    return (str(number) if isinstance(number, int) else repr(number)).encode("ascii")


_RELATIONSHIPS = "{http://schemas.openxmlformats.org/package/2006/relationships}"
_MAIN = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"
_RELATIONSHIP_ID = "{http://schemas.openxmlformats.org/officeDocument/2006/relationships}id"
# The start tag of a cell with its address (<c r="B2" s="0" t="n">), and the parts of its content.
_CELL_TAG = re.compile(rb'<(?:[\w.-]+:)?c\s[^>]*?\br="([A-Z]+[0-9]+)"[^>]*>')
_CELL_TYPE = re.compile(rb'\st="([^"]*)"')
_CELL_END = re.compile(rb"</(?:[\w.-]+:)?c>")
_CELL_VALUE = re.compile(rb"<((?:[\w.-]+:)?v)>([^<]*)</\1>")
_CELL_FORMULA = re.compile(rb"<(?:[\w.-]+:)?f[\s/>]")
_BOOLEAN_FORMULA = re.compile(rb"<((?:[\w.-]+:)?f)(?:\s[^>]*)?>(TRUE|FALSE)\(\)</\1>")


def write_exact_values(path: str, numbers: list, error_type: str) -> None:
    """Put each value of ``numbers`` ([sheet, row, column, value], from :func:`values_saved_changed`)
    into the saved workbook at ``path`` as it was written, where the file holds it otherwise: a
    number with all its digits, a boolean as a boolean value.

    Only the ``<v>`` text of those cells changes, in place (the XML is not written anew, which
    would rename the namespace prefixes ``mc:Ignorable`` names); every other part of the file is
    kept as it is. A cell the file does not hold as a value of its kind is reported as
    ``error_type``: the filled workbook would give the input changed.
    """
    with zipfile.ZipFile(path) as archive:
        by_part: dict[str, dict[str, list]] = {}
        parts = _worksheet_parts(archive, error_type)
        for title, row, column, number in numbers:
            part = parts.get(title)
            if part is None:
                raise JobError(error_type, f"The filled workbook has no worksheet {title!r} to hold its input "
                                           f"{number!r} exactly")
            by_part.setdefault(part, {})[f"{get_column_letter(column)}{row}"] = [title, number]
        changed = {part: _exact_cells(archive.read(part), cells, error_type) for part, cells in by_part.items()}
        changed = {part: data for part, data in changed.items() if data is not None}
        if not changed:
            return
        temporary = f"{path}.exact"
        try:
            with zipfile.ZipFile(temporary, "w") as target:
                for info in archive.infolist():
                    target.writestr(info, changed.get(info.filename) or archive.read(info))
        except BaseException:
            os.unlink(temporary)
            raise
    os.replace(temporary, path)


def _worksheet_parts(archive: zipfile.ZipFile, error_type: str) -> dict[str, str]:
    """The zip entry of each worksheet by title, as ``xl/workbook.xml`` and its relationships say."""
    try:
        book = ElementTree.fromstring(archive.read("xl/workbook.xml"))
        relationships = ElementTree.fromstring(archive.read("xl/_rels/workbook.xml.rels"))
    except (KeyError, ElementTree.ParseError) as exc:
        raise JobError(error_type, f"The filled workbook cannot be read to write its inputs exactly ({exc})") from None
    targets = {item.get("Id"): item.get("Target", "")
               for item in relationships.iter(f"{_RELATIONSHIPS}Relationship")}
    parts = {}
    for sheet in book.iter(f"{_MAIN}sheet"):
        target = targets.get(sheet.get(_RELATIONSHIP_ID), "")
        parts[sheet.get("name")] = target[1:] if target.startswith("/") else posixpath.normpath(f"xl/{target}")
    return parts


def _exact_cells(xml: bytes, cells: dict[str, list], error_type: str) -> bytes | None:
    """The worksheet ``xml`` with the values of ``cells`` (by address) as written, or None where it
    holds every one so already."""
    pieces, start, left = [], 0, dict(cells)
    for tag in _CELL_TAG.finditer(xml):
        place = left.pop(tag.group(1).decode("ascii"), None)
        if place is None:
            continue
        title, written = place
        end = _CELL_END.search(xml, tag.end()) if not tag.group().endswith(b"/>") else None
        content = xml[tag.end():end.start()] if end is not None else b""
        kind = _CELL_TYPE.search(tag.group())
        change = (_boolean_change if isinstance(written, bool) else _number_change)(
            content, kind.group(1) if kind is not None else b"n", written)
        if change is False:
            raise JobError(error_type, f"The filled workbook does not hold the input {written!r} of "
                                       f"{title}!{tag.group(1).decode('ascii')} as a "
                                       f"{'boolean' if isinstance(written, bool) else 'number'}, so it cannot be "
                                       f"given exactly; the job is stopped rather than give it changed")
        if change is not None:
            (first, last), text = change
            pieces += [xml[start:tag.end() + first], text]
            start = tag.end() + last
        if not left:
            break
    if left:
        title, written = next(iter(left.values()))
        raise JobError(error_type, f"The filled workbook has no cell {title}!{next(iter(left))} to hold its input "
                                   f"{written!r} exactly")
    return b"".join([*pieces, xml[start:]]) if pieces else None


# A change of a cell's content: the span (within the content) replaced, and its new text; None when
# the cell holds the value as written, False when it holds something else than a value of its kind.
_Change = tuple[tuple[int, int], bytes] | None | bool


def _number_change(content: bytes, kind: bytes, number: int | float) -> _Change:
    value = _CELL_VALUE.search(content)
    if value is None or kind != b"n" or _CELL_FORMULA.search(content):
        return False
    try:
        read = float(value.group(2))
    except ValueError:
        read = math.nan
    return None if _same_number(read, number) else (value.span(2), _exact_text(number))


def _boolean_change(content: bytes, kind: bytes, flag: bool) -> _Change:
    """A converted workbook holds a boolean as the formula TRUE() or FALSE() with its value: the
    formula goes, the value stays."""
    value = _CELL_VALUE.search(content)
    if value is None or kind != b"b" or value.group(2) != (b"1" if flag else b"0"):
        return False
    formula = _BOOLEAN_FORMULA.search(content)
    if formula is None:
        return False if _CELL_FORMULA.search(content) else None
    return (formula.span(), b"") if formula.group(2) == (b"TRUE" if flag else b"FALSE") else False


def write(cell, value: Any, where: str) -> None:
    """Write a value made by :func:`cell_value` into ``cell`` (text always as text)."""
    if isinstance(cell, MergedCell):
        raise CellValueError("address", f"{where} lies inside a merged range; write to the range's top-left cell")
    if isinstance(value, str):
        # Past openpyxl's setter, which would cut the escaped text at 32,767 characters and make
        # "=..." a formula and "#N/A" an error value; the text is checked already.
        cell._value = file_text(value)
        cell.data_type = "s"
    else:
        cell.value = value


def result_value(cell, formula: bool, date1904: bool) -> Any:
    """A cached cell value (of a workbook from :func:`load_values`) as the answer gives it:
    numbers, text, booleans, None; errors as their text ("#DIV/0!"); dates and times as ISO
    text (see :func:`number_result`). ``formula``: whether the cell holds a formula, whose cached
    text openpyxl leaves escaped; ``date1904``: whether the workbook counts days from 1904."""
    value = cell.value
    if isinstance(value, str):
        return unescape(value) if formula and cell.data_type == "s" else value
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return number_result(value, cell.number_format, date1904)
    return result_of(value, cell.number_format)


def number_result(number: int | float, number_format: str, date1904: bool) -> Any:
    """A number read with its number format: the ISO text of the date, time or duration the format
    shows (see :func:`result_of`), else the number, as also where no date shows it (past the
    year 9999 or before the year 1)."""
    if not is_date_format(number_format):
        return number
    try:
        when = from_excel(number, MAC_EPOCH if date1904 else WINDOWS_EPOCH,
                          timedelta=is_timedelta_format(number_format))
    except (OverflowError, ValueError):
        return number
    return result_of(when, number_format)


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


def in_merged_range(sheet, row: int, column: int) -> bool:
    """Whether the cell lies inside a merged range of ``sheet`` other than at its top-left."""
    return any(merged.min_row <= row <= merged.max_row and merged.min_col <= column <= merged.max_col
               and (row, column) != (merged.min_row, merged.min_col) for merged in sheet.merged_cells.ranges)


def array_ranges(sheet) -> list[tuple[int, int, int, int, str]]:
    """(top, left, bottom, right, reference) of each array formula of ``sheet`` over more than one
    cell: its cells change only together, so none of them can be written on its own."""
    ranges = []
    for reference in sheet.array_formulae.values():
        left, top, right, bottom = range_boundaries(reference)
        if (top, left) != (bottom, right):
            ranges.append((top, left, bottom, right, reference.replace("$", "")))
    return ranges


def array_of(ranges, row: int, column: int) -> str | None:
    """The reference of the array formula of ``ranges`` (see :func:`array_ranges`) over the cell, or None."""
    return next((reference for top, left, bottom, right, reference in ranges
                 if top <= row <= bottom and left <= column <= right), None)


ARRAY_ADVICE = "whose cells change only together; write to a cell outside it, or make it an ordinary formula"


def is_error_value(cell) -> bool:
    """Whether ``cell`` (of a workbook read for its values) holds an error value such as #DIV/0!."""
    return cell.data_type == "e"


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
    matches = [title] if title in workbook.sheetnames else [
        name for name in workbook.sheetnames if name.lower() == title.lower()]
    if len(matches) == 1:
        sheet = workbook[matches[0]]
        if sheet in workbook.chartsheets:
            raise JobError(error_type, f"The workbook's sheet {sheet.title!r} is a chart sheet, which holds no cells; "
                                       f"make it a worksheet as described in the workbook convention")
        return sheet
    present = ", ".join(repr(name) for name in workbook.sheetnames)
    raise JobError(error_type, f"The workbook has no worksheet named {title!r} (its sheets: {present}); "
                               f"add one as described in the workbook convention")


def name_rows(sheet, error_type: str) -> dict[str, int]:
    """Names in column A of ``sheet`` mapped to their rows, in sheet order.

    Empty rows are skipped; a first row whose column A holds a header word (such as "Name"
    or "Parameter"), or whose column B reads "Value", is a header. A name found twice is an
    error, and so is anything in column A other than text, or a layout across a row.
    """
    rows: dict[str, int] = {}
    header = False
    for name_cell, value_cell in sheet.iter_rows(min_col=1, max_col=2):
        raw = name_cell.value
        if raw is None:
            continue
        row = name_cell.row
        if not isinstance(raw, str) or name_cell.data_type != "s":
            what = ("a formula" if name_cell.data_type == "f" else f"the error value {raw}"
                    if name_cell.data_type == "e" else f"the {_kind_of(raw)} {_short_repr(raw)}")
            raise JobError(error_type, f"The {sheet.title!r} sheet has {what} in column A of row {row}, where a "
                                       f"name belongs: {LAYOUT}")
        name = raw.strip()
        if not name:
            continue
        if row == 1 and (name.lower() in HEADER_WORDS or _text_of(value_cell).lower() in VALUE_HEADER_WORDS):
            header = True
            continue
        if row == 2 and header and name.lower() in VALUE_HEADER_WORDS:
            raise JobError(error_type, f"The {sheet.title!r} sheet reads {name!r} in column A of row 2, under "
                                       f"its headers, as if its names went across row 1: {LAYOUT}")
        if name in rows:
            raise JobError(error_type, f"The {sheet.title!r} sheet has the name {name!r} twice (rows {rows[name]} "
                                       f"and {row}); each name must appear once")
        rows[name] = row
    below = sheet._cells.get((2, 2))
    if list(rows.values()) == [1] and below is not None and below.value is not None:
        raise JobError(error_type, f"The {sheet.title!r} sheet has a value in B2 under its one name {next(iter(rows))!r} "
                                   f"in A1, as if its names went across row 1: {LAYOUT}")
    return rows


def _text_of(cell) -> str:
    return cell.value.strip() if isinstance(cell.value, str) and cell.data_type == "s" else ""


def _kind_of(value: Any) -> str:
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, (int, float)):
        return "number"
    if isinstance(value, (datetime.date, datetime.time, datetime.timedelta)):
        return "date or time"
    return type(value).__name__


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
