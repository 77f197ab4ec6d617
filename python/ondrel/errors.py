"""Errors raised by the host layer of the SDK.

Every error the host raises derives from :class:`OndrelError`, so an application can catch
all of them at once. Each takes one message argument.
"""

__all__ = [
    "OndrelError",
    "SpreadsheetError",
    "ExecutionError",
    "StorageError",
    "AddonError",
    "AddonNotFoundError",
    "AddonTimeoutError",
    "ClusterError",
]


class OndrelError(Exception):
    """Base class of the errors raised by the host layer."""

    def __init__(self, message: str = "") -> None:
        super().__init__(message)

    @property
    def message(self) -> str:
        """The message the error was made with."""
        return self.args[0] if self.args else ""


class SpreadsheetError(OndrelError):
    """A spreadsheet job cannot be done: bad input cells, an unknown result, or an error
    reported by a spreadsheet add-on."""


class ExecutionError(OndrelError):
    """A generic error while running an analysis; the message gives more information."""


class StorageError(OndrelError):
    """A file could not be stored in or fetched from the platform's temporary storage."""


class AddonError(OndrelError):
    """An add-on job failed in a way the caller did not ask to have mapped to its own error."""


class AddonNotFoundError(AddonError):
    """No add-on is registered for the endpoint a job was posted to."""


class AddonTimeoutError(AddonError):
    """An add-on job ran longer than its time-out and was stopped."""


class ClusterError(OndrelError):
    """The cluster that jobs are to run on cannot be used: not reachable, or Dask is missing."""
