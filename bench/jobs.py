"""Spreadsheet job throughput on this machine's engines, through the public API.

    ./dev bench --jobs            the whole table, with 10,000 evaluations in a row
    ./dev bench --jobs --quick    fewer jobs, 1,000 in a row

Rows: evaluations of one workbook with varying inputs, sequentially and from 2 threads;
distinct small workbooks (each new to the engines); template fills; and a long run of
evaluations whose memory (the host and every engine process), open files and engine restarts
must stay flat. Goals sit beside the figures.
"""

from __future__ import annotations

import io
import os
import statistics
import threading
import time
from pathlib import Path

import openpyxl

from ondrel._platform.spreadsheet import libreoffice
from ondrel.external.spreadsheet import (
    DirectInputCell, SpreadsheetCalculation, SpreadsheetCalculationInput, render_spreadsheet,
)

WORKBOOK = Path(__file__).resolve().parent.parent / "examples" / "beam_calculation.xlsx"

GOALS = {"sequential": 100.0, "two threads": 1.6, "distinct": 10.0}
ROUNDS = 5


def _evaluate(data: bytes, moment: float) -> dict:
    inputs = [SpreadsheetCalculationInput("M_Ed", moment), SpreadsheetCalculationInput("As", 1257 + moment)]
    return SpreadsheetCalculation(io.BytesIO(data), inputs).evaluate().values


def _rate(count: int, work, threads: int = 1) -> float:
    """Jobs per second of ``work(i)`` for i in range(count), shared among ``threads``."""
    def run(start: int) -> None:
        for i in range(start, count, threads):
            work(i)

    workers = [threading.Thread(target=run, args=(start,)) for start in range(threads)]
    began = time.perf_counter()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return count / (time.perf_counter() - began)


def _distinct_book(number: int) -> bytes:
    book = openpyxl.Workbook()
    book.active.title = "input"
    book["input"].append(["Name", "Value"])
    book["input"].append(["x", number])
    book.create_sheet("output")
    book["output"].append(["Name", "Value"])
    book["output"].append(["y", f"=input!B2*{number}+1"])
    with io.BytesIO() as out:
        book.save(out)
        return out.getvalue()


def _template() -> bytes:
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.title = "Beam"
    sheet["A1"], sheet["B1"], sheet["C1"] = "Span", 4.0, "=B1*2"
    with io.BytesIO() as out:
        book.save(out)
        return out.getvalue()


def _engine_processes() -> list[int]:
    """The process ids of every warm engine: its helper and LibreOffice's processes."""
    leaders = {engine.process.pid for engine in libreoffice.get_pool().engines if engine.process is not None}
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    if int(stat.read().rsplit(")", 1)[1].split()[2]) in leaders:
                        found.append(int(entry))
            except OSError:
                pass
    return found


def _footprint() -> tuple[int, int]:
    """Resident memory (bytes) and open files of this process and the engines together."""
    memory = files = 0
    for pid in [os.getpid(), *_engine_processes()]:
        try:
            with open(f"/proc/{pid}/status") as status:
                memory += next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmRSS:"))
            files += len(os.listdir(f"/proc/{pid}/fd"))
        except (OSError, StopIteration):
            pass
    return memory, files


def _restarts() -> int:
    return sum(engine.starts - 1 for engine in libreoffice.get_pool().engines)


def main(quick: bool) -> list[str]:
    data = WORKBOOK.read_bytes()
    pool = libreoffice.get_pool()
    count = 200 if quick else 600
    _rate(4, lambda i: _evaluate(data, 100 + i), threads=2)  # starts the engines and keeps the workbook
    print(f"\nspreadsheet jobs on {pool.size} engines ({os.cpu_count()} cores), workbook {WORKBOOK.name}; "
          f"rates are medians of {ROUNDS} alternating rounds")
    print(f"{'operation':44}{'figure':>18}{'goal':>16}")
    rows: list[tuple[str, float, str, float, bool]] = []
    # Sequential and threaded rounds alternate, so a change in the machine's other load falls on both.
    rounds = [(_rate(count // ROUNDS, lambda i: _evaluate(data, 100 + i % 300)),
               _rate(count // ROUNDS, lambda i: _evaluate(data, 100 + i % 300), threads=2)) for _ in range(ROUNDS)]
    sequential = statistics.median(one for one, _ in rounds)
    two = statistics.median(two for _, two in rounds)
    rows.append(("one workbook, varying inputs, sequential", sequential, "evals/s", GOALS["sequential"], True))
    rows.append(("one workbook, varying inputs, 2 threads", two, "evals/s", 0, False))
    rows.append(("  2 threads / sequential", two / sequential, "x", GOALS["two threads"], True))
    books = [_distinct_book(n) for n in range(1000, 1000 + (20 if quick else 60))]
    distinct = _rate(len(books), lambda i: _evaluate_distinct(books[i]))
    rows.append(("distinct small workbooks, sequential", distinct, "books/s", GOALS["distinct"], True))
    template = _template()
    fills = _rate(count // 4, lambda i: render_spreadsheet(io.BytesIO(template),
                                                             [DirectInputCell("Beam", "B", 1, float(i))]))
    rows.append(("template fills, sequential", fills, "fills/s", 0, False))
    misses = []
    for name, figure, unit, goal, checked in rows:
        goal_text = f"{goal:.1f} {unit}" if checked else ""
        print(f"{name:44}{figure:>10.1f} {unit:<7}{goal_text:>16}")
        if checked and figure < goal:
            misses.append(name.strip())
    misses += _endurance(data, 1_000 if quick else 10_000)
    return misses


def _evaluate_distinct(book: bytes) -> None:
    SpreadsheetCalculation(io.BytesIO(book), [SpreadsheetCalculationInput("x", 2)]).evaluate()


def _endurance(data: bytes, count: int) -> list[str]:
    for i in range(200):  # every cache of the host and the engines reaches its working size
        _evaluate(data, 100 + i)
    memory, files = _footprint()
    restarts = _restarts()
    began = time.perf_counter()
    for i in range(count):
        _evaluate(data, 100 + i % 1000)
    seconds = time.perf_counter() - began
    memory_after, files_after = _footprint()
    grown = memory_after - memory
    print(f"{count:,} evaluations in a row: {count / seconds:.1f} evals/s; memory {memory / 2**20:.1f} -> "
          f"{memory_after / 2**20:.1f} MiB ({grown / 2**20:+.1f}); open files {files} -> {files_after}; "
          f"engine restarts {_restarts() - restarts}")
    misses = []
    if grown > 20 * 2**20:
        misses.append("memory growth over the long run")
    if files_after > files:
        misses.append("open files over the long run")
    if _restarts() != restarts:
        misses.append("engine restarts over the long run")
    return misses
