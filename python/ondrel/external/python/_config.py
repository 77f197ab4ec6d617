"""The local worker's configuration file: which scripts it offers and how integrations run.

The file is TOML; its path comes from the environment variable ``ONDREL_WORKER_CONFIG``.
Without the variable the worker runs every job's own script with its own interpreter.
Unknown keys are refused, so that a misspelt security setting cannot pass unnoticed.
"""

from __future__ import annotations

import os
import sys
import tomllib
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from pathlib import Path

from ondrel.errors import ExecutionError

CONFIG_ENV_VAR = "ONDREL_WORKER_CONFIG"

_TOP_KEYS = frozenset(
    {"python", "only_configured_scripts", "jobs_folder", "max_output_bytes", "environment",
     "pass_environment", "scripts", "integrations"}
)
MAX_OUTPUT_BYTES = 1 << 30
_INTEGRATION_KEYS = frozenset({"command", "environment"})


@dataclass(frozen=True)
class IntegrationConfig:
    """How one integration runs a script: its command and the extra variables it needs.

    ``command`` items may hold ``{python}`` (the worker's interpreter) and ``{script}`` (the
    script's path in the job folder); without ``{script}`` the path is appended at the end.
    """

    command: tuple[str, ...]
    environment: Mapping[str, str] = field(default_factory=dict)


@dataclass(frozen=True)
class WorkerConfig:
    """The settings of a local worker; the defaults are those of a worker with no file."""

    python: str = sys.executable
    only_configured_scripts: bool = False
    jobs_folder: Path | None = None
    max_output_bytes: int = MAX_OUTPUT_BYTES
    environment: Mapping[str, str] = field(default_factory=dict)
    pass_environment: tuple[str, ...] = ()
    scripts: Mapping[str, Path] = field(default_factory=dict)
    integrations: Mapping[str, IntegrationConfig] = field(default_factory=dict)
    source: Path | None = None

    def command_for(self, integration: str) -> IntegrationConfig:
        """The integration's configured command, or the worker's interpreter when none is set."""
        configured = self.integrations.get(integration)
        if configured is not None:
            return configured
        return IntegrationConfig(command=("{python}", "{script}"))

    def describe(self) -> str:
        """Where the settings come from, for error messages."""
        if self.source is None:
            return f"the default worker settings (no file named by {CONFIG_ENV_VAR})"
        return f"the worker configuration file {str(self.source)!r}"


def load_worker_config(path: str | os.PathLike[str] | None = None) -> WorkerConfig:
    """Read the worker configuration at ``path``, or at ``$ONDREL_WORKER_CONFIG`` when not given.

    Returns the default settings when neither names a file. Raises ``ExecutionError`` when the
    file cannot be read or holds a setting the worker does not know.
    """
    if path is None:
        path = os.environ.get(CONFIG_ENV_VAR) or None
        if path is None:
            return WorkerConfig()
    source = Path(path).expanduser().absolute()
    try:
        with source.open("rb") as stream:
            data = tomllib.load(stream)
    except OSError as exc:
        raise ExecutionError(
            f"cannot read the worker configuration file {str(source)!r} "
            f"(named by {CONFIG_ENV_VAR}): {exc.strerror or exc}"
        ) from None
    except tomllib.TOMLDecodeError as exc:
        raise ExecutionError(
            f"the worker configuration file {str(source)!r} is not valid TOML: {exc}"
        ) from None
    return _parse(data, source)


def _parse(data: dict[str, object], source: Path) -> WorkerConfig:
    def fail(message: str) -> ExecutionError:
        return ExecutionError(f"worker configuration file {str(source)!r}: {message}")

    unknown = sorted(set(data) - _TOP_KEYS)
    if unknown:
        known = ", ".join(sorted(_TOP_KEYS))
        raise fail(f"unknown setting(s) {', '.join(unknown)}; known: {known}")
    base = source.parent

    python = data.get("python", sys.executable)
    if not isinstance(python, str) or not python:
        raise fail("'python' must be the path of an interpreter")
    python = _program(python, base)
    only = data.get("only_configured_scripts", False)
    if not isinstance(only, bool):
        raise fail("'only_configured_scripts' must be true or false")
    jobs_folder = data.get("jobs_folder")
    if jobs_folder is not None:
        if not isinstance(jobs_folder, str) or not jobs_folder:
            raise fail("'jobs_folder' must be the path of a folder")
        jobs_folder = base / Path(jobs_folder).expanduser()
    max_output_bytes = data.get("max_output_bytes", MAX_OUTPUT_BYTES)
    if isinstance(max_output_bytes, bool) or not isinstance(max_output_bytes, int) or (
        max_output_bytes <= 0
    ):
        raise fail("'max_output_bytes' must be a positive whole number of bytes")
    environment = _text_table(data.get("environment", {}), "environment", fail)
    passed = data.get("pass_environment", [])
    if not isinstance(passed, list) or not all(isinstance(n, str) and n for n in passed):
        raise fail("'pass_environment' must be a list of variable names")

    scripts: dict[str, Path] = {}
    for key, value in _table(data.get("scripts", {}), "scripts", fail).items():
        if not isinstance(value, str) or not value:
            raise fail(f"scripts.{key} must be the path of a script")
        scripts[key] = base / Path(value).expanduser()

    integrations: dict[str, IntegrationConfig] = {}
    for name, entry in _table(data.get("integrations", {}), "integrations", fail).items():
        entry = _table(entry, f"integrations.{name}", fail)
        unknown = sorted(set(entry) - _INTEGRATION_KEYS)
        if unknown:
            raise fail(f"integrations.{name}: unknown setting(s) {', '.join(unknown)}")
        command = entry.get("command")
        if not isinstance(command, list) or not command or not all(
            isinstance(part, str) and part for part in command
        ):
            raise fail(f"integrations.{name}.command must be a non-empty list of texts")
        integrations[name] = IntegrationConfig(
            command=(_program(command[0], base), *command[1:]),
            environment=_text_table(
                entry.get("environment", {}), f"integrations.{name}.environment", fail
            ),
        )

    return WorkerConfig(
        python=python,
        only_configured_scripts=only,
        jobs_folder=jobs_folder,
        max_output_bytes=max_output_bytes,
        environment=environment,
        pass_environment=tuple(passed),
        scripts=scripts,
        integrations=integrations,
        source=source,
    )


_Fail = Callable[[str], ExecutionError]


def _program(value: str, base: Path) -> str:
    """A program's path as the file gives it, taken from the file's folder when it is relative;
    a bare name (no folder) is looked up on the script's PATH, a ``{python}`` left as it is."""
    if "{" in value or os.sep not in value:
        return value
    return str(base / Path(value).expanduser())


def _table(value: object, name: str, fail: _Fail) -> dict[str, object]:
    if not isinstance(value, dict):
        raise fail(f"'{name}' must be a table")
    return value


def _text_table(value: object, name: str, fail: _Fail) -> dict[str, str]:
    texts: dict[str, str] = {}
    for key, item in _table(value, name, fail).items():
        if not isinstance(item, str):
            raise fail(f"{name}.{key} must be a text (quote numbers and paths)")
        texts[key] = item
    return texts
