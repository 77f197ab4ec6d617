"""Temporary file storage of the embedded platform.

Files live in a private folder (mode 0700) that is removed when the process exits. Each
stored file has a download URL ``ondrel-tmp://files/<key>``; a slot made for a job's output
also has an upload URL ``ondrel-tmp://upload/<key>`` and upload fields that must be sent
with the upload. A slot accepts one upload; a download before the upload fails clearly.

A file stored as a job's input (``put_stream(..., job_input=True)``) is removed when the
jobs that use it end (see :meth:`LocalStorage.claim`), and so is an output slot still empty
then; what is left is what a caller can still fetch. Like any temporary storage, files
expire: those older than ``max_age`` seconds (a day by default) are removed as new ones come
in, so a long-running program does not fill the disk.

A process ended without running its exit handlers (SIGTERM, SIGKILL) cannot remove its
folders; :func:`private_folder` removes those of processes that are gone when it makes a new one.
"""

from __future__ import annotations

import atexit
import contextlib
import fcntl
import os
import secrets
import shutil
import tempfile
import threading
import time
from collections.abc import Iterator
from typing import BinaryIO

from ondrel.errors import StorageError

SCHEME = "ondrel-tmp"
_DOWNLOAD_PREFIX = f"{SCHEME}://files/"
_UPLOAD_PREFIX = f"{SCHEME}://upload/"
_CHUNK = 1 << 20
_SWEEP_EVERY_SECONDS = 60.0


_OWNER_FILE = ".owner"
_owner_locks: list[int] = []  # descriptors holding this process's folders' owner locks, kept open


def private_folder(prefix: str) -> str:
    """A new private folder ``<prefix><pid>-<random>`` in the temporary folder, after removing
    the folders of that prefix whose owning process is gone.

    The owner holds a lock on the folder's ``.owner`` file for its whole life; the lock goes
    with the process however it ends, so a folder whose lock can be taken is abandoned.
    """
    remove_abandoned_folders(prefix)
    folder = tempfile.mkdtemp(prefix=f"{prefix}{os.getpid()}-")
    descriptor = os.open(os.path.join(folder, _OWNER_FILE), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
    fcntl.flock(descriptor, fcntl.LOCK_EX)
    _owner_locks.append(descriptor)
    return folder


def remove_abandoned_folders(prefix: str) -> None:
    """Remove this user's folders ``<prefix><pid>-*`` of the temporary folder whose owner is gone."""
    for folder in abandoned_folders(prefix, tempfile.gettempdir()):
        shutil.rmtree(folder, ignore_errors=True)


def abandoned_folders(prefix: str, parent: str) -> list[str]:
    """This user's folders ``<prefix><pid>-*`` in ``parent`` whose owning process is gone: its
    pid runs no process, and nobody holds the lock of the folder's ``.owner`` file."""
    try:
        entries = list(os.scandir(parent))
    except OSError:
        return []
    found = []
    for entry in entries:
        if not entry.name.startswith(prefix):
            continue
        pid_text, dash, _ = entry.name[len(prefix):].partition("-")
        if not dash or not pid_text.isdigit():
            continue
        try:
            if not entry.is_dir(follow_symlinks=False) or entry.stat(follow_symlinks=False).st_uid != os.getuid():
                continue
        except OSError:
            continue
        if int(pid_text) == os.getpid() or _process_exists(int(pid_text)) or not _owner_gone(entry.path):
            continue
        found.append(entry.path)
    return found


def lock_owner_file(folder: int) -> int:
    """Create the ``.owner`` file in the folder opened as ``folder`` and lock it for this process:
    the descriptor, to keep open as long as the folder is this process's."""
    descriptor = os.open(_OWNER_FILE, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600,
                         dir_fd=folder)
    fcntl.flock(descriptor, fcntl.LOCK_EX)
    return descriptor


def _process_exists(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _owner_gone(folder: str) -> bool:
    """Whether nobody holds the lock of ``folder``'s owner file (a process of another pid namespace may)."""
    try:
        descriptor = os.open(os.path.join(folder, _OWNER_FILE), os.O_RDWR | os.O_CLOEXEC | os.O_NOFOLLOW)
    except FileNotFoundError:
        return True
    except OSError:
        return False
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        return False
    finally:
        os.close(descriptor)
    return True


class _Slot:
    __slots__ = ("key", "token", "filled", "uploading", "made", "job_input", "users")

    def __init__(self, key: str, token: str | None, filled: bool, job_input: bool = False) -> None:
        self.key = key
        self.token = token
        self.filled = filled
        self.uploading = False  # an upload to the slot is being written
        self.made = time.monotonic()
        self.job_input = job_input
        self.users = 0  # running jobs that use it


class LocalStorage:
    """A thread-safe store of temporary files in a private folder."""

    def __init__(self, max_age: float = 24 * 3600.0) -> None:
        self.max_age = max_age
        self._lock = threading.Lock()
        self._slots: dict[str, _Slot] = {}
        self._folder: str | None = None
        self._last_sweep = time.monotonic()

    def _sweep(self) -> None:
        """Remove expired files; called with the lock held, at most once a minute."""
        now = time.monotonic()
        if now - self._last_sweep < min(_SWEEP_EVERY_SECONDS, self.max_age):
            return
        self._last_sweep = now
        for key in [k for k, slot in self._slots.items() if now - slot.made > self.max_age]:
            del self._slots[key]
            if self._folder is not None:
                try:
                    os.unlink(os.path.join(self._folder, key))
                except OSError:
                    pass

    @property
    def folder(self) -> str:
        """The private folder, made on first use."""
        with self._lock:
            return self._ensure_folder()

    def _ensure_folder(self) -> str:
        if self._folder is None or not os.path.isdir(self._folder):
            self._folder = private_folder("ondrel-storage-")
            atexit.register(shutil.rmtree, self._folder, True)
        return self._folder

    def _path(self, key: str) -> str:
        return os.path.join(self._ensure_folder(), key)

    # Writing -----------------------------------------------------------------------------

    def put_stream(self, stream: BinaryIO, *, job_input: bool = False) -> str:
        """Store the rest of ``stream`` (read from its current position) and return its URL.

        ``job_input``: the file is the input of a job, removed when the jobs that use it end.
        """
        key = secrets.token_hex(16)
        with self._lock:
            path = self._path(key)
        _write_atomically(path, stream)
        with self._lock:
            self._sweep()
            self._slots[key] = _Slot(key, None, True, job_input)
        return _DOWNLOAD_PREFIX + key

    def put_bytes(self, data: bytes) -> str:
        """Store ``data`` and return its download URL."""
        import io

        with io.BytesIO(data) as stream:
            return self.put_stream(stream)

    @contextlib.contextmanager
    def claim(self, input_url: object, output_url: object) -> Iterator[None]:
        """Mark the files of one job in use for the block; when the last job using them ends, a
        job input stored at ``input_url`` is removed, and so is the slot of ``output_url`` if
        nothing was uploaded to it."""
        with self._lock:
            input_slot, output_slot = (self._slots.get(key) if key is not None else None
                                       for key in (self._known_key(input_url), self._known_key(output_url)))
            used = [slot for slot in (input_slot, output_slot) if slot is not None]
            for slot in used:
                slot.users += 1
        try:
            yield
        finally:
            with self._lock:
                for slot in used:
                    slot.users -= 1
                unused = [slot for slot in used
                          if slot.users == 0 and (slot.job_input if slot is input_slot else not slot.filled)
                          and self._slots.get(slot.key) is slot]
                for slot in unused:
                    del self._slots[slot.key]
                folder = self._folder
            if folder is not None:
                for slot in unused:
                    with contextlib.suppress(OSError):
                        os.unlink(os.path.join(folder, slot.key))

    def remove(self, url: object) -> None:
        """Forget the file or slot of a download URL and remove its file (an unknown URL: nothing)."""
        key = self._known_key(url)
        with self._lock:
            slot = self._slots.pop(key, None) if key is not None else None
            folder = self._folder
        if slot is not None and folder is not None:
            with contextlib.suppress(OSError):
                os.unlink(os.path.join(folder, slot.key))

    def keys(self) -> list[str]:
        """The keys of the files and slots held now."""
        with self._lock:
            return list(self._slots)

    @staticmethod
    def _known_key(url: object) -> str | None:
        if isinstance(url, str) and url.startswith(_DOWNLOAD_PREFIX):
            key = url[len(_DOWNLOAD_PREFIX):]
            if len(key) == 32 and all(c in "0123456789abcdef" for c in key):
                return key
        return None

    def new_slot(self) -> tuple[str, dict, str]:
        """Make an empty slot: (upload URL, upload fields, download URL)."""
        key = secrets.token_hex(16)
        token = secrets.token_hex(16)
        with self._lock:
            self._sweep()
            self._slots[key] = _Slot(key, token, False)
        return _UPLOAD_PREFIX + key, {"key": key, "token": token}, _DOWNLOAD_PREFIX + key

    def upload(self, upload_url: str, fields: dict, data: bytes | BinaryIO) -> None:
        """Fill the slot of ``upload_url``; ``fields`` must be those the slot was made with."""
        key = _key_of(upload_url, _UPLOAD_PREFIX, "upload")
        with self._lock:
            slot = self._slots.get(key)
            if slot is None or slot.token is None:
                raise StorageError(f"Unknown upload URL {upload_url!r}")
            if not isinstance(fields, dict) or fields.get("key") != key or fields.get("token") != slot.token:
                raise StorageError(f"The upload fields do not match the upload URL {upload_url!r}")
            if slot.filled:
                raise StorageError(f"A file was already uploaded to {upload_url!r}")
            if slot.uploading:
                raise StorageError(f"A file is already being uploaded to {upload_url!r}")
            slot.uploading = True
            path = self._path(key)
        written = False
        try:
            if isinstance(data, (bytes, bytearray, memoryview)):
                import io

                with io.BytesIO(bytes(data)) as stream:
                    _write_atomically(path, stream)
            else:
                _write_atomically(path, data)
            written = True
        finally:
            with self._lock:
                slot.uploading = False
                slot.filled = written

    # Reading -----------------------------------------------------------------------------

    def open(self, url: str) -> BinaryIO:
        """Open the stored file of a download URL for binary reading."""
        key = _key_of(url, _DOWNLOAD_PREFIX, "download")
        with self._lock:
            slot = self._slots.get(key)
            if slot is None:
                raise StorageError(f"No file is stored at {url!r} (unknown URL, expired, or storage cleared)")
            if not slot.filled:
                raise StorageError(f"Nothing has been uploaded to {url!r} yet")
            path = self._path(key)
        try:
            return open(path, "rb")
        except OSError as exc:
            raise StorageError(f"The file stored at {url!r} cannot be read: {exc}") from exc

    def read(self, url: str) -> bytes:
        """The whole content stored at a download URL."""
        with self.open(url) as stream:
            return stream.read()

    def clear(self) -> None:
        """Forget every stored file and remove the folder."""
        with self._lock:
            self._slots.clear()
            folder, self._folder = self._folder, None
        if folder is not None:
            shutil.rmtree(folder, ignore_errors=True)


def _key_of(url: object, prefix: str, kind: str) -> str:
    if not isinstance(url, str):
        raise StorageError(f"A {kind} URL must be text, not {type(url).__name__}")
    if not url.startswith(prefix):
        raise StorageError(
            f"Cannot {kind} {url!r}: the local platform only serves its own temporary storage "
            f"URLs ({prefix}...)"
        )
    key = url[len(prefix):]
    if len(key) != 32 or any(c not in "0123456789abcdef" for c in key):
        raise StorageError(f"Malformed {kind} URL {url!r}")
    return key


def _write_atomically(path: str, stream: BinaryIO) -> None:
    partial = path + ".part"
    try:
        with open(partial, "wb") as out:
            while True:
                chunk = stream.read(_CHUNK)
                if not chunk:
                    break
                if isinstance(chunk, str):
                    chunk = chunk.encode("utf-8")
                out.write(chunk)
        os.replace(partial, path)
    except BaseException:
        try:
            os.unlink(partial)
        except OSError:
            pass
        raise
