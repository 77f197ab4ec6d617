"""Add-on jobs: answers, error mapping, unknown endpoints, time-outs and swapping handlers."""

import os
import sys
import time

import pytest

from ondrel._platform import (EVALUATE_SPREADSHEET, JobError, addon_replaced, get_platform,
                              register_addon, unregister_addon)
from ondrel.api_v1 import API
from ondrel.core import File, _post_on_addon_endpoint
from ondrel.errors import (AddonError, AddonNotFoundError, AddonTimeoutError, OndrelError,
                           SpreadsheetError, StorageError)

PATH = "tests/echo/v1/jobs/"


class OtherError(Exception):
    pass


def _post(handler, body=None, timeout=5, error_mapping=None):
    with addon_replaced(PATH, handler):
        return _post_on_addon_endpoint(PATH, body or {}, timeout=timeout, error_mapping=error_mapping)


def test_the_answer_of_the_handler_is_returned():
    assert _post(lambda body, job: {"output": body["x"] * 2}, {"x": 21}) == {"output": 42}


@pytest.mark.parametrize("reported, expected", [
    ("SpreadsheetEvaluatorError", SpreadsheetError),
    ("InvalidInputError", OtherError),
])
def test_mapped_add_on_errors_raise_the_mapped_class_with_the_add_on_message(reported, expected):
    def handler(body, job):
        raise JobError(reported, "cell B3 is wrong")

    mapping = {"SpreadsheetEvaluatorError": SpreadsheetError, "InvalidInputError": OtherError}
    with pytest.raises(expected) as caught:
        _post(handler, error_mapping=mapping)
    assert type(caught.value) is expected and caught.value.args == ("cell B3 is wrong",)


def test_unmapped_errors_and_crashes_become_host_errors_saying_what_failed():
    def reported(body, job):
        raise JobError("QuotaError", "too many jobs")

    def crashed(body, job):
        return body["missing"]

    with pytest.raises(AddonError, match=r"'tests/echo/v1/jobs/' reported QuotaError: too many jobs"):
        _post(reported, error_mapping={"Other": SpreadsheetError})
    with pytest.raises(AddonError, match=r"'tests/echo/v1/jobs/' failed: KeyError: 'missing'") as caught:
        _post(crashed, error_mapping={"KeyError": SpreadsheetError})
    assert isinstance(caught.value.__cause__, KeyError)


def test_an_unknown_endpoint_is_a_clear_host_error():
    with pytest.raises(AddonNotFoundError, match=r"No add-on is registered for the endpoint 'nothing/v9/'") as caught:
        _post_on_addon_endpoint("nothing/v9/", {}, timeout=1, error_mapping={})
    assert EVALUATE_SPREADSHEET in str(caught.value) and isinstance(caught.value, OndrelError)


def test_a_job_past_its_timeout_is_stopped_and_cannot_upload_its_result():
    upload_url, fields, download_url = API()._generate_temporary_file_urls()
    finished = []

    def slow(body, job):
        try:
            while True:
                job.check()
                time.sleep(0.01)
        finally:
            try:
                job.upload(upload_url, fields, b"late")
            except Exception as exc:
                finished.append(type(exc).__name__)

    started = time.monotonic()
    with pytest.raises(AddonTimeoutError, match=r"did not finish within 0.2 seconds and was stopped"):
        _post(slow, timeout=0.2)
    assert time.monotonic() - started < 3
    assert finished == ["JobCancelled"]
    with pytest.raises(StorageError, match="Nothing has been uploaded"):
        File.from_url(download_url).getvalue_binary()


def test_a_process_started_by_a_job_is_killed_at_the_timeout(tmp_path):
    pid_file = tmp_path / "pid"
    code = f"import os, time; open({str(pid_file)!r}, 'w').write(str(os.getpid())); time.sleep(60)"

    def spawn(body, job):
        job.run_process([sys.executable, "-c", code])

    with pytest.raises(AddonTimeoutError):
        _post(spawn, timeout=2.0)
    pid = int(pid_file.read_text())
    with pytest.raises(ProcessLookupError):
        os.kill(pid, 0)


@pytest.mark.parametrize("timeout", [0, -1, float("nan"), float("inf"), "60", True])
def test_bad_timeouts_are_rejected(timeout):
    with pytest.raises(ValueError, match="timeout must be a positive number"):
        _post(lambda body, job: {}, timeout=timeout)


@pytest.mark.parametrize("timeout", [1e12, 1e300, 10**400], ids=["1e12", "1e300", "10**400"])
def test_time_outs_longer_than_any_wait_mean_no_limit(timeout):
    assert _post(lambda body, job: {"deadline": job.deadline}, timeout=timeout) == {"deadline": None}


def test_handlers_can_be_registered_replaced_and_restored():
    builtin = get_platform().addons.get(EVALUATE_SPREADSHEET)
    with addon_replaced(EVALUATE_SPREADSHEET, lambda body, job: {"output": {"stub": True}}):
        assert _post_on_addon_endpoint(EVALUATE_SPREADSHEET, {}, timeout=1, error_mapping={}) == {
            "output": {"stub": True}}
    assert get_platform().addons.get(EVALUATE_SPREADSHEET) is builtin
    assert register_addon(PATH, print) is None
    assert unregister_addon(PATH) is print
    with pytest.raises(TypeError, match="must be callable"):
        register_addon(PATH, "not callable")
