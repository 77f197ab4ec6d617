"""Temporary file storage of the embedded platform.

Files live in a private folder (mode 0700) that is removed when the process exits. Each
stored file has a download URL ``ondrel-tmp://files/<key>``; a slot made for a job's output
also has an upload URL ``ondrel-tmp://upload/<key>`` and upload fields that must be sent
with the upload. A slot accepts one upload; a download before the upload fails clearly.
Like any temporary storage, files expire: those older than ``max_age`` seconds (a day by
default) are removed as new ones come in, so a long-running program does not fill the disk.
"""

from __future__ import annotations

import atexit
import os
import secrets
import shutil
import tempfile
import threading
import time
from typing import BinaryIO

from ondrel.errors import StorageError

SCHEME = "ondrel-tmp"
_DOWNLOAD_PREFIX = f"{SCHEME}://files/"
_UPLOAD_PREFIX = f"{SCHEME}://upload/"
_CHUNK = 1 << 20
_SWEEP_EVERY_SECONDS = 60.0


class _Slot:
    __slots__ = ("key", "token", "filled", "made")

    def __init__(self, key: str, token: str | None, filled: bool) -> None:
        self.key = key
        self.token = token
        self.filled = filled
        self.made = time.monotonic()


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
            self._folder = tempfile.mkdtemp(prefix="ondrel-storage-")
            atexit.register(shutil.rmtree, self._folder, True)
        return self._folder

    def _path(self, key: str) -> str:
        return os.path.join(self._ensure_folder(), key)

    # Writing -----------------------------------------------------------------------------

    def put_stream(self, stream: BinaryIO) -> str:
        """Store the rest of ``stream`` (read from its current position) and return its URL."""
        key = secrets.token_hex(16)
        with self._lock:
            path = self._path(key)
        _write_atomically(path, stream)
        with self._lock:
            self._sweep()
            self._slots[key] = _Slot(key, None, True)
        return _DOWNLOAD_PREFIX + key

    def put_bytes(self, data: bytes) -> str:
        """Store ``data`` and return its download URL."""
        import io

        with io.BytesIO(data) as stream:
            return self.put_stream(stream)

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
            path = self._path(key)
        if isinstance(data, (bytes, bytearray, memoryview)):
            import io

            with io.BytesIO(bytes(data)) as stream:
                _write_atomically(path, stream)
        else:
            _write_atomically(path, data)
        with self._lock:
            slot.filled = True

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
