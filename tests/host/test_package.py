"""What a newcomer meets first: the version, `python -m ondrel info`, and saving a file."""

import os
import shutil
import subprocess
import sys
import sysconfig
from importlib import metadata
from pathlib import PurePosixPath

import pytest

import ondrel
from ondrel.core import File


def test_version_comes_from_the_installed_metadata():
    assert ondrel.__version__ == metadata.version("ondrel")
    assert metadata.metadata("ondrel")["License-Expression"] == "MIT"


def _info(env):
    run = subprocess.run([sys.executable, "-m", "ondrel", "info"], capture_output=True, text=True,
                         env=env, timeout=120)
    assert run.returncode == 0, run.stderr
    return {line[:27].strip(): line[27:] for line in run.stdout.splitlines()}


def test_info_names_versions_libreoffice_the_worker_and_temporary_files(tmp_path):
    config = tmp_path / "worker.toml"
    config.write_text(f'jobs_folder = "{tmp_path}"\n')
    facts = _info({**os.environ, "ONDREL_WORKER_CONFIG": str(config), "TMPDIR": str(tmp_path)})
    assert facts["ondrel"].startswith(ondrel.__version__ + " (")
    assert facts["Python"].startswith("3.13.")
    if shutil.which("soffice"):
        assert "LibreOffice" in facts["LibreOffice"] and facts["its UNO bridge"]
    assert repr(str(config)) in facts["analysis worker"]
    assert facts["job folders in"] == str(tmp_path)
    assert facts["temporary files"].startswith(str(tmp_path) + " ")


def test_info_says_where_jobs_run():
    assert _info({k: v for k, v in os.environ.items() if k != "ONDREL_CLUSTER"})["jobs run on"].startswith(
        "this machine ($ONDREL_CLUSTER=tcp://host:8786 sends them to a Dask cluster")
    facts = _info({**os.environ, "ONDREL_CLUSTER": "tcp://scheduler.example:8786"})
    assert facts["jobs run on"] == "the Dask cluster at tcp://scheduler.example:8786"


def test_info_reports_a_broken_worker_configuration_instead_of_failing(tmp_path):
    facts = _info({**os.environ, "ONDREL_WORKER_CONFIG": str(tmp_path / "missing.toml")})
    assert facts["analysis worker"].startswith("configuration error") and "missing.toml" in facts["analysis worker"]


@pytest.mark.parametrize("source", ["data", "path"])
def test_save_writes_the_content_and_replaces_an_existing_file_whole(tmp_path, source):
    content = b"beam\x00" * 1000
    if source == "data":
        file = File.from_data(content)
    else:
        (tmp_path / "in.bin").write_bytes(content)
        file = File.from_path(tmp_path / "in.bin")
    target = tmp_path / "out.bin"
    target.write_bytes(b"old")
    assert file.save(str(target)) == target
    assert target.read_bytes() == content
    assert target.stat().st_mode & 0o777 == 0o666 & ~_umask()
    assert not [p.name for p in tmp_path.iterdir() if p.name.endswith(".part")]


def test_save_leaves_the_old_file_and_no_temporary_when_reading_fails(tmp_path):
    target = tmp_path / "out.bin"
    target.write_bytes(b"old")
    missing = File.from_path(tmp_path / "gone.bin")
    with pytest.raises(FileNotFoundError):
        missing.save(target)
    assert target.read_bytes() == b"old"
    assert [p.name for p in tmp_path.iterdir()] == ["out.bin"]


@pytest.mark.parametrize("name", ["b" * 255, "\u00e9" * 127 + "x", "a" * 241 + ".csv"])
def test_save_takes_any_name_the_file_system_takes(tmp_path, name):
    target = tmp_path / name
    assert File.from_data(b"beam").save(target) == target
    assert target.read_bytes() == b"beam"
    assert [p.name for p in tmp_path.iterdir()] == [name]


@pytest.mark.parametrize(
    ("where", "error"),
    [("missing/out.bin", FileNotFoundError), ("folder", IsADirectoryError)],
    ids=["folder-missing", "target-is-a-folder"],
)
def test_save_that_cannot_write_names_the_target_and_leaves_nothing(tmp_path, where, error):
    (tmp_path / "folder").mkdir()
    with pytest.raises(error) as caught:
        File.from_data(b"beam").save(tmp_path / where)
    assert caught.value.filename == str(tmp_path / where)
    assert [p.name for p in tmp_path.iterdir()] == ["folder"]
    assert list((tmp_path / "folder").iterdir()) == []


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_the_installed_files_are_the_package_and_its_data_and_nothing_else():
    files = [PurePosixPath(str(f)) for f in metadata.files("ondrel") or []]
    info = f"ondrel-{ondrel.__version__}.dist-info"
    stray = [f for f in files if f.parts[0] not in ("ondrel", info)
             or f.suffix in {".o", ".a", ".cmake", ".ninja", ".log", ".whl"}
             or {"tests", "bench", "build", "CMakeFiles"} & set(f.parts)]
    assert stray == []
    needed = {"ondrel/py.typed", "ondrel/external/spreadsheet.pyi", "ondrel/external/girdex.pyi",
              "ondrel/external/idea_rcs/objects.pyi", "ondrel/_platform/spreadsheet/calc_server.py",
              "ondrel/examples/demo.py", "ondrel/examples/beam_calculation.xlsx", f"{info}/licenses/LICENSE"}
    assert needed <= {str(f) for f in files}
    modules = [f.name for f in files if f.suffix == ".so"]
    assert sorted(modules) == sorted(name + sysconfig.get_config_var("EXT_SUFFIX")
                                     for name in ("objects", "spreadsheet", "girdex"))
