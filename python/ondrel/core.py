"""Core host services: the file holder :class:`File` and the add-on job call.

``File`` holds the content of a file given by a path, by data in memory, or by a URL of the
platform's temporary storage. ``_post_on_addon_endpoint`` runs a job on an add-on of the
platform (the embedded local platform, see :mod:`ondrel._platform`) and returns its answer.
"""

from __future__ import annotations

import contextlib
import enum
import errno
import io
import os
from collections.abc import Iterator, Mapping
from typing import TYPE_CHECKING, BinaryIO, TextIO, Union

if TYPE_CHECKING:
    from pathlib import Path

__all__ = ["File"]

PathType = Union[str, bytes, os.PathLike]


class File:
    """The content of a file, given by a path, by data, or by a URL.

    Make one with :meth:`from_path`, :meth:`from_data` or :meth:`from_url`. A path-backed or
    URL-backed file is read when its content is asked for, each time; :meth:`copy` of a
    URL-backed file fetches it once into a file held in memory. Pickled (sent to another
    process), any file travels as its content and arrives as a file holding that data.
    """

    class SourceType(enum.Enum):
        """Where the content of a :class:`File` comes from."""

        PATH = "path"
        DATA = "data"
        URL = "url"

    __slots__ = ("_source_type", "_source")

    def __init__(self, *, source_type: "File.SourceType", source: Union[str, bytes]) -> None:
        """Do not use this __init__ directly: use ``from_path``, ``from_data`` or ``from_url``."""
        if not isinstance(source_type, File.SourceType):
            raise TypeError(f"source_type must be a File.SourceType, not {type(source_type).__name__}")
        self._source_type = source_type
        self._source = source

    # Making files ------------------------------------------------------------------------

    @classmethod
    def from_path(cls, file_path: PathType) -> "File":
        """A file read from ``file_path`` (text, bytes or path-like) whenever its content is asked for."""
        path = os.fspath(file_path)
        if isinstance(path, bytes):
            path = os.fsdecode(path)
        return cls(source_type=cls.SourceType.PATH, source=os.path.abspath(path))

    @classmethod
    def from_data(cls, data: Union[bytes, bytearray, memoryview, str]) -> "File":
        """A file holding ``data``; text is stored encoded as UTF-8."""
        if isinstance(data, str):
            content = data.encode("utf-8")
        elif isinstance(data, (bytes, bytearray, memoryview)):
            content = bytes(data)
        else:
            raise TypeError(f"data must be bytes or str, not {type(data).__name__}")
        return cls(source_type=cls.SourceType.DATA, source=content)

    @classmethod
    def from_url(cls, url: str) -> "File":
        """A file downloaded from ``url`` whenever its content is asked for."""
        if not isinstance(url, str):
            raise TypeError(f"url must be str, not {type(url).__name__}")
        return cls(source_type=cls.SourceType.URL, source=url)

    # Properties --------------------------------------------------------------------------

    @property
    def source_type(self) -> "File.SourceType":
        """Where the content comes from: ``File.SourceType.PATH``, ``DATA`` or ``URL``."""
        return self._source_type

    @property
    def path(self) -> str | None:
        """The absolute path of a path-backed file, else None."""
        return self._source if self._source_type is File.SourceType.PATH else None

    @property
    def url(self) -> str | None:
        """The URL of a URL-backed file, else None."""
        return self._source if self._source_type is File.SourceType.URL else None

    # Content -----------------------------------------------------------------------------

    def copy(self) -> "File":
        """A file that no longer depends on where this one came from.

        A URL-backed file is downloaded once into memory; a path-backed file is read once into
        memory; a data file is returned as a new file holding the same data.
        """
        if self._source_type is File.SourceType.DATA:
            return File(source_type=File.SourceType.DATA, source=self._source)
        return File.from_data(self.getvalue_binary())

    @contextlib.contextmanager
    def open_binary(self) -> Iterator[BinaryIO]:
        """Open the content for binary reading; the stream is closed when the block ends."""
        stream = self._open_stream()
        try:
            yield stream
        finally:
            stream.close()

    @contextlib.contextmanager
    def open(self, encoding: str = "utf-8") -> Iterator[TextIO]:
        """Open the content for text reading in ``encoding``; closed when the block ends."""
        stream = io.TextIOWrapper(self._open_stream(), encoding=encoding)
        try:
            yield stream
        finally:
            stream.close()

    def getvalue_binary(self) -> bytes:
        """The whole content as bytes."""
        if self._source_type is File.SourceType.DATA:
            return self._source
        with self.open_binary() as stream:
            return stream.read()

    def getvalue(self, encoding: str = "utf-8") -> str:
        """The whole content decoded as text in ``encoding``."""
        return self.getvalue_binary().decode(encoding)

    def save(self, path: PathType) -> Path:
        """Write the content to ``path`` and return its absolute path.

        The content goes to a temporary file beside ``path`` that then replaces it in one step,
        so ``path`` never holds half a file, even when reading the content fails midway. The
        file gets the mode of any new file (0666 less the umask). An error in making or
        replacing the file names ``path``; nothing is left behind.
        """
        # Imported here: every compiled module imports this one, and these cost more than the rest of it.
        import shutil
        from pathlib import Path

        target = Path(os.fsdecode(os.fspath(path))).absolute()
        try:
            handle, temporary = _new_file_beside(target)
        except OSError as exc:
            raise type(exc)(exc.errno, exc.strerror, str(target)) from None
        try:
            with os.fdopen(handle, "wb") as out, self.open_binary() as stream:
                shutil.copyfileobj(stream, out)
                out.flush()
                os.fsync(out.fileno())
            try:
                os.replace(temporary, target)
            except OSError as exc:
                raise type(exc)(exc.errno, exc.strerror, str(target)) from None
        except BaseException:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(temporary)
            raise
        return target

    def _open_stream(self) -> BinaryIO:
        if self._source_type is File.SourceType.DATA:
            return io.BytesIO(self._source)
        if self._source_type is File.SourceType.PATH:
            return open(self._source, "rb")
        from ondrel._platform import get_platform

        return get_platform().storage.open(self._source)

    # Sent to another process (a cluster's worker, or back from one), a file travels as its
    # content: a path or a temporary-storage URL of one machine means nothing on another.
    def __reduce__(self) -> tuple:
        return (File.from_data, (self.getvalue_binary(),))

    def __copy__(self) -> "File":
        return File(source_type=self._source_type, source=self._source)

    def __deepcopy__(self, memo: dict) -> "File":
        return self.__copy__()

    def __repr__(self) -> str:
        if self._source_type is File.SourceType.DATA:
            return f"File.from_data(<{len(self._source)} bytes>)"
        method = "from_path" if self._source_type is File.SourceType.PATH else "from_url"
        return f"File.{method}({self._source!r})"


def _new_file_beside(target: "Path") -> tuple[int, str]:
    """A new file ``.<name>.<random>.part`` beside ``target``, opened for writing: (descriptor, path).

    Its name is cut to the 255 bytes that file systems allow; it gets the mode of a new file.
    """
    import secrets

    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
    for _ in range(100):
        token = secrets.token_hex(4)
        name = target.name
        while len(os.fsencode(f".{name}.{token}.part")) > 255:
            name = name[:-1]
        temporary = os.path.join(target.parent, f".{name}.{token}.part")
        try:
            return os.open(temporary, flags, 0o666), temporary
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no free name for a temporary file beside it", str(target))


def _post_on_addon_endpoint(
    path: str,
    body: dict,
    *,
    timeout: float | None,
    error_mapping: Mapping[str, type[BaseException]] | None = None,
) -> object:
    """Run a job on the add-on at endpoint ``path`` with ``body`` and return its answer.

    An error that the add-on reports under a type name found in ``error_mapping`` is raised
    as the mapped class, made with the add-on's message. Any other failure raises
    :class:`~ondrel.errors.AddonError` saying what failed; a job still running after
    ``timeout`` seconds is stopped and raises :class:`~ondrel.errors.AddonTimeoutError`; an
    endpoint with no add-on raises :class:`~ondrel.errors.AddonNotFoundError`.
    """
    from ondrel._platform import get_platform

    return get_platform().run_job(path, body, timeout=timeout, error_mapping=error_mapping)
