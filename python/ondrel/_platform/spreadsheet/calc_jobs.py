"""Spreadsheet jobs on workbooks kept open in LibreOffice Calc.

Run inside LibreOffice as a Python script (copied into the engine's private profile and invoked
through the script provider, so a cell costs no round trip), or, where LibreOffice has no Python
script provider, by :mod:`.calc_server` over the bridge. Imports nothing of the SDK.

:func:`run` takes one JSON request and answers one JSON reply:

    {"digest": hash of the workbook's bytes, "source": path of the workbook or null,
     "size": its size in bytes, "keep": [most workbooks kept, most bytes kept],
     "writes": [[sheet, row, column, value], ...], "reads": [[sheet, row, column], ...],
     "export": path for the filled, recalculated .xlsx or null}

Rows and columns count from 1. A workbook is loaded from ``source`` once (macros never run,
links never updated) and kept, by digest, while the limits allow; the reply is
``{"missing": true}`` when it is not kept and no source is given. Each job writes its values
(text always as text, booleans with the boolean format), recalculates every formula, reads its
cells and exports, then puts every cell it wrote back as the workbook had it, so the next job
starts from the uploaded state. A workbook whose cells cannot be put back exactly is closed, and
so is one that calculates iteratively (its circular references would start from the last job's
values).

Answer: ``{"values": [cell, ...], "kept": [digest, ...], "date1904": bool}``, a cell being null
(empty), ["s", text], ["e", error text], ["b", bool] or ["n", number, format code]; or
``{"error": text}``, with ``"load": true`` when the workbook itself could not be loaded.
"""

import collections
import json

import uno
from com.sun.star.beans import PropertyValue

_FILTER = "Calc MS Excel 2007 XML"

# com.sun.star.table.CellContentType, com.sun.star.sheet.FormulaResult, com.sun.star.util.NumberFormat
_EMPTY, _VALUE, _TEXT, _FORMULA = "EMPTY", "VALUE", "TEXT", "FORMULA"
_RESULT_VALUE, _RESULT_TEXT, _RESULT_ERROR = 1, 2, 4
_LOGICAL = 1024
# com.sun.star.sheet.CellFlags: VALUE | DATETIME | STRING | FORMULA
_CONTENT = 1 | 2 | 4 | 16

# LibreOffice's error codes as a saved .xlsx writes them (523, no convergence, as #N/A); the
# others are written as #VALUE!.
_ERRORS = {532: "#DIV/0!", 519: "#VALUE!", 32767: "#N/A", 525: "#NAME?", 524: "#REF!", 503: "#NUM!",
           523: "#N/A", 521: "#NULL!"}


def _props(**values):
    result = []
    for name, value in values.items():
        prop = PropertyValue()
        prop.Name = name
        prop.Value = value
        result.append(prop)
    return tuple(result)


class _Cell:
    """A cell's methods, looked up once: in LibreOffice 7.4 every attribute lookup on a UNO
    object keeps a little memory for good, so a job on a kept workbook makes none."""

    __slots__ = ("get_type", "get_value", "get_string", "get_formula", "get_error", "set_value",
                 "set_string", "set_formula", "clear", "get", "set")

    def __init__(self, cell):
        self.get_type, self.get_value, self.get_string = cell.getType, cell.getValue, cell.getString
        self.get_formula, self.get_error = cell.getFormula, cell.getError
        self.set_value, self.set_string, self.set_formula = cell.setValue, cell.setString, cell.setFormula
        self.clear, self.get, self.set = cell.clearContents, cell.getPropertyValue, cell.setPropertyValue


class _Book:
    """A loaded workbook, its cells by address and the number formats it uses."""

    def __init__(self, document, size):
        self.document = document
        self.size = size
        self.calculate_all = document.calculateAll
        self.store = document.storeToURL
        self.sheets = {}
        self.cells = {}
        self.formats = {}
        self.boolean_format = None
        null = document.NullDate
        self.date1904 = (null.Year, null.Month, null.Day) == (1904, 1, 1)
        # Circular references calculated iteratively start from the values the cells hold, which
        # after a job are that job's: such a workbook is loaded afresh for every job.
        self.iterative = bool(document.IsIterationEnabled)
        document.enableAutomaticCalculation(False)
        document.UndoManager.lock()  # nothing to undo: no memory spent on it

    def cell(self, title, row, column):
        cell = self.cells.get((title, row, column))
        if cell is None:
            sheet = self.sheets.get(title)
            if sheet is None:
                sheet = self.sheets[title] = self.document.Sheets.getByName(title)
            cell = self.cells[title, row, column] = _Cell(sheet.getCellByPosition(column - 1, row - 1))
        return cell

    def format_of(self, key):
        known = self.formats.get(key)
        if known is None:
            entry = self.document.getNumberFormats().getByKey(key)
            known = self.formats[key] = (entry.FormatString, entry.Type)
        return known

    def boolean(self):
        if self.boolean_format is None:
            locale = uno.createUnoStruct("com.sun.star.lang.Locale")
            self.boolean_format = self.document.getNumberFormats().getStandardFormat(_LOGICAL, locale)
        return self.boolean_format

    def close(self):
        try:
            self.document.close(True)
        except Exception:
            pass


_books = collections.OrderedDict()  # digest -> _Book, least recently used first
_desktops = []


def _desktop():
    if not _desktops:
        context = uno.getComponentContext()
        _desktops.append(context.ServiceManager.createInstanceWithContext("com.sun.star.frame.Desktop", context))
    return _desktops[0]


def _load(desktop, source, size, keep):
    count, most_bytes = keep
    while _books and (len(_books) >= count or sum(b.size for b in _books.values()) + size > most_bytes):
        _books.popitem(last=False)[1].close()
    document = desktop.loadComponentFromURL(
        uno.systemPathToFileUrl(source), "_blank", 0,
        _props(Hidden=True, MacroExecutionMode=0, UpdateDocMode=0),
    )
    if document is None or not hasattr(document, "Sheets"):
        if document is not None:
            document.close(True)
        raise LookupError("LibreOffice could not load the workbook")
    return _Book(document, size)


def _write(book, cell, value):
    if value is None:
        cell.clear(_CONTENT)
    elif isinstance(value, str):
        cell.set_string(value)
    elif isinstance(value, bool):
        cell.set_value(1.0 if value else 0.0)
        cell.set("NumberFormat", book.boolean())
    else:
        cell.set_value(float(value))


def _state(cell):
    """What putting the cell back needs: its kind, content and number format."""
    kind = cell.get_type().value
    if kind == _VALUE:
        content = cell.get_value()
    elif kind == _TEXT:
        content = cell.get_string()
    elif kind == _FORMULA:
        content = cell.get_formula()
    else:
        content = None
    return kind, content, cell.get("NumberFormat")


def _put_back(cell, state):
    kind, content, number_format = state
    if kind == _VALUE:
        cell.set_value(content)
    elif kind == _TEXT:
        cell.set_string(content)
    elif kind == _FORMULA:
        cell.set_formula(content)
    else:
        cell.clear(_CONTENT)
    if cell.get("NumberFormat") != number_format:
        cell.set("NumberFormat", number_format)
    return _state(cell) == state


def _read(book, cell):
    kind = cell.get_type().value
    if kind == _EMPTY:
        return None
    if kind == _TEXT:
        return ["s", cell.get_string()]
    if kind == _FORMULA:
        result = cell.get("FormulaResultType2")
        if result == _RESULT_ERROR:
            return ["e", _ERRORS.get(cell.get_error(), "#VALUE!")]
        if result == _RESULT_TEXT:
            return ["s", cell.get_string()]
    code, kind = book.format_of(cell.get("NumberFormat"))
    if kind & _LOGICAL:
        return ["b", cell.get_value() != 0]
    return ["n", cell.get_value(), code]


def handle(desktop, request):
    digest = request["digest"]
    book = _books.get(digest)
    if book is None:
        if request.get("source") is None:
            return {"missing": True}
        try:
            book = _load(desktop, request["source"], request["size"], request["keep"])
        except Exception as exc:
            return {"error": f"{type(exc).__name__}: {exc}", "load": True}
        _books[digest] = book
    _books.move_to_end(digest)
    saved = {}
    try:
        for title, row, column, value in request["writes"]:
            cell = book.cell(title, row, column)
            if cell not in saved:
                saved[cell] = _state(cell)
            _write(book, cell, value)
        book.calculate_all()
        values = [_read(book, book.cell(title, row, column)) for title, row, column in request["reads"]]
        if request.get("export"):
            book.store(uno.systemPathToFileUrl(request["export"]), _props(FilterName=_FILTER, Overwrite=True))
    finally:
        exact = True
        try:
            for cell, state in saved.items():
                exact = _put_back(cell, state) and exact
        except Exception:
            exact = False
        if not exact or book.iterative:  # the next job loads it afresh
            del _books[digest]
            book.close()
    return {"values": values, "kept": list(_books), "date1904": book.date1904}


def run(line, desktop=None):
    """The script's entry point: one JSON request in, one JSON reply out."""
    try:
        reply = handle(desktop or _desktop(), json.loads(line))
    except Exception as exc:  # reported to the caller, which decides
        reply = {"error": f"{type(exc).__name__}: {exc}"}
    return json.dumps(reply)


g_exportedScripts = (run,)
