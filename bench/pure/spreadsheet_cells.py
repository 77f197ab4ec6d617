"""Plain-Python equivalent of the cell vocabulary and request bodies of
``ondrel.external.spreadsheet``, for the benchmarks only.

The request-body builders take the platform client as an argument (``api``) so that a
benchmark can time the body building alone, without uploads.
"""
from __future__ import annotations

import logging
from abc import ABC, abstractmethod
from typing import Any, List, Union

try:
    from ondrel.errors import SpreadsheetError
except ImportError:  # the benchmarks may run before the host layer is installed
    class SpreadsheetError(Exception):
        pass

logger = logging.getLogger(__name__)


def stringify_value(value: Union[bool, int, str, float]) -> str:
    value_type = type(value)
    if value_type is not str and value_type is not int and value_type is not bool and value_type is not float:
        logger.warning("[EXCEL] WARNING: Type " + str(value_type) + " probably not supported for excel insertion.")
    return str(value)


def _list_of_lists_is_rectangular(data: List[list]) -> bool:
    width = None
    for row in data:
        if width is None:
            width = len(row)
        elif len(row) != width:
            return False
    return True


class _NamedCellBaseClass(ABC):

    def __init__(self, name: str):
        self.name = name

    @abstractmethod
    def serialize(self) -> dict:
        pass


class NamedInputCell(_NamedCellBaseClass):
    """Class for defining a named cell in which a value must be inserted."""

    def __init__(self, name: str, value: Union[bool, int, str, float]):
        super().__init__(name)
        self.value = value
        self._stringified_value = stringify_value(value)

    def __repr__(self) -> str:
        return f"NamedInputCell(name={self.name!r}, value={self.value!r})"

    def serialize(self, convert_value_to_str: bool = False) -> dict:
        """:param convert_value_to_str: needed when the cell is used in the coupled Excel program, old workers only."""
        if convert_value_to_str:
            return {'name': self.name, 'value': self._stringified_value}
        return {'name': self.name, 'value': self.value}

    def serialize_for_fill_spreadsheet(self) -> dict:
        return {self.name: {'value': self.value}}


class SpreadsheetCalculationInput(NamedInputCell):
    """This class is subclassed from NamedInputCell because the same functionality is needed."""


class NamedOutputCell(_NamedCellBaseClass):

    def __init__(self, name: str):
        super().__init__(name)
        self._result_value = None

    def __repr__(self) -> str:
        return f"NamedOutputCell(name={self.name!r})"

    @property
    def result(self) -> Any:
        if self._result_value is None:
            raise RuntimeError("Result for direct output cell is not yet available, execute first.")
        return self._result_value

    @result.setter
    def result(self, value: Any) -> None:
        if self._result_value is not None:
            raise AttributeError("Result value should only be set once")
        self._result_value = value

    def equals(self, named_cell_result: dict) -> bool:
        return bool(self.name == named_cell_result['name'])

    def serialize(self) -> dict:
        return {'name': self.name}


class _DirectCellBaseClass(ABC):

    def __init__(self, sheet_name: str, column: str, row: int):
        self.sheet_name = sheet_name
        self.column = column
        self.row = row

    @abstractmethod
    def serialize(self) -> dict:
        pass


class DirectInputCell(_DirectCellBaseClass):
    """Class for defining a direct cell (sheet, column, row) in which a value must be inserted. Use InputCellRange
    for a rectangular block of values."""

    def __init__(self, sheet_name: str, column: str, row: int, value: Union[bool, int, str, float]):
        super().__init__(sheet_name, column, row)
        self.value = value
        self._stringified_value = stringify_value(value)

    def __repr__(self) -> str:
        return (f"DirectInputCell(sheet_name={self.sheet_name!r}, column={self.column!r}, row={self.row!r}, "
                f"value={self.value!r})")

    def serialize(self, convert_value_to_str: bool = False) -> dict:
        """:param convert_value_to_str: needed when the cell is used in the coupled Excel program, old workers only."""
        value = stringify_value(self.value) if convert_value_to_str else self.value
        return {'sheet_name': self.sheet_name, 'row': self.row, 'column': self.column, 'value': value}


class DirectOutputCell(_DirectCellBaseClass):

    def __init__(self, sheet_name: str, column: str, row: int):
        super().__init__(sheet_name, column, row)
        self._result_value = None

    def __repr__(self) -> str:
        return f"DirectOutputCell(sheet_name={self.sheet_name!r}, column={self.column!r}, row={self.row!r})"

    @property
    def result(self) -> Any:
        if self._result_value is None:
            raise RuntimeError("Result for direct output cell is not yet available, execute first.")
        return self._result_value

    @result.setter
    def result(self, value: Any) -> None:
        if self._result_value is not None:
            raise AttributeError("Result value should only be set once")
        self._result_value = value

    def equals(self, direct_cell_result: dict) -> bool:
        return bool(self.sheet_name == direct_cell_result['sheet_name']
                    and self.row == direct_cell_result['row']
                    and self.column == direct_cell_result['column'])

    def serialize(self) -> dict:
        return {'sheet_name': self.sheet_name, 'row': self.row, 'column': self.column}


class InputCellRange:
    """A rectangular block of values, placed with its top-left value at (left_column, top_row)."""

    def __init__(self, sheet_name: str, left_column: str, top_row: int, data: List[List[Union[float, str]]]):
        if len(data) == 0 or len(data[0]) == 0:
            raise ValueError("data should be non-empty")
        if not _list_of_lists_is_rectangular(data):
            raise ValueError("data should be rectangular")
        self._sheet_name = sheet_name
        self._left_column = left_column
        self._top_row = top_row
        self._data = data

    def __repr__(self) -> str:
        return (f"InputCellRange(sheet_name={self._sheet_name!r}, left_column={self._left_column!r}, "
                f"top_row={self._top_row!r}, data=...)")

    def serialize(self) -> dict:
        return {
            'top_left_cell': {'column': self._left_column, 'row': self._top_row, 'sheet_name': self._sheet_name},
            'data': self._data,
        }


def create_evaluate_request_body(file, inputs: list, include_filled_file: bool, api) -> dict:
    """The evaluate job's body: inputs by name (no duplicates), then the upload and the result slot."""
    input_values = {}
    seen_names = set()
    for input_ in inputs:
        if input_.name in seen_names:
            raise SpreadsheetError(f"There are two equal named cell input names for name: {input_.name}")
        seen_names.add(input_.name)
        input_values[input_.name] = input_.value
    download_url = api._upload_temporary_file(file)
    result_upload_url, result_upload_fields, result_download_url = api._generate_temporary_file_urls()
    return {
        'download_url': download_url,
        'result_upload_url': result_upload_url,
        'result_upload_fields': result_upload_fields,
        'result_download_url': result_download_url,
        'input': input_values,
        'include_filled_file': include_filled_file,
    }


def create_fill_request_body(template, cells: list, api) -> dict:
    """The fill job's body: direct cells (unique addresses), named cells (unique names) and ranges."""
    direct_cells = []
    direct_addresses = set()
    named_cells = {}
    cell_ranges = []
    for cell in cells:
        if isinstance(cell, DirectInputCell):
            address = (cell.sheet_name, cell.row, cell.column)
            serialized = cell.serialize()
            column = cell.column
            key = (cell.sheet_name, cell.row, column.upper() if type(column) is str and column.isascii() else column)
            if key in direct_addresses:  # "b" and "B" are one column
                raise SpreadsheetError(f"There are two equal direct cell addresses for address: {address}")
            direct_addresses.add(key)
            direct_cells.append(serialized)
        elif isinstance(cell, NamedInputCell):
            serialized = cell.serialize_for_fill_spreadsheet()
            if cell.name in named_cells:
                raise SpreadsheetError(f"There are two equal named cells for name: {cell.name}")
            named_cells.update(serialized)
        elif isinstance(cell, InputCellRange):
            cell_ranges.append(cell.serialize())
        else:
            raise ValueError("Undefined cell type")
    download_url = api._upload_temporary_file(template)
    result_upload_url, result_upload_fields, result_download_url = api._generate_temporary_file_urls()
    return {
        'download_url': download_url,
        'result_upload_url': result_upload_url,
        'result_upload_fields': result_upload_fields,
        'result_download_url': result_download_url,
        'named_cells': named_cells,
        'direct_cells': direct_cells,
        'cell_ranges': cell_ranges,
    }
