"""Client of the platform's services used by add-on jobs."""

from __future__ import annotations

import io
from typing import BinaryIO

__all__ = ["API"]


class API:
    """Access to the platform's temporary file storage (the embedded local platform)."""

    def __init__(self) -> None:
        from ondrel._platform import get_platform

        self._platform = get_platform()

    def _upload_temporary_file(self, stream: BinaryIO) -> str:
        """Upload the whole content of ``stream`` and return the URL to download it from.

        A seekable stream is read from its start whatever its position, and is left at the
        position it had; a stream that cannot seek is read from where it stands. The file is
        the input of a job: it is removed when the job that names it ends.
        """
        if not callable(getattr(stream, "read", None)):
            raise TypeError(
                f"The file to upload must be a binary stream, such as open(path, 'rb') or io.BytesIO(data), "
                f"not {type(stream).__name__}"
            )
        storage = self._platform.storage
        if not _seekable(stream):
            return storage.put_stream(stream, job_input=True)
        position = stream.tell()
        stream.seek(0)
        try:
            return storage.put_stream(stream, job_input=True)
        finally:
            stream.seek(position)

    def _generate_temporary_file_urls(self) -> tuple[str, dict, str]:
        """A fresh slot for a job's output: (upload URL, upload fields, download URL)."""
        return self._platform.storage.new_slot()


def _seekable(stream: BinaryIO) -> bool:
    try:
        return bool(stream.seekable())
    except (AttributeError, ValueError, OSError, io.UnsupportedOperation):
        return False
