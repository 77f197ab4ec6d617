"""A batch survives a worker killed in its middle; a job past its time-out fails as here and frees its worker."""

import contextlib
import os
import signal
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import psutil
import pytest
from distributed.scheduler import KilledWorker

import ondrel.batch
import ondrel.cluster
from ondrel._platform import addon_replaced
from ondrel._platform.spreadsheet.libreoffice import find_soffice
from ondrel.core import _post_on_addon_endpoint
from ondrel.errors import AddonError, AddonTimeoutError
from ondrel.external.spreadsheet import SpreadsheetCalculation, SpreadsheetCalculationInput

BEAM = Path(__file__).resolve().parents[2] / "examples" / "beam_calculation.xlsx"


def _worker_pids():
    return set(ondrel.cluster.backend().client.run(os.getpid).values())


def _wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, f"gave up waiting for {what}"
        time.sleep(0.2)


@pytest.mark.skipif(find_soffice() is None, reason="LibreOffice Calc ('soffice') is not installed")
def test_every_answer_of_a_batch_arrives_right_when_a_worker_is_killed_in_its_middle(on_cluster, tmp_path):
    log = tmp_path / "started"

    def section(index):
        with open(log, "a") as out:
            out.write(f"{index}\n")
        inputs = [SpreadsheetCalculationInput("b", 200 + index), SpreadsheetCalculationInput("h", 400 + index)]
        values = SpreadsheetCalculation.from_path(BEAM, inputs).evaluate().values
        return values["d"], values["section"]

    folders = ondrel.cluster.backend().client.run(lambda dask_worker: (os.getpid(), dask_worker.local_directory))
    before = {pid for pid, _ in folders.values()}
    outcome = {}
    batch = threading.Thread(target=lambda: outcome.update(
        results=ondrel.batch.map(section, range(100), progress=False)))
    batch.start()
    _wait_for(lambda: log.exists() and len(log.read_text().split()) >= 20, 300, "20 evaluations to start")
    victim = min(before)
    os.kill(victim, signal.SIGKILL)
    started_at_kill = len(log.read_text().split())
    batch.join(600)

    assert not batch.is_alive()
    assert outcome["results"] == [(350 + i, f"b x h = {200 + i} x {400 + i} mm, fck = 30 MPa") for i in range(100)]
    assert started_at_kill < 100
    assert victim not in _worker_pids()
    # The killed worker's LibreOffice outlives it when the kill breaks a recalculation halfway.
    victim_folder = next(folder for pid, folder in folders.values() if pid == victim)
    for process in psutil.process_iter(["cmdline"]):
        if victim_folder in " ".join(process.info["cmdline"] or ()):
            with contextlib.suppress(psutil.NoSuchProcess):
                process.kill()


def _die(body, job):
    os.kill(os.getpid(), signal.SIGKILL)


def test_a_job_that_every_worker_dies_running_fails_saying_so(on_cluster):
    with addon_replaced("test/die", _die), pytest.raises(AddonError) as caught:
        _post_on_addon_endpoint("test/die", {}, timeout=60)
    assert str(caught.value).startswith("The add-on job 'test/die' could not run on the cluster: Attempted to run task")
    assert isinstance(caught.value.__cause__, KilledWorker)
    _wait_for(lambda: len(_worker_pids()) == 2, 120, "the workers to come back")


def _slow(body, job):
    job.run_process(["sleep", "117.25"])
    return "finished"


def _pid(body, job):
    time.sleep(0.5)
    return os.getpid()


def _sleepers():
    return [p for p in psutil.process_iter(["cmdline"]) if p.info["cmdline"] == ["sleep", "117.25"]]


def test_a_job_past_its_timeout_fails_as_here_and_its_worker_takes_the_next_jobs(dask_cluster):
    errors = []
    for target in (None, dask_cluster.scheduler_address):
        with ondrel.cluster.using(target), addon_replaced("test/slow", _slow):
            with pytest.raises(AddonTimeoutError) as caught:
                _post_on_addon_endpoint("test/slow", {}, timeout=2)
            errors.append(str(caught.value))
    assert errors[0] == "The add-on job 'test/slow' did not finish within 2 seconds and was stopped"
    assert errors[1] == errors[0]
    _wait_for(lambda: not _sleepers(), 30, "the stopped job's process to go")

    with ondrel.cluster.using(dask_cluster.scheduler_address), addon_replaced("test/pid", _pid):
        with ThreadPoolExecutor(8) as pool:
            answered = set(pool.map(lambda _: _post_on_addon_endpoint("test/pid", {}, timeout=60), range(8)))
        assert answered == _worker_pids()


INTERRUPTED = """
import signal
signal.signal(signal.SIGINT, signal.default_int_handler)  # also where the suite runs with SIGINT ignored
import sys
import ondrel.batch
from ondrel.core import File
from ondrel.external.python import PythonAnalysis

started, how = sys.argv[1], sys.argv[2]

def analyse(n):
    script = f"import os, time\\nopen({started!r} + '/{n}', 'w').write(str(os.getpid()))\\ntime.sleep(600)\\n"
    PythonAnalysis(script=File.from_data(script)).execute()  # no time-out: only the interruption ends it

try:
    ondrel.batch.map(analyse, [0, 1], progress=False) if how == "batch" else analyse(0)
except KeyboardInterrupt:
    print("interrupted")
"""


@pytest.mark.parametrize("how", ["single", "batch"])
def test_an_interrupted_caller_stops_its_analyses_on_the_workers(dask_cluster, tmp_path, how):
    """Ctrl-C in the caller: the analyses its tasks run on the workers stop, and free the workers."""
    import subprocess
    import sys

    started = tmp_path / "started"
    started.mkdir()
    count = 2 if how == "batch" else 1
    environment = {**os.environ, ondrel.cluster.ENV_VAR: dask_cluster.scheduler_address}
    with subprocess.Popen([sys.executable, "-c", INTERRUPTED, str(started), how], env=environment,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as caller:
        try:
            _wait_for(lambda: len(list(started.iterdir())) == count and all(
                p.read_text() for p in started.iterdir()), 120, "the analyses to start")
            caller.send_signal(signal.SIGINT)
            stdout, stderr = caller.communicate(timeout=120)
        finally:
            caller.kill()
        pids = [int(p.read_text()) for p in started.iterdir()]
        try:
            _wait_for(lambda: not any(map(_runs, pids)), 60, "the interrupted analyses to stop")
        finally:
            for pid in pids:  # what a failing run leaves
                with contextlib.suppress(psutil.NoSuchProcess):
                    psutil.Process(pid).kill()
    assert stdout.strip() == "interrupted", stderr


def _runs(pid):
    try:
        return psutil.Process(pid).status() != psutil.STATUS_ZOMBIE
    except psutil.NoSuchProcess:
        return False
