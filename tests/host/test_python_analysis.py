"""The analysis runner on the local worker: real scripts, real processes, a private folder each."""

import json
import os
import sys
import textwrap
import time

import pytest

from ondrel.core import File
from ondrel.errors import ExecutionError
from ondrel.external.python import PythonAnalysis


def script(source: str) -> File:
    return File.from_data(textwrap.dedent(source))


@pytest.fixture
def worker_config(tmp_path, monkeypatch):
    """Write a worker configuration (jobs kept under tmp_path/jobs) and point the worker at it."""
    jobs = tmp_path / "jobs"
    jobs.mkdir()

    def write(extra: str = "") -> None:
        path = tmp_path / "worker.toml"
        path.write_text(f'jobs_folder = "jobs"\n{textwrap.dedent(extra)}', encoding="utf-8")
        monkeypatch.setenv("ONDREL_WORKER_CONFIG", str(path))

    write()
    write.jobs = jobs
    return write


def test_script_reads_inputs_and_writes_outputs(worker_config):
    analysis = PythonAnalysis(
        script=script("""
            import json, helper
            beam = json.load(open("beam.json"))
            open("moment.txt", "w").write(str(helper.moment(beam["load"], beam["span"])))
            open("echo.bin", "wb").write(open("data.bin", "rb").read()[::-1])
            print("done")
        """),
        files=[
            ("beam.json", File.from_data('{"span": 6.0, "load": 10.0}')),
            ("helper.py", File.from_data("def moment(w, l):\n    return w * l * l / 8\n")),
            ("data.bin", File.from_data(bytes(range(256)))),
        ],
        output_filenames=["moment.txt", "echo.bin"],
    )
    analysis.execute(timeout=30)
    assert analysis.get_output_file("moment.txt").getvalue() == "45.0"
    assert analysis.get_output_file("echo.bin").getvalue_binary() == bytes(range(255, -1, -1))
    assert analysis.stdout == "done\n"
    assert list(worker_config.jobs.iterdir()) == []


@pytest.mark.parametrize(
    ("source", "outputs", "message"),
    [
        ("import sys\nsys.stderr.write('first\\nbeam too long\\n')\nsys.exit(3)", ["r.txt"],
         r"exit code 3\. Last lines of its stderr:\nfirst\nbeam too long"),
        ("raise ValueError('negative span')", ["r.txt"], r"ValueError: negative span"),
        ("open('a.txt', 'w').write('x')", ["a.txt", "b.txt"],
         r"did not produce the output file 'b.txt'.*a\.txt"),
        ("import os\nos.symlink('/etc/hostname', 'out.txt')", ["out.txt"],
         r"'out.txt' is a symbolic link"),
        ("import os\nos.mkdir('out.txt')", ["out.txt"], r"'out.txt' is not a regular file"),
    ],
    ids=["exit-code", "exception", "missing-output", "symlink-output", "folder-output"],
)
def test_failures_raise_execution_error(worker_config, source, outputs, message):
    analysis = PythonAnalysis(script=script(source), output_filenames=outputs)
    with pytest.raises(ExecutionError, match=message):
        analysis.execute(timeout=30)
    with pytest.raises(RuntimeError, match="call execute"):
        analysis.get_output_file(outputs[0])
    assert list(worker_config.jobs.iterdir()) == []


def test_timeout_stops_the_whole_process_tree(worker_config, tmp_path):
    pid_file = tmp_path / "grandchild.pid"
    analysis = PythonAnalysis(
        script=script(f"""
            import subprocess, sys, time
            child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
            open({str(pid_file)!r}, "w").write(str(child.pid))
            time.sleep(60)
        """),
    )
    with pytest.raises(ExecutionError, match=r"did not finish within 1 s"):
        analysis.execute(timeout=1)
    pid = int(pid_file.read_text())
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and _alive(pid):
        time.sleep(0.05)
    assert not _alive(pid)
    assert list(worker_config.jobs.iterdir()) == []


def _alive(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


UNSAFE_NAMES = ["/etc/passwd", "../up.txt", "sub/a.txt", "sub\\a.txt", "..", "a..b", "", "C:x.txt",
                "_ondrel_script.py"]


@pytest.mark.parametrize("name", UNSAFE_NAMES)
@pytest.mark.parametrize("where", ["files", "output_filenames"])
def test_unsafe_names_are_refused_at_construction(name, where):
    arguments = {"files": [(name, File.from_data(b""))]} if where == "files" else {
        "output_filenames": [name]}
    with pytest.raises(ValueError, match=f"{where}: unsafe file name"):
        PythonAnalysis(script=script("pass"), **arguments)


@pytest.mark.parametrize(
    "arguments",
    [
        {"files": [("a.txt", File.from_data(b"1")), ("A.txt", File.from_data(b"2"))]},
        {"output_filenames": ["r.csv", "r.csv"]},
    ],
)
def test_repeated_names_are_refused(arguments):
    with pytest.raises(ValueError, match="repeats"):
        PythonAnalysis(script=script("pass"), **arguments)


@pytest.mark.parametrize(
    "arguments",
    [{}, {"script": File.from_data("pass"), "script_key": "beam"}, {"script": "print(1)"},
     {"script_key": ""}, {"script": File.from_data("pass"), "files": [("a.txt", b"raw")]}],
    ids=["neither", "both", "script-not-file", "empty-key", "input-not-file"],
)
def test_bad_construction_is_a_value_error(arguments):
    with pytest.raises(ValueError):
        PythonAnalysis(**arguments)


def test_configured_script_key_and_refused_script(worker_config, tmp_path):
    (tmp_path / "beam.py").write_text("open('out.txt', 'w').write(open('in.txt').read() * 2)\n")
    worker_config("""
        only_configured_scripts = true
        [scripts]
        beam = "beam.py"
    """)
    analysis = PythonAnalysis(
        script_key="beam", files=[("in.txt", File.from_data("ab"))], output_filenames=["out.txt"])
    analysis.execute(timeout=30)
    assert analysis.get_output_file("out.txt").getvalue() == "abab"
    refused = r"runs only the scripts.*refuses.*script_key=.*'beam'"
    with pytest.raises(ExecutionError, match=refused):
        PythonAnalysis(script=script("pass")).execute(timeout=30)
    with pytest.raises(ExecutionError, match=r"unknown script key 'slab'.*defines 'beam'"):
        PythonAnalysis(script_key="slab").execute(timeout=30)
    with pytest.raises(ValueError, match=r"not one of the output files asked for"):
        analysis.get_output_file("in.txt")


def test_environment_is_minimal_and_integration_command_configured(worker_config, monkeypatch):
    monkeypatch.setenv("ONDREL_TEST_SECRET", "s3cret")
    monkeypatch.setenv("ONDREL_TEST_PASSED", "yes")
    worker_config("""
        pass_environment = ["ONDREL_TEST_PASSED"]
        [environment]
        SHARED = "all"
        [integrations.fea]
        command = ["{python}", "-X", "utf8", "{script}", "--mode", "batch"]
        environment = { FEA_LICENSE = "27000@lic" }
    """)

    class FeaAnalysis(PythonAnalysis):
        _integration = "fea"

    analysis = FeaAnalysis(
        script=script("""
            import json, os, sys
            json.dump({"env": dict(os.environ), "argv": sys.argv[1:], "utf8": sys.flags.utf8_mode},
                      open("env.json", "w"))
        """),
        output_filenames=["env.json"],
    )
    analysis.execute(timeout=30)
    seen = json.loads(analysis.get_output_file("env.json").getvalue())
    assert "s3cret" not in json.dumps(seen)
    assert {k: seen["env"].get(k) for k in ("ONDREL_TEST_PASSED", "SHARED", "FEA_LICENSE")} == {
        "ONDREL_TEST_PASSED": "yes", "SHARED": "all", "FEA_LICENSE": "27000@lic"}
    assert seen["argv"] == ["--mode", "batch"] and seen["utf8"] == 1


@pytest.mark.parametrize(
    ("content", "message"),
    [("only_configured_script = true", r"unknown setting\(s\) only_configured_script"),
     ("only_configured_scripts = 'yes'", "must be true or false"),
     ("[integrations.fea]\ncommand = []", "command must be a non-empty list"),
     ("scripts = [", "not valid TOML")],
)
def test_bad_worker_configuration_is_reported(worker_config, content, message):
    worker_config(content)
    with pytest.raises(ExecutionError, match=message):
        PythonAnalysis(script=script("pass")).execute(timeout=30)


def test_worker_interpreter_is_the_callers_by_default(worker_config):
    analysis = PythonAnalysis(script=script("import sys; print(sys.executable)"))
    analysis.execute(timeout=30)
    assert os.path.samefile(analysis.stdout.strip(), sys.executable)
