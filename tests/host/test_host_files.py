"""Host files and temporary storage: File sources, uploads, slots and URL round trips."""

import copy
import io
import os
import pickle
import stat
import threading
import time

import pytest

from ondrel._platform import get_platform
from ondrel.api_v1 import API
from ondrel.core import File
from ondrel.errors import OndrelError, StorageError

CONTENT = "Ø beam: 12 kN\n".encode("utf-8")


def _stored_url(data=CONTENT):
    with io.BytesIO(data) as stream:
        return API()._upload_temporary_file(stream)


@pytest.fixture(params=["path", "data", "text", "url"])
def any_file(request, tmp_path):
    if request.param == "path":
        (tmp_path / "f.bin").write_bytes(CONTENT)
        return File.from_path(tmp_path / "f.bin"), File.SourceType.PATH
    if request.param == "data":
        return File.from_data(bytearray(CONTENT)), File.SourceType.DATA
    if request.param == "text":
        return File.from_data(CONTENT.decode("utf-8")), File.SourceType.DATA
    return File.from_url(_stored_url()), File.SourceType.URL


def test_every_source_gives_the_same_content_in_bytes_streams_and_text(any_file):
    file, source_type = any_file
    assert file.source_type is source_type
    assert file.getvalue_binary() == CONTENT
    assert file.getvalue() == CONTENT.decode("utf-8")
    with file.open_binary() as stream:
        assert stream.read() == CONTENT
    assert stream.closed
    with file.open() as text:
        assert text.read() == CONTENT.decode("utf-8")
    assert text.closed
    copied = file.copy()
    assert copied.source_type is File.SourceType.DATA and copied.getvalue_binary() == CONTENT


def test_copy_of_a_url_file_no_longer_needs_the_storage():
    file = File.from_url(_stored_url())
    copied = file.copy()
    get_platform().storage.clear()
    assert copied.getvalue_binary() == CONTENT
    with pytest.raises(StorageError, match="No file is stored"):
        file.getvalue_binary()


def test_a_pickled_file_travels_as_its_content_and_a_copy_keeps_its_source(any_file):
    file, source_type = any_file
    sent = pickle.loads(pickle.dumps(file))
    assert sent.source_type is File.SourceType.DATA and sent.getvalue_binary() == CONTENT
    for kept in (copy.copy(file), copy.deepcopy(file)):
        assert kept is not file and kept.source_type is source_type and repr(kept) == repr(file)


def test_a_path_file_is_read_when_asked(tmp_path):
    path = tmp_path / "later.txt"
    file = File.from_path(os.fsencode(path))
    path.write_text("now")
    assert file.getvalue() == "now" and file.path == str(path)
    with pytest.raises(TypeError, match="bytes or str"):
        File.from_data(12)


@pytest.mark.parametrize("position", [0, 3, len(CONTENT)])
def test_upload_sends_the_whole_stream_and_keeps_its_position(position):
    stream = io.BytesIO(CONTENT)
    stream.seek(position)
    url = API()._upload_temporary_file(stream)
    assert stream.tell() == position
    assert File.from_url(url).getvalue_binary() == CONTENT


def test_upload_of_a_stream_that_cannot_seek_sends_what_is_left():
    read_end, write_end = os.pipe()
    with os.fdopen(write_end, "wb") as writer:
        writer.write(CONTENT)
    with os.fdopen(read_end, "rb", buffering=0) as reader:
        assert File.from_url(API()._upload_temporary_file(reader)).getvalue_binary() == CONTENT


def test_a_result_slot_round_trip():
    storage = get_platform().storage
    upload_url, fields, download_url = API()._generate_temporary_file_urls()
    with pytest.raises(StorageError, match="Nothing has been uploaded"):
        File.from_url(download_url).getvalue_binary()
    with pytest.raises(StorageError, match="do not match"):
        storage.upload(upload_url, {**fields, "token": "0" * 32}, b"forged")
    storage.upload(upload_url, fields, b"result")
    with pytest.raises(StorageError, match="already uploaded"):
        storage.upload(upload_url, fields, b"again")
    assert File.from_url(download_url).getvalue_binary() == b"result"
    assert API()._generate_temporary_file_urls()[2] != download_url


def test_a_slot_takes_one_upload_even_when_two_come_at_once():
    storage = get_platform().storage
    upload_url, fields, download_url = API()._generate_temporary_file_urls()
    reading, go_on = threading.Event(), threading.Event()

    class SlowStream(io.BytesIO):
        def read(self, size=-1):
            reading.set()
            go_on.wait(30)
            return super().read(size)

    first = threading.Thread(target=storage.upload, args=(upload_url, fields, SlowStream(b"first" * 1000)))
    first.start()
    try:
        assert reading.wait(30)
        with pytest.raises(StorageError, match="already being uploaded"):
            storage.upload(upload_url, fields, b"second")
    finally:
        go_on.set()
        first.join(30)
    assert File.from_url(download_url).getvalue_binary() == b"first" * 1000
    with pytest.raises(StorageError, match="already uploaded"):
        storage.upload(upload_url, fields, b"third")


@pytest.mark.parametrize("url, message", [
    ("https://example.invalid/file.xlsx", "only serves its own"),
    ("file:///etc/passwd", "only serves its own"),
    ("ondrel-tmp://files/../../etc/passwd", "Malformed"),
    ("ondrel-tmp://files/" + "a" * 32, "No file is stored"),
])
def test_urls_the_storage_does_not_hold_fail_clearly(url, message):
    with pytest.raises(StorageError, match=message) as caught:
        File.from_url(url).getvalue_binary()
    assert isinstance(caught.value, OndrelError)


def test_storage_folder_is_private():
    _stored_url()
    mode = os.stat(get_platform().storage.folder).st_mode
    assert stat.S_IMODE(mode) & 0o077 == 0


def test_stored_files_expire_and_leave_the_disk():
    from ondrel._platform.storage import LocalStorage

    storage = LocalStorage(max_age=0.05)
    old = storage.put_bytes(b"old")
    time.sleep(0.1)
    new = storage.put_bytes(b"new")
    with pytest.raises(StorageError, match="expired"):
        storage.read(old)
    files = [name for name in os.listdir(storage.folder) if name != ".owner"]
    assert storage.read(new) == b"new" and files == [new.rsplit("/", 1)[1]]
    storage.clear()


# Nothing left behind ------------------------------------------------------------------------

def test_a_job_removes_its_upload_and_its_unused_output_slot_when_it_ends():
    from ondrel._platform import EVALUATE_SPREADSHEET, JobError, addon_replaced
    from ondrel.core import _post_on_addon_endpoint

    storage = get_platform().storage
    before = set(storage.keys())

    def run(handler, fill_output):
        api = API()
        with io.BytesIO(CONTENT) as stream:
            upload = api._upload_temporary_file(stream)
        upload_url, fields, download_url = api._generate_temporary_file_urls()

        def job(body, context):
            assert context.fetch(body["download_url"]) == CONTENT  # there while the job runs
            if fill_output:
                context.upload(upload_url, fields, b"result")
            return handler()

        body = {"download_url": upload, "result_download_url": download_url}
        with addon_replaced(EVALUATE_SPREADSHEET, job):
            try:
                _post_on_addon_endpoint(EVALUATE_SPREADSHEET, body, timeout=30)
            except OndrelError:
                pass
        return upload, download_url

    def fail():
        raise JobError("SpreadsheetEvaluatorError", "no")

    kept_url = _stored_url()  # stored for a caller, not by a job's upload: kept
    outputs = [run(lambda: {}, True), run(lambda: {}, False), run(fail, False)]
    assert set(storage.keys()) - before == {kept_url.rsplit("/", 1)[1], outputs[0][1].rsplit("/", 1)[1]}
    assert File.from_url(outputs[0][1]).getvalue_binary() == b"result"
    for upload, _ in outputs:
        with pytest.raises(StorageError, match="No file is stored"):
            File.from_url(upload).getvalue_binary()
    on_disk = set(os.listdir(storage.folder))
    assert not on_disk & {url.rsplit("/", 1)[1] for url, _ in outputs}


def test_uploading_bytes_instead_of_a_stream_says_what_to_pass():
    with pytest.raises(TypeError, match=r"must be a binary stream, such as open\(path, 'rb'\) or io.BytesIO\(data\), "
                                        r"not bytes"):
        API()._upload_temporary_file(b"PK...")


def test_folders_of_a_process_ended_by_sigterm_are_removed_at_the_next_start(tmp_path):
    import signal
    import subprocess
    import sys

    from ondrel._platform.storage import remove_abandoned_folders

    script = (
        "from ondrel._platform import get_platform\n"
        "from ondrel._platform.spreadsheet.libreoffice import get_pool\n"
        "storage = get_platform().storage\n"
        "storage.put_bytes(b'a user workbook')\n"
        "print(storage.folder, get_pool().folder, flush=True)\n"
        "import time; time.sleep(120)\n"
    )
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    try:
        folders = child.stdout.readline().split()
        assert len(folders) == 2 and all(os.path.isdir(folder) for folder in folders)
        for prefix in ("ondrel-storage-", "ondrel-calc-"):
            remove_abandoned_folders(prefix)
        assert all(os.path.isdir(folder) for folder in folders)  # their owner still runs
    finally:
        child.send_signal(signal.SIGTERM)
        child.wait(timeout=60)
        child.stdout.close()
    assert all(os.path.isdir(folder) for folder in folders)  # no exit handler ran
    from ondrel._platform.storage import LocalStorage

    fresh = LocalStorage()
    mine = fresh.folder  # making a folder removes the abandoned ones of its kind
    from ondrel._platform.spreadsheet.libreoffice import EnginePool

    EnginePool().close()
    assert not any(os.path.exists(folder) for folder in folders)
    assert os.path.isdir(mine) and os.path.isdir(get_platform().storage.folder)
    fresh.clear()
