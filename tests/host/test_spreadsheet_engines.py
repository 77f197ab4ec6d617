"""The pool of warm LibreOffice engines: kept workbooks give the answers of fresh ones, jobs wait
for a free engine, and an engine comes back after any death."""

import io
import os
import random
import signal
import threading

import numpy
import openpyxl
import pytest
from openpyxl.utils.datetime import CALENDAR_MAC_1904
from openpyxl.workbook.defined_name import DefinedName

from ondrel._platform.spreadsheet import libreoffice
from ondrel.api_v1 import API
from ondrel.core import _post_on_addon_endpoint
from ondrel.errors import AddonTimeoutError, SpreadsheetError

pytestmark = pytest.mark.skipif(
    libreoffice.find_soffice() is None or libreoffice.find_uno_python() is None,
    reason="the warm LibreOffice needs 'soffice' and the system Python's uno module (apt-get install python3-uno)",
)


def _bytes(book):
    with io.BytesIO() as out:
        book.save(out)
        return out.getvalue()


def evaluate(data, inputs, timeout=120):
    with io.BytesIO(data) as stream:
        url = API()._upload_temporary_file(stream)
    body = {"download_url": url, "input": inputs}
    answer = _post_on_addon_endpoint("evaluatespreadsheet/v3/jobs/", body, timeout=timeout,
                                     error_mapping={"SpreadsheetEvaluatorError": SpreadsheetError})
    return answer["output"]


def _book(inputs, outputs, extra=None):
    book = openpyxl.Workbook()
    book.active.title = "input"
    for row in [("Name", "Value"), *inputs]:
        book["input"].append(row)
    if extra:
        extra(book)
    book.create_sheet("output")
    for name, value, *number_format in outputs:
        book["output"].append((name, value))
        if number_format:
            book["output"].cell(row=book["output"].max_row, column=2).number_format = number_format[0]
    return _bytes(book)


def _scalars():
    return _book(
        [("x", 3), ("flag", True), ("label", "beam"), ("missing", None)],
        [("twice", "=input!B2*2"), ("tenth", "=input!B2*0.1+0.2"), ("not", "=NOT(input!B3)"),
         ("said", '=IF(input!B3,"yes","no")'), ("istext", "=ISTEXT(input!B4)"), ("text", "=input!B4&\"!\""),
         ("blank", '=IF(input!B2>0,"",1)'), ("divide", "=1/(input!B2-3)"), ("root", "=SQRT(-1)"),
         ("na", "=NA()"), ("name", "=NOSUCHFUNCTION(1)"), ("missing", "=ISBLANK(input!B5)"),
         ("day", "=DATE(2024,1,1)+input!B2", "yyyy-mm-dd"), ("hours", "=input!B2/24", "[h]:mm:ss"),
         ("third", "=input!B2/3"), ("big", "=input!B2*1E20"), ("unsolved", "=IRR({-1,-1,-1})*input!B2")],
    )


def _sheets_and_names():
    def extra(book):
        data = book.create_sheet("data")
        for value in (1.5, 2.5, 4):
            data.append([value])
        book.defined_names["rate"] = DefinedName("rate", attr_text="input!$B$2")
        book.defined_names["loads"] = DefinedName("loads", attr_text="data!$A$1:$A$3")

    return _book([("rate", 2), ("scale", 10)],
                 [("scaled", "=rate*SUM(loads)"), ("lookup", "=INDEX(loads,2)*input!B3"),
                  ("count", "=COUNTIF(loads,\">\"&rate)")], extra)


def _formulas_replaced():
    return _book([("base", 4), ("derived", "=input!B2*2"), ("note", "=\"from \"&input!B2")],
                 [("derived", "=input!B3"), ("plus", "=input!B3+input!B2"), ("note", "=input!B4")])


def _dates_from_1904():
    def extra(book):
        book.epoch = CALENDAR_MAC_1904

    return _book([("days", 10)], [("day", "=DATE(2024,1,1)+input!B2", "yyyy-mm-dd"),
                                  ("moment", "=DATE(2024,1,1)+input!B2/7", "yyyy-mm-dd hh:mm")], extra)


WORKBOOKS = {"scalars": _scalars(), "sheets": _sheets_and_names(), "replaced": _formulas_replaced(),
             "1904": _dates_from_1904()}
INPUTS = {
    "scalars": [{}, {"x": 7.25, "flag": False, "label": "#N/A", "missing": 1},
                {"x": numpy.int64(-1), "flag": numpy.bool_(True), "label": "a\nb =not a formula"},
                {"label": None}],
    "sheets": [{}, {"rate": 3, "scale": 0.5}, {"rate": None}],
    "replaced": [{}, {"derived": 1.5, "note": "set"}, {"base": 10, "derived": None, "note": True}],
    "1904": [{"days": 3}],
}
JOBS = [(name, index) for name, sets in INPUTS.items() for index in range(len(sets))]


@pytest.fixture
def pool():
    """One warm engine keeping at most two workbooks, so kept copies are used and replaced."""
    libreoffice.configure(engines=1, keep_workbooks=2)
    yield libreoffice.get_pool()
    libreoffice.configure()


def _never_cold(pool, monkeypatch):
    def cold(work, job):
        raise AssertionError("the job went to the cold engine")

    monkeypatch.setattr(pool.cold, "run", cold)


def test_kept_workbooks_answer_as_fresh_ones_in_any_order(pool, monkeypatch):
    monkeypatch.setattr(libreoffice, "USE_WARM_PROCESS", False)
    fresh = {job: evaluate(WORKBOOKS[job[0]], INPUTS[job[0]][job[1]]) for job in JOBS}
    # the cold answers are real: text stays text, line breaks and all
    assert fresh["scalars", 0]["tenth"] == 0.5 and fresh["replaced", 0]["derived"] == 8
    assert fresh["scalars", 1]["istext"] is True and fresh["scalars", 2]["text"] == "a\nb =not a formula!"
    assert fresh["1904", 0] == {"day": "2024-01-04", "moment": "2024-01-01T10:17:08.571000"}
    monkeypatch.setattr(libreoffice, "USE_WARM_PROCESS", True)
    _never_cold(pool, monkeypatch)
    for seed in (1, 2):
        order = JOBS * 2
        random.Random(seed).shuffle(order)
        kept = {}
        for job in order:
            kept.setdefault(job, []).append(evaluate(WORKBOOKS[job[0]], INPUTS[job[0]][job[1]]))
        assert {job: answers[0] for job, answers in kept.items()} == fresh
        assert all(answers[0] == answers[1] for answers in kept.values())
    assert len(pool.engines) == 1 and pool.engines[0].starts == 1 and len(pool.engines[0].kept) == 2


def test_a_workbook_that_calculates_iteratively_starts_every_job_afresh(pool, monkeypatch):
    """Its circular references start from the values the workbook holds: a kept copy would start
    each job from the last one's."""
    from openpyxl.workbook.properties import CalcProperties

    def extra(book):
        book.calculation = CalcProperties(iterate=True, iterateCount=100, iterateDelta=1e-9)

    _never_cold(pool, monkeypatch)
    data = _book([("x", 5)], [("circular", "=output!B1/2+input!B2")], extra)
    answers = [evaluate(data, {"x": x})["circular"] for x in (5, 5, 50, 5)]
    assert answers[0] == pytest.approx(10) and answers[2] == pytest.approx(100)
    assert answers[0] == answers[1] == answers[3]


def test_jobs_run_over_the_bridge_where_libreoffice_has_no_python_scripts(pool, monkeypatch):
    _never_cold(pool, monkeypatch)
    jobs = [("scalars", index) for index in range(len(INPUTS["scalars"]))]
    in_office = [evaluate(WORKBOOKS[name], INPUTS[name][index]) for name, index in jobs]
    monkeypatch.setattr(libreoffice.WarmEngine, "run_in_office", False)
    libreoffice.configure(engines=1)
    _never_cold(libreoffice.get_pool(), monkeypatch)
    assert [evaluate(WORKBOOKS[name], INPUTS[name][index]) for name, index in jobs] == in_office
    assert pool.engines[0].in_office and not libreoffice.get_pool().engines[0].in_office


def test_the_kept_workbooks_are_bounded_by_count_and_size(pool, monkeypatch):
    _never_cold(pool, monkeypatch)
    for name in WORKBOOKS:
        evaluate(WORKBOOKS[name], {})
    engine = pool.engines[0]
    digests = [libreoffice.wb.digest(WORKBOOKS[name]) for name in WORKBOOKS]
    assert engine.kept == set(digests[-2:])  # two at most, the least recently used ones closed
    pool.keep = (8, 1)  # one byte: a workbook loaded closes every other
    for name in WORKBOOKS:
        evaluate(WORKBOOKS[name], {})
        assert engine.kept == {libreoffice.wb.digest(WORKBOOKS[name])}


def test_jobs_wait_for_a_free_engine_instead_of_going_cold(pool, monkeypatch):
    _never_cold(pool, monkeypatch)
    data = WORKBOOKS["replaced"]
    answers = {}

    def run(base):
        answers[base] = evaluate(data, {"base": base})["plus"]

    threads = [threading.Thread(target=run, args=(base,)) for base in (1, 2, 3, 4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert answers == {1: 3, 2: 6, 3: 9, 4: 12} and len(pool.engines) == 1


def test_a_job_waits_for_a_busy_engine_only_within_its_time_out(pool, monkeypatch):
    _never_cold(pool, monkeypatch)
    data = WORKBOOKS["replaced"]
    evaluate(data, {})
    busy = pool._idle.popleft()  # as if a long job held the only engine
    with pytest.raises(AddonTimeoutError, match="did not finish within 1 seconds"):
        evaluate(data, {"base": 2}, timeout=1)
    pool._give_back(busy)
    assert evaluate(data, {"base": 2})["plus"] == 6 and busy.starts == 1


def _group_members(leader):
    """Processes of the engine's process group, by name (the helper leads the group)."""
    members = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{entry}/comm") as comm:
                name = comm.read().strip()
        except OSError:
            continue
        if int(fields[2]) == leader and fields[0] != "Z":
            members[name] = int(entry)
    return members


@pytest.mark.skipif(not os.path.isdir("/proc"), reason="finds LibreOffice's processes in /proc")
@pytest.mark.parametrize("victim", ["soffice.bin", "helper"])
def test_an_engine_comes_back_after_any_death(victim, pool, monkeypatch, caplog):
    _never_cold(pool, monkeypatch)
    data = WORKBOOKS["replaced"]
    caplog.set_level("INFO", logger="ondrel")
    assert evaluate(data, {"base": 1})["plus"] == 3
    engine = pool.engines[0]
    helper = engine.process
    members = _group_members(helper.pid)
    os.kill(helper.pid if victim == "helper" else members[victim], signal.SIGKILL)
    assert evaluate(data, {"base": 2})["plus"] == 6
    assert engine.starts == 2 and engine.process is not helper and engine.process.poll() is None
    assert _group_members(helper.pid) == {}  # nothing of the dead engine runs on
    assert evaluate(data, {"base": 3})["plus"] == 9 and engine.starts == 2
    logged = [r.getMessage() for r in caplog.records if r.levelname == "INFO"]
    starts = [m for m in logged if m.startswith("spreadsheet engine ")]
    assert len(starts) == 2 and " started in " in starts[0] and " restarted (2 starts) in " in starts[1]
    assert len([m for m in logged if m.startswith("job evaluatespreadsheet/v3/jobs/ finished here in ")]) == 3


@pytest.mark.parametrize("variable, text", [
    (libreoffice.ENGINES_VARIABLE, "0"), (libreoffice.KEEP_WORKBOOKS_VARIABLE, "many"),
    (libreoffice.KEEP_MEGABYTES_VARIABLE, "-1"),
])
def test_bad_engine_settings_are_refused_with_their_name(variable, text, monkeypatch):
    monkeypatch.setenv(variable, text)
    with pytest.raises(libreoffice.EngineError, match=f"{variable} must be a whole number of at least 1"):
        libreoffice.EnginePool().close()
    with pytest.raises(ValueError, match="engines must be a whole number"):
        libreoffice.configure(engines=0)


def test_the_pool_has_one_engine_per_core_unless_configured(monkeypatch):
    monkeypatch.delenv(libreoffice.ENGINES_VARIABLE, raising=False)
    pools = [libreoffice.EnginePool()]
    monkeypatch.setenv(libreoffice.ENGINES_VARIABLE, "3")
    pools.append(libreoffice.EnginePool())
    for pool in pools:
        pool.close()
    assert [pool.size for pool in pools] == [os.cpu_count() or 1, 3]


def test_a_closed_pool_gives_way_to_a_new_one(pool):
    pool.close()
    fresh = libreoffice.get_pool()
    assert fresh is not pool and not fresh.closed
    assert evaluate(WORKBOOKS["replaced"], {"base": 5})["plus"] == 15
