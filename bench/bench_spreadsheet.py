"""Timing of the bulk paths of ondrel.external.spreadsheet against an idiomatic pure-Python equivalent.

Self-contained: the pure-Python classes and functions below do what the compiled module does, the
way one would write them in Python. The host calls (upload, temporary slot) are replaced by no-ops
in both, so only the work of the module is timed.

Run:  python bench/bench_spreadsheet.py [--quick]
"""

from __future__ import annotations

import io
import sys
import timeit
from abc import ABC, abstractmethod
from typing import List, Union

import ondrel.external.spreadsheet as compiled


class SpreadsheetError(Exception):
    pass


# ---- the pure-Python equivalent -------------------------------------------------------------------

def stringify_value(value: Union[bool, int, str, float]) -> str:
    value_type = type(value)
    if value_type is not str and value_type is not int and value_type is not bool and value_type is not float:
        compiled.logger.warning(f"[EXCEL] WARNING: Type {value_type} probably not supported for excel insertion.")
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
    def __init__(self, name: str, value):
        super().__init__(name)
        self.value = value
        self._stringified_value = stringify_value(value)

    def serialize(self, convert_value_to_str: bool = False) -> dict:
        if convert_value_to_str:
            return {"name": self.name, "value": self._stringified_value}
        return {"name": self.name, "value": self.value}

    def serialize_for_fill_spreadsheet(self) -> dict:
        return {self.name: {"value": self.value}}


class SpreadsheetCalculationInput(NamedInputCell):
    pass


class _DirectCellBaseClass(ABC):
    def __init__(self, sheet_name: str, column: str, row: int):
        self.sheet_name = sheet_name
        self.column = column
        self.row = row

    @abstractmethod
    def serialize(self) -> dict:
        pass


class DirectInputCell(_DirectCellBaseClass):
    def __init__(self, sheet_name: str, column: str, row: int, value):
        super().__init__(sheet_name, column, row)
        self.value = value
        self._stringified_value = stringify_value(value)

    def serialize(self, convert_value_to_str: bool = False) -> dict:
        value = stringify_value(self.value) if convert_value_to_str else self.value
        return {"sheet_name": self.sheet_name, "row": self.row, "column": self.column, "value": value}


class InputCellRange:
    def __init__(self, sheet_name: str, left_column: str, top_row: int, data: List[List[Union[float, str]]]):
        if len(data) == 0 or len(data[0]) == 0:
            raise ValueError("data should be non-empty")
        if not _list_of_lists_is_rectangular(data):
            raise ValueError("data should be rectangular")
        self._sheet_name = sheet_name
        self._left_column = left_column
        self._top_row = top_row
        self._data = data

    def serialize(self) -> dict:
        return {"top_left_cell": {"column": self._left_column, "row": self._top_row, "sheet_name": self._sheet_name},
                "data": self._data}


class NoUploadAPI:
    """The platform client with its host calls replaced by no-ops."""

    def _upload_temporary_file(self, stream) -> str:
        return "download-url"

    def _generate_temporary_file_urls(self):
        return "upload-url", {}, "result-url"


API = NoUploadAPI


class SpreadsheetCalculation:
    def __init__(self, file, inputs):
        self._file = file
        self._inputs = inputs
        self._result = None

    def _create_request_body(self, inputs, include_filled_file: bool) -> dict:
        input_dict = {}
        names = set()
        for input_ in inputs:
            if input_.name in names:
                raise SpreadsheetError(f"There are two equal named cell input names for name: {input_.name}")
            names.add(input_.name)
            input_dict[input_.name] = input_.value
        api = API()
        if isinstance(self._file, io.BytesIO):
            download_url = api._upload_temporary_file(self._file)
        else:
            raise NotImplementedError
        result_upload_url, result_upload_fields, result_download_url = api._generate_temporary_file_urls()
        return {"download_url": download_url, "result_upload_url": result_upload_url,
                "result_upload_fields": result_upload_fields, "result_download_url": result_download_url,
                "input": input_dict, "include_filled_file": include_filled_file}


def _create_fill_spreadsheet_request_body(template, cells) -> dict:
    direct_cells = []
    direct_addresses = set()
    named_cells = {}
    cell_ranges = []
    for cell in cells:
        if isinstance(cell, DirectInputCell):
            address = (cell.sheet_name, cell.row, cell.column)
            serialized = cell.serialize()
            if address in direct_addresses:
                raise SpreadsheetError(f"There are two equal direct cell addresses for address: {address}")
            direct_addresses.add(address)
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
    api = API()
    download_url = api._upload_temporary_file(template)
    result_upload_url, result_upload_fields, result_download_url = api._generate_temporary_file_urls()
    return {"download_url": download_url, "result_upload_url": result_upload_url,
            "result_upload_fields": result_upload_fields, "result_download_url": result_download_url,
            "named_cells": named_cells, "direct_cells": direct_cells, "cell_ranges": cell_ranges}


# ---- the cases ------------------------------------------------------------------------------------

def column_letters(index: int) -> str:
    letters = ""
    index += 1
    while index:
        index, remainder = divmod(index - 1, 26)
        letters = chr(65 + remainder) + letters
    return letters


def cases(module):
    """(name, statement) pairs for one implementation; data is made once, outside the timing."""
    data = [[float(r * 100 + c) for c in range(100)] for r in range(1000)]
    inputs = [module.SpreadsheetCalculationInput(f"input_{i}", i * 0.5) for i in range(10_000)]
    calculation = module.SpreadsheetCalculation(io.BytesIO(b"book"), inputs)
    direct = [module.DirectInputCell("Sheet1", column_letters(i % 100), i // 100 + 1, i) for i in range(10_000)]
    named = [module.NamedInputCell(f"name_{i}", i) for i in range(10_000)]
    values = [v for i in range(25_000) for v in (i, i * 0.25, f"text {i}", i % 2 == 0)]
    template = io.BytesIO(b"template")
    stringify = module.stringify_value
    cell_range = module.InputCellRange
    fill_body = module._create_fill_spreadsheet_request_body

    return [
        ("InputCellRange 1,000 x 100: construct + serialize", lambda: cell_range("Sheet1", "B", 3, data).serialize()),
        ("evaluate request body, 10,000 inputs", lambda: calculation._create_request_body(inputs, False)),
        ("fill request body, 10,000 direct cells", lambda: fill_body(template, direct)),
        ("fill request body, 10,000 named cells", lambda: fill_body(template, named)),
        ("stringify_value x 100,000 (int, float, str, bool)", lambda: [stringify(v) for v in values]),
    ]


def best_of(function, repeat: int) -> float:
    number = 1
    while timeit.timeit(function, number=number) < 0.05:
        number *= 2
    return min(timeit.repeat(function, number=number, repeat=repeat)) / number


def main() -> None:
    repeat = 3 if "--quick" in sys.argv else 7
    compiled.API = NoUploadAPI  # the module looks its host components up at call time
    pure = sys.modules[__name__]
    print(f"{'case':<52} {'pure Python':>12} {'compiled':>12} {'ratio':>7}")
    for (name, pure_case), (_, compiled_case) in zip(cases(pure), cases(compiled)):
        assert _same(pure_case(), compiled_case()), name
        t_pure, t_compiled = best_of(pure_case, repeat), best_of(compiled_case, repeat)
        print(f"{name:<52} {t_pure * 1e3:>9.3f} ms {t_compiled * 1e3:>9.3f} ms {t_pure / t_compiled:>6.1f}x")


def _same(a, b) -> bool:
    """Equal results, the cell objects aside (each side has its own classes)."""
    return a == b


if __name__ == "__main__":
    main()
