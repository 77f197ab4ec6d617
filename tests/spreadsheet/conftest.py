"""Recording stand-ins for the host components that ondrel.external.spreadsheet looks up at call time."""

import contextlib
import enum
import io

import pytest

import ondrel.external.spreadsheet as spreadsheet


class FakeFile:
    """Records how the module makes, copies and opens files."""

    class SourceType(enum.Enum):
        PATH = "path"
        DATA = "data"
        URL = "url"

    log = None  # the Host's event list, set by the fixture

    def __init__(self, source_type, source):
        self.source_type = source_type
        self.source = source
        self.streams = []

    @classmethod
    def from_path(cls, path):
        cls.log.append(("File.from_path", path))
        return cls(cls.SourceType.PATH, path)

    @classmethod
    def from_data(cls, data):
        cls.log.append(("File.from_data", data))
        return cls(cls.SourceType.DATA, data)

    @classmethod
    def from_url(cls, url):
        cls.log.append(("File.from_url", url))
        return cls(cls.SourceType.URL, url)

    def copy(self):
        self.log.append(("copy", self.source))
        return FakeFile(self.SourceType.DATA, b"copy of " + str(self.source).encode())

    @contextlib.contextmanager
    def open_binary(self):
        stream = io.BytesIO(b"content of " + str(self.source).encode())
        self.streams.append(stream)
        self.log.append(("open", self.source))
        try:
            yield stream
        except BaseException as error:
            self.log.append(("close after", type(error).__name__))
            raise
        finally:
            stream.close()
        self.log.append(("close",))

    def getvalue_binary(self):
        return b"content of " + str(self.source).encode()


class Host:
    """API, File and _post_on_addon_endpoint doubles sharing one event log."""

    def __init__(self):
        self.log = []
        self.answer = {"output": {"area": 0.15}}
        self.upload_error = None
        self.slot = ("upload-url", {"key": "k"}, "download-url")
        self.uploads = []  # (position, whole content) of every uploaded stream
        host = self

        class FakeAPI:
            def __init__(self):
                host.log.append(("API",))

            def _upload_temporary_file(self, stream):
                position = stream.tell()
                stream.seek(0)
                host.uploads.append((position, stream.read()))
                stream.seek(position)
                host.log.append(("upload",))
                if host.upload_error:
                    raise host.upload_error
                return f"url-{len(host.uploads)}"

            def _generate_temporary_file_urls(self):
                host.log.append(("slot",))
                return host.slot

        def post(path, body, **kwargs):
            host.log.append(("post", path, body, kwargs))
            if isinstance(host.answer, BaseException):
                raise host.answer
            return host.answer

        FakeFile.log = self.log
        self.API, self.File, self.post = FakeAPI, FakeFile, post

    def events(self):
        return [event[0] for event in self.log]


@pytest.fixture
def host(monkeypatch):
    fake = Host()
    monkeypatch.setattr(spreadsheet, "API", fake.API)
    monkeypatch.setattr(spreadsheet, "File", fake.File)
    monkeypatch.setattr(spreadsheet, "_post_on_addon_endpoint", fake.post)
    return fake


