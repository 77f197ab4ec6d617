"""A job gives the same answer or the same error whether it runs here or on a Dask cluster."""

import io
import os
import re
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import distributed
import openpyxl
import pytest

import ondrel.batch
import ondrel.cluster
from ondrel._platform import JobError, addon_replaced
from ondrel.api_v1 import API
from ondrel.core import File, _post_on_addon_endpoint
from ondrel.errors import SpreadsheetError
from ondrel.external.python import PythonAnalysis
from ondrel.external.spreadsheet import (DirectInputCell, NamedInputCell, SpreadsheetCalculation,
                                         SpreadsheetCalculationInput, render_spreadsheet)

from ondrel._platform.spreadsheet.libreoffice import find_soffice

needs_soffice = pytest.mark.skipif(find_soffice() is None, reason="LibreOffice Calc ('soffice') is not installed")

BEAM = Path(__file__).resolve().parents[2] / "examples" / "beam_calculation.xlsx"


def _evaluate(values, include_filled_file=False):
    inputs = [SpreadsheetCalculationInput(name, value) for name, value in values.items()]
    return SpreadsheetCalculation.from_path(BEAM, inputs).evaluate(include_filled_file=include_filled_file)


def _cells(data, sheet, *addresses):
    book = openpyxl.load_workbook(io.BytesIO(data), data_only=True)
    return [book[sheet][address].value for address in addresses]


# Spreadsheet jobs ----------------------------------------------------------------------------

def evaluate_beam():
    return _evaluate({"As": 1900, "M_Ed": 250}).values


def evaluate_with_the_filled_file():
    result = _evaluate({"b": 350, "As": 2454}, include_filled_file=True)
    return result.values, _cells(result.file_content, "input", "B2", "B7")


def evaluate_an_unknown_input():
    return _evaluate({"span": 6.0}).values


def evaluate_a_file_that_is_no_workbook():
    return SpreadsheetCalculation(File.from_data(b"no workbook"), []).evaluate().values


def fill_the_beam_template():
    with open(BEAM, "rb") as template:
        filled = render_spreadsheet(template, [NamedInputCell("beam_As", 2000), DirectInputCell("input", "B", 8, 260)])
    return _cells(filled.getvalue_binary(), "output", "B9", "B12")


def fill_an_unknown_sheet():
    with open(BEAM, "rb") as template:
        return render_spreadsheet(template, [DirectInputCell("loads", "B", 2, 1.0)])


# Any add-on job ------------------------------------------------------------------------------

def _post(handler, body, error_mapping=None):
    with addon_replaced("test/job", handler):
        return _post_on_addon_endpoint("test/job", body, timeout=60, error_mapping=error_mapping)


def _reverse_into_the_slot(body, job):
    data = job.fetch(body["download_url"])
    job.upload(body["result_upload_url"], body["result_upload_fields"], data[::-1])
    return {"size": len(data)}


def a_job_reads_a_stored_file_and_uploads_its_result():
    api = API()
    upload_url, fields, download_url = api._generate_temporary_file_urls()
    body = {"download_url": api._upload_temporary_file(io.BytesIO(b"0123456789")),
            "result_upload_url": upload_url, "result_upload_fields": fields}
    answer = _post(_reverse_into_the_slot, body)
    return answer, File.from_url(download_url).getvalue_binary()


def _fetch_unknown(body, job):
    return job.fetch("ondrel-tmp://files/" + "0" * 32)


def a_job_asks_for_an_unknown_file():
    return _post(_fetch_unknown, {})


def _upload_with_wrong_fields(body, job):
    job.upload(body["result_upload_url"], {"key": "x", "token": "y"}, b"data")
    return "uploaded"


def a_job_uploads_with_wrong_fields():
    upload_url, _, _ = API()._generate_temporary_file_urls()
    return _post(_upload_with_wrong_fields, {"result_upload_url": upload_url})


def _report(body, job):
    raise JobError("BeamError", "the span is negative")


def a_job_reports_a_mapped_error():
    return _post(_report, {}, error_mapping={"BeamError": SpreadsheetError})


def a_job_reports_an_unmapped_error():
    return _post(_report, {})


def _crash(body, job):
    return {"ratio": 1 / body["zero"]}


def a_job_crashes():
    return _post(_crash, {"zero": 0})


# Analysis runs -------------------------------------------------------------------------------

def _analysis(script, output_filenames=("out.txt",), timeout=60):
    analysis = PythonAnalysis(script=File.from_data(textwrap.dedent(script)),
                              files=[("span.txt", File.from_data("6.5"))], output_filenames=list(output_filenames))
    analysis.execute(timeout=timeout)
    return {name: analysis.get_output_file(name).getvalue() for name in output_filenames}, analysis.stdout


def an_analysis_runs():
    return _analysis("""
        span = float(open("span.txt").read())
        open("out.txt", "w").write(f"{span * 12.0 ** 2 / 8:.3f}")
        print("moment written")
    """)


def an_analysis_fails():
    return _analysis("""
        import sys
        print("the span is too long", file=sys.stderr)
        sys.exit(3)
    """)


def an_analysis_forgets_its_output():
    return _analysis("open('other.txt', 'w').write('x')")


def an_analysis_runs_past_its_timeout():
    return _analysis("import time; time.sleep(60)", timeout=2)


CASES = [
    (evaluate_beam, None),
    (evaluate_with_the_filled_file, None),
    (evaluate_an_unknown_input, "SpreadsheetError"),
    (evaluate_a_file_that_is_no_workbook, "SpreadsheetError"),
    (fill_the_beam_template, None),
    (fill_an_unknown_sheet, "SpreadsheetError"),
    (a_job_reads_a_stored_file_and_uploads_its_result, None),
    (a_job_asks_for_an_unknown_file, "AddonError"),
    (a_job_uploads_with_wrong_fields, "AddonError"),
    (a_job_reports_a_mapped_error, "SpreadsheetError"),
    (a_job_reports_an_unmapped_error, "AddonError"),
    (a_job_crashes, "AddonError"),
    (an_analysis_runs, None),
    (an_analysis_fails, "ExecutionError"),
    (an_analysis_forgets_its_output, "ExecutionError"),
    (an_analysis_runs_past_its_timeout, "ExecutionError"),
]
SPREADSHEET_CASES = {evaluate_beam, evaluate_with_the_filled_file, evaluate_an_unknown_input,
                     evaluate_a_file_that_is_no_workbook, fill_the_beam_template, fill_an_unknown_sheet}


def _outcome(case):
    try:
        return ("answer", case())
    except Exception as exc:  # a new storage slot each run: its key is all that may differ
        return (type(exc).__name__, re.sub("[0-9a-f]{32}", "<key>", str(exc)))


@pytest.mark.parametrize(
    "case, error",
    [pytest.param(case, error, marks=[needs_soffice] if case in SPREADSHEET_CASES else [], id=case.__name__)
     for case, error in CASES],
)
def test_a_job_gives_the_same_answer_or_error_here_and_on_the_cluster(dask_cluster, case, error):
    with ondrel.cluster.using(None):
        here = _outcome(case)
    with ondrel.cluster.using(dask_cluster.scheduler_address):
        there = _outcome(case)
    assert here[0] == (error or "answer"), here
    assert there == here


def _worker_pid(body, job):
    return os.getpid()


def _work_folder(body, job):
    return tempfile.gettempdir()


def test_jobs_run_on_the_workers_of_a_cluster_given_by_address_or_client_and_here_otherwise(dask_cluster):
    with ondrel.cluster.using(dask_cluster.scheduler_address):
        client = ondrel.cluster.backend().client
        workers = set(client.run(os.getpid).values())
        assert _post(_worker_pid, {}) in workers
        folder = Path(_post(_work_folder, {}))
        dask_folders = {Path(d) for d in client.run(lambda dask_worker: dask_worker.local_directory).values()}
        assert folder.parent in dask_folders and folder.name.startswith("ondrel-")
    with distributed.Client(dask_cluster, set_as_default=False) as client, ondrel.cluster.using(client):
        assert ondrel.cluster.address() == dask_cluster.scheduler_address
        assert _post(_worker_pid, {}) in workers
    with ondrel.cluster.using(None):
        assert _post(_worker_pid, {}) == os.getpid()


def test_the_environment_variable_sends_a_script_s_jobs_to_the_cluster(dask_cluster):
    script = textwrap.dedent("""
        import os
        from ondrel._platform import addon_replaced
        from ondrel.core import _post_on_addon_endpoint

        def pid(body, job):
            return os.getpid()

        with addon_replaced("test/pid", pid):
            print(_post_on_addon_endpoint("test/pid", {}, timeout=60), os.getpid())
    """)
    environment = dict(os.environ, ONDREL_CLUSTER=dask_cluster.scheduler_address)
    run = subprocess.run([sys.executable, "-c", script], env=environment, capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stderr
    answer, caller = map(int, run.stdout.split())
    with ondrel.cluster.using(dask_cluster.scheduler_address):
        assert answer in ondrel.cluster.backend().client.run(os.getpid).values()
    assert answer != caller


def _design_check(index):
    if index % 3 == 1:
        raise ValueError(f"design {index} is not buildable")
    return _evaluate({"b": 250 + index}).values["section"]


@needs_soffice
def test_a_batch_on_the_cluster_keeps_order_and_reports_each_failure(on_cluster):
    with pytest.raises(ondrel.batch.BatchError) as caught:
        ondrel.batch.map(_design_check, range(6), workers=3, progress=False)
    failures = caught.value.failures
    assert list(failures) == [1, 4]
    assert [str(exc) for exc in failures.values()] == ["design 1 is not buildable", "design 4 is not buildable"]
    assert all(type(exc) is ValueError for exc in failures.values())
    assert caught.value.results == [f"b x h = {250 + i} x 500 mm, fck = 30 MPa" if i % 3 != 1 else None
                                    for i in range(6)]


@needs_soffice
def test_the_sweep_example_writes_the_same_table_and_a_chart_here_and_on_the_cluster(dask_cluster, tmp_path):
    tables = []
    for name, cluster in (("here", ""), ("there", dask_cluster.scheduler_address)):
        environment = dict(os.environ, ONDREL_CLUSTER=cluster)
        run = subprocess.run([sys.executable, str(BEAM.with_name("beam_sweep.py")), str(tmp_path / name), "--first", "8"],
                             env=environment, capture_output=True, text=True, timeout=600)
        assert run.returncode == 0, run.stderr
        assert f"Checking 8 beam designs with beam_calculation.xlsx on {cluster or 'this machine'}" in run.stdout
        assert (tmp_path / name / "beam_sweep.png").read_bytes().startswith(b"\x89PNG")
        tables.append((tmp_path / name / "beam_sweep.csv").read_text())
    rows = tables[0].splitlines()
    assert len(rows) == 9 and rows[1] == "250,400,2,16,402,357,59.3,3.71,0.122,134,NOT OK"
    assert tables[1] == tables[0]


def _filled_on_a_worker(steel_area):
    with open(BEAM, "rb") as template:
        return os.getpid(), render_spreadsheet(template, [NamedInputCell("beam_As", steel_area)])


@needs_soffice
def test_a_file_made_on_a_worker_arrives_with_its_content(on_cluster):
    [(worker, filled)] = ondrel.batch.map(_filled_on_a_worker, [2000], progress=False)
    assert worker != os.getpid()
    assert _cells(filled.getvalue_binary(), "input", "B7") == [2000]
