"""ondrel.batch.map on this machine, and the local default that imports nothing of Dask."""

import os
import pickle
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import ondrel.batch
import ondrel.cluster
from ondrel.errors import ClusterError, OndrelError


@pytest.fixture(autouse=True)
def here():
    with ondrel.cluster.using(None):
        yield


def test_results_come_back_in_item_order_while_calls_overlap():
    running, most = [0], [0]
    lock = threading.Lock()

    def square(n):
        with lock:
            running[0] += 1
            most[0] = max(most[0], running[0])
        time.sleep(0.05 * (n % 3))
        with lock:
            running[0] -= 1
        return n * n

    assert ondrel.batch.map(square, range(12), workers=4, progress=False) == [n * n for n in range(12)]
    assert 1 < most[0] <= 4


def test_failures_do_not_stop_the_others_and_are_listed_by_index_after_all_finish():
    finished = []

    def check(n):
        if n in (2, 5):
            raise ValueError(f"design {n} fails")
        finished.append(n)
        return n + 100

    with pytest.raises(ondrel.batch.BatchError) as caught:
        ondrel.batch.map(check, range(8), workers=3, progress=False)
    error = caught.value
    assert isinstance(error, OndrelError)
    assert sorted(finished) == [0, 1, 3, 4, 6, 7]
    assert list(error.failures) == [2, 5]
    assert [str(exc) for exc in error.failures.values()] == ["design 2 fails", "design 5 fails"]
    assert error.results == [100, 101, None, 103, 104, None, 106, 107]
    assert str(error) == "2 of 8 items failed: item 2: ValueError: design 2 fails; item 5: ValueError: design 5 fails"


def test_a_batch_error_travels_to_another_process_whole():
    with pytest.raises(ondrel.batch.BatchError) as caught:
        ondrel.batch.map(lambda n: 10 // n, [5, 0, 2], progress=False)
    sent = pickle.loads(pickle.dumps(caught.value))
    assert type(sent) is ondrel.batch.BatchError and str(sent) == str(caught.value)
    assert sent.results == [2, None, 5]
    assert [(index, type(exc), str(exc)) for index, exc in sent.failures.items()] == [
        (1, ZeroDivisionError, "integer division or modulo by zero")]


def test_a_long_list_of_failures_is_cut_in_the_message_but_kept_whole():
    with pytest.raises(ondrel.batch.BatchError) as caught:
        ondrel.batch.map(lambda n: 1 / 0, range(25), progress=False)
    assert len(caught.value.failures) == 25
    assert str(caught.value).count("ZeroDivisionError") == 10
    assert str(caught.value).endswith("; and 15 more (see .failures)")


class _RecomputedFuture:
    """A cluster future whose result was lost with its worker after it finished: computed again
    meanwhile, its status is not "finished" when collected, though it ends with a result."""

    status = "lost"

    def __init__(self, outcome):
        self.outcome = outcome

    def result(self):
        if isinstance(self.outcome, BaseException):
            raise self.outcome
        return self.outcome

    def exception(self):
        return self.outcome if isinstance(self.outcome, BaseException) else None

    def release(self):
        pass


@pytest.mark.parametrize("outcome", [42, ValueError("design 3 fails")])
def test_a_cluster_result_computed_again_is_collected_as_its_outcome(outcome):
    future, outcomes = _RecomputedFuture(outcome), []
    ondrel.batch._collect(future, {future: 3}, lambda index, result=None, error=None:
                          outcomes.append((index, result, error)))
    assert outcomes == [(3, None, outcome) if isinstance(outcome, BaseException) else (3, 42, None)]


@pytest.mark.parametrize("workers", [0, -1, 1.5, True, "4"])
def test_bad_worker_counts_are_refused(workers):
    with pytest.raises(ValueError, match="workers must be a whole number"):
        ondrel.batch.map(str, [1], workers=workers)


def test_the_progress_bar_is_shown_when_asked_and_not_by_default_off_a_terminal(capsys):
    ondrel.batch.map(str, range(7), progress=True)
    shown = capsys.readouterr().err
    assert "7/7" in shown
    ondrel.batch.map(str, range(7))  # standard error is not a terminal under pytest
    assert capsys.readouterr().err == ""


RUN_EVERYTHING_HERE = """
import sys
import ondrel.batch
from ondrel._platform import addon_replaced
from ondrel.core import File, _post_on_addon_endpoint
from ondrel.external.python import PythonAnalysis

with addon_replaced("test/echo", lambda body, job: body):
    assert ondrel.batch.map(lambda n: _post_on_addon_endpoint("test/echo", {"n": n}, timeout=30),
                            range(3), progress=False) == [{"n": 0}, {"n": 1}, {"n": 2}]
analysis = PythonAnalysis(script=File.from_data("open('o.txt', 'w').write('1')"), output_filenames=["o.txt"])
analysis.execute(timeout=60)
print(sorted(name for name in sys.modules if name.split(".")[0] in ("distributed", "dask", "tqdm")))
"""


def _run(code, **environment):
    variables = {k: v for k, v in os.environ.items() if k != ondrel.cluster.ENV_VAR}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=dict(variables, **environment),
                          capture_output=True, text=True, timeout=120)


def test_jobs_analyses_and_batches_run_here_without_importing_dask():
    run = _run(RUN_EVERYTHING_HERE)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "[]"


def test_a_configured_cluster_without_dask_installed_is_a_clear_error():
    run = _run("""
        import sys
        sys.modules["distributed"] = None   # as if the package were not installed
        from ondrel.core import _post_on_addon_endpoint
        from ondrel.errors import ClusterError
        try:
            _post_on_addon_endpoint("evaluatespreadsheet/v3/jobs/", {}, timeout=30)
        except ClusterError as exc:
            print(exc)
    """, ONDREL_CLUSTER="tcp://scheduler.example:8786")
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("jobs are to run on the cluster at 'tcp://scheduler.example:8786' but Dask's "
                                 "'distributed' package cannot be imported")
    assert run.stdout.rstrip().endswith("install it with pip install 'ondrel[cluster]'")


@pytest.mark.parametrize("target, error", [(42, TypeError), ("  ", ValueError)])
def test_a_cluster_is_given_by_an_address_or_a_client(target, error):
    with pytest.raises(error):
        ondrel.cluster.use(target)
    assert ondrel.cluster.address() is None


def test_the_cluster_in_force_follows_the_environment_unless_chosen_in_code(monkeypatch):
    monkeypatch.setenv(ondrel.cluster.ENV_VAR, "tcp://scheduler.example:8786")
    with ondrel.cluster.using("tcp://other.example:8786"):
        assert ondrel.cluster.address() == "tcp://other.example:8786"
        with ondrel.cluster.using(None):
            assert ondrel.cluster.address() is None
        ondrel.cluster.use()
        assert ondrel.cluster.address() == "tcp://scheduler.example:8786"
    assert ondrel.cluster.address() is None  # the fixture's choice again
    assert issubclass(ClusterError, OndrelError)


def test_an_unreachable_scheduler_is_a_cluster_error_naming_it(monkeypatch):
    from ondrel._platform import cluster

    monkeypatch.setattr(cluster, "CONNECT_TIMEOUT_SECONDS", 2)
    with ondrel.cluster.using("tcp://127.0.0.1:1"), pytest.raises(ClusterError) as caught:
        ondrel.batch.map(str, [1], progress=False)
    assert str(caught.value).startswith("cannot reach the Dask scheduler at 'tcp://127.0.0.1:1': ")


INTERRUPTED_BATCH = """
import signal
signal.signal(signal.SIGINT, signal.default_int_handler)  # also where the suite runs with SIGINT ignored
import sys, time
import ondrel.batch
from ondrel._platform import addon_replaced
from ondrel.core import File, _post_on_addon_endpoint
from ondrel.external.python import PythonAnalysis

started = sys.argv[1]

def wait_for_its_stop(body, job):
    open(f"{started}/addon", "w").close()
    while not job.cancelled:
        time.sleep(0.05)
    job.check()

def analyse(n):
    analysis = PythonAnalysis(script=File.from_data(
        f"import time\\nopen({started!r} + '/analysis-{n}', 'w').close()\\ntime.sleep(600)\\n"))
    analysis.execute()  # no time-out: only the interruption ends it

def design(n):
    if n == 2:
        return _post_on_addon_endpoint("test/slow", {}, timeout=None)
    if sys.argv[2] == "nested":  # a batch run by a call of the batch
        return ondrel.batch.map(analyse, [n], progress=False)
    analyse(n)

with addon_replaced("test/slow", wait_for_its_stop):
    begun = time.monotonic()
    try:
        ondrel.batch.map(design, range(6), workers=3, progress=False)
    except KeyboardInterrupt:
        print(f"interrupted; {time.monotonic() - begun:.1f} s")
"""


@pytest.mark.parametrize("calls", ["flat", "nested"])
def test_an_interrupted_batch_stops_the_jobs_of_its_running_calls(tmp_path, calls):
    """Ctrl-C during a batch: the running calls' analyses and add-on jobs stop, nothing is left."""
    jobs, started = tmp_path / "jobs", tmp_path / "started"
    jobs.mkdir()
    started.mkdir()
    (tmp_path / "worker.toml").write_text(f"jobs_folder = {str(jobs)!r}\n")
    variables = {k: v for k, v in os.environ.items() if k != ondrel.cluster.ENV_VAR}
    variables["ONDREL_WORKER_CONFIG"] = str(tmp_path / "worker.toml")
    with subprocess.Popen([sys.executable, "-c", INTERRUPTED_BATCH, str(started), calls], env=variables,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as batch:
        try:
            deadline = time.monotonic() + 60
            while sorted(p.name for p in started.iterdir()) != ["addon", "analysis-0", "analysis-1"]:
                assert batch.poll() is None and time.monotonic() < deadline, batch.stderr.read()
                time.sleep(0.05)
            batch.send_signal(signal.SIGINT)
            stdout, stderr = batch.communicate(timeout=120)
        finally:
            batch.kill()
            for pid in _processes_in(jobs):  # what a failing run leaves, so that it does not linger
                os.kill(pid, signal.SIGKILL)
    assert batch.returncode == 0, stderr
    assert stdout.startswith("interrupted; ")
    assert sorted(p.name for p in started.iterdir()) == ["addon", "analysis-0", "analysis-1"]
    assert _processes_in(jobs) == []
    assert list(jobs.iterdir()) == []


def _processes_in(folder):
    inside = os.path.realpath(folder) + os.sep
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.readlink(f"/proc/{entry}/cwd").startswith(inside):
                    found.append(int(entry))
            except OSError:
                continue
    return found
