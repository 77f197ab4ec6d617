"""The analysis runner on the local worker: real scripts, real processes, a private folder each."""

import json
import os
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

from ondrel.core import File
from ondrel.errors import ExecutionError
from ondrel.external.python import PythonAnalysis


def script(source: str) -> File:
    return File.from_data(textwrap.dedent(source))


@pytest.fixture
def worker_config(tmp_path, monkeypatch):
    """Write a worker configuration (jobs kept under tmp_path/jobs) and point the worker at it.

    Afterwards no job folder and no process started by a job may be left.
    """
    jobs = tmp_path / "jobs"
    jobs.mkdir()

    def write(extra: str = "", *, jobs_folder: str = "jobs") -> None:
        path = tmp_path / "worker.toml"
        path.write_text(f"jobs_folder = {jobs_folder!r}\n{textwrap.dedent(extra)}", encoding="utf-8")
        monkeypatch.setenv("ONDREL_WORKER_CONFIG", str(path))

    write()
    write.jobs = jobs
    yield write
    deadline = time.monotonic() + 30
    while processes_in(jobs) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert processes_in(jobs) == []
    assert list(jobs.iterdir()) == []


def processes_in(folder: Path) -> list[int]:
    """The live processes whose working folder lies in ``folder``: a job's script and its children."""
    inside = os.path.realpath(folder) + os.sep
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                cwd = os.readlink(f"/proc/{entry}/cwd")
            except OSError:  # gone, a zombie, or not ours
                continue
            if cwd.startswith(inside):
                found.append(int(entry))
    return found


def execute_within(analysis: PythonAnalysis, timeout: float, limit: float = 60) -> None:
    """``analysis.execute(timeout)``, failing the test instead of hanging when it blocks past ``limit``."""
    raised: list[BaseException] = []

    def execute() -> None:
        try:
            analysis.execute(timeout=timeout)
        except BaseException as exc:  # handed to the test's thread
            raised.append(exc)

    thread = threading.Thread(target=execute, daemon=True)
    thread.start()
    thread.join(limit)
    assert not thread.is_alive(), f"execute(timeout={timeout}) still blocked after {limit} s"
    if raised:
        raise raised[0]


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
        ("import os\nos.mkfifo('out.txt')", ["out.txt"], r"'out.txt' is not a regular file"),
        ("import os\nos.chdir('..')\nos.rename('run', 'kept')\nos.symlink('/etc', 'run')",
         ["passwd"], r"did not produce the output file 'passwd'"),
        ("import os\nos.remove('_ondrel_script.py')\nos.chdir('..')\nos.rmdir('run')\n"
         "os.symlink('/etc', 'run')", ["passwd"], r"did not produce the output file 'passwd'"),
        ("open('big.bin', 'wb').truncate(1 << 40)", ["big.bin"],
         r"larger than the 1073741824 bytes.*'max_output_bytes'.*'big.bin'"),
    ],
    ids=["exit-code", "exception", "missing-output", "symlink-output", "folder-output",
         "fifo-output", "run-folder-moved-for-a-link", "run-folder-removed-for-a-link",
         "sparse-terabyte-output"],
)
def test_failures_raise_execution_error(worker_config, source, outputs, message):
    analysis = PythonAnalysis(script=script(source), output_filenames=outputs)
    with pytest.raises(ExecutionError, match=message):
        execute_within(analysis, timeout=30)
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
                "_ondrel_script.py", "a" * 256, "\u00e9" * 128, "x\ud800.txt"]


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
     ("scripts = [", "not valid TOML"),
     *((f"max_output_bytes = {value}", "'max_output_bytes' must be a positive whole number of bytes")
       for value in ("0", "-1", "true", "'1 GB'", "1.5"))],
)
def test_bad_worker_configuration_is_reported(worker_config, content, message):
    worker_config(content)
    with pytest.raises(ExecutionError, match=message):
        PythonAnalysis(script=script("pass")).execute(timeout=30)


@pytest.mark.parametrize("timeout", [1e12, 1e300, 10**400], ids=["1e12", "1e300", "10**400"])
def test_time_outs_longer_than_any_wait_mean_no_limit(worker_config, timeout):
    analysis = PythonAnalysis(script=script("print('ran')"))
    analysis.execute(timeout=timeout)
    assert analysis.stdout == "ran\n"


@pytest.mark.parametrize(
    "setting",
    ['python = "bin/python"', '[integrations.python]\ncommand = ["bin/python", "-I", "{script}"]',
     '[integrations.python]\ncommand = ["./bin/python"]'],
    ids=["python", "command", "command-dot"],
)
def test_relative_programs_are_taken_from_the_configuration_files_folder(worker_config, tmp_path, setting):
    (tmp_path / "bin").mkdir()
    (tmp_path / "bin" / "python").symlink_to(sys.executable)
    worker_config(setting)
    analysis = PythonAnalysis(script=script("print('ran')"))
    analysis.execute(timeout=30)
    assert analysis.stdout == "ran\n"


def test_worker_interpreter_is_the_callers_by_default(worker_config):
    analysis = PythonAnalysis(script=script("import sys; print(sys.executable)"))
    analysis.execute(timeout=30)
    assert os.path.samefile(analysis.stdout.strip(), sys.executable)


def test_names_up_to_255_bytes_run(worker_config):
    name_in, name_out = "i" * 251 + ".txt", "\u00e9" * 125 + "o.txt"  # 255 bytes each
    analysis = PythonAnalysis(
        script=script(f"open({name_out!r}, 'w').write(open({name_in!r}).read())"),
        files=[(name_in, File.from_data("beam"))],
        output_filenames=[name_out],
    )
    analysis.execute(timeout=30)
    assert analysis.get_output_file(name_out).getvalue() == "beam"


@pytest.mark.parametrize("stream", ["stdout", "stderr"])
@pytest.mark.parametrize(
    "replace",
    ["os.symlink('/etc/passwd', log)", "os.symlink('/dev/zero', log)", "os.mkfifo(log)"],
    ids=["link-to-passwd", "link-to-dev-zero", "fifo"],
)
def test_captured_streams_are_what_the_script_wrote(worker_config, stream, replace):
    analysis = PythonAnalysis(script=script(f"""
        import os, sys
        print("written", file=sys.{stream}, flush=True)
        log = "../{stream}.log"
        os.remove(log)
        {replace}
    """))
    execute_within(analysis, timeout=30)
    assert getattr(analysis, stream) == "written\n"


KEEP = 1 << 20  # the bytes of each stream that the worker keeps


@pytest.mark.parametrize(
    ("written", "shown"),
    [
        ("'a' * 5 + 'b' * KEEP", "[... 5 bytes cut; the last 1048576 bytes follow ...]\n" + "b" * KEEP),
        # The cut falls inside the first kept character: it moves to the start of the next.
        ("'\u00e9' * (KEEP // 2) + 'x'",
         "[... 2 bytes cut; the last 1048575 bytes follow ...]\n" + "\u00e9" * (KEEP // 2 - 1) + "x"),
        ("'b' * KEEP", "b" * KEEP),
    ],
    ids=["ascii", "inside-a-character", "exactly-kept"],
)
@pytest.mark.parametrize("stream", ["stdout", "stderr"])
def test_a_cut_stream_says_how_much_was_cut(worker_config, written, shown, stream):
    analysis = PythonAnalysis(script=script(f"""
        import sys
        KEEP = {KEEP}
        sys.{stream}.write({written})
    """))
    analysis.execute(timeout=30)
    assert getattr(analysis, stream) == shown


def test_streams_are_there_only_after_a_successful_run(worker_config):
    analysis = PythonAnalysis(script=script("import sys; print('out'); print('err', file=sys.stderr)"))
    failing = PythonAnalysis(script=script("print('out'); raise SystemExit(3)"))
    for unrun in (analysis, failing):
        for stream in ("stdout", "stderr"):
            with pytest.raises(RuntimeError, match="call execute"):
                getattr(unrun, stream)
    analysis.execute(timeout=30)
    assert (analysis.stdout, analysis.stderr) == ("out\n", "err\n")
    with pytest.raises(ExecutionError, match="exit code 3"):
        failing.execute(timeout=30)
    with pytest.raises(RuntimeError, match="a failed execute"):
        failing.stdout


@pytest.mark.parametrize(
    ("limit", "sizes", "message"),
    [
        (10, [6, 4], None),
        (10, [6, 5], r"larger than the 10 bytes.*'max_output_bytes'.*worker\.toml.*'b\.bin'"),
        (10, [11, 0], r"larger than the 10 bytes.*'a\.bin'"),
    ],
    ids=["at-the-limit", "together-over", "one-over"],
)
def test_outputs_together_are_bounded_by_max_output_bytes(worker_config, limit, sizes, message):
    worker_config(f"max_output_bytes = {limit}")
    analysis = PythonAnalysis(
        script=script(f"""
            open("a.bin", "wb").write(b"a" * {sizes[0]})
            open("b.bin", "wb").write(b"b" * {sizes[1]})
        """),
        output_filenames=["a.bin", "b.bin"],
    )
    if message is None:
        analysis.execute(timeout=30)
        assert analysis.get_output_file("b.bin").getvalue_binary() == b"b" * sizes[1]
    else:
        with pytest.raises(ExecutionError, match=message):
            analysis.execute(timeout=30)


def test_time_out_covers_collecting_the_outputs(worker_config, monkeypatch):
    """Time that runs out once the script has ended still stops the job."""
    from ondrel.external.python import _worker

    late = []
    kill_tree, clock = _worker._kill_tree, _worker._clock
    monkeypatch.setattr(_worker, "_kill_tree", lambda process: (kill_tree(process), late.append(1)))
    monkeypatch.setattr(_worker, "_clock", lambda: clock() + 3600 * len(late))
    analysis = PythonAnalysis(script=script("open('r.txt', 'w').write('x')"),
                              output_filenames=["r.txt"])
    with pytest.raises(ExecutionError, match=r"did not finish within 30 s.*collect"):
        analysis.execute(timeout=30)
    assert late


@pytest.mark.parametrize(
    ("jobs_folder", "reason"),
    [("missing", "it does not exist"), ("worker.toml", "it is not a folder")],
)
def test_a_bad_jobs_folder_names_the_file_and_the_setting(worker_config, tmp_path, jobs_folder, reason):
    worker_config(jobs_folder=jobs_folder)
    where = re.escape(str(tmp_path / jobs_folder))
    expected = rf"'jobs_folder' '{where}' of the worker configuration file .*worker\.toml.*: {reason}"
    with pytest.raises(ExecutionError, match=expected):
        PythonAnalysis(script=script("pass")).execute(timeout=30)


def _modes_bind_us() -> bool:
    """Whether file modes apply to this process: not to one with CAP_DAC_OVERRIDE (root, usually)."""
    with open("/proc/self/status") as status:
        effective = next(line for line in status if line.startswith("CapEff:")).split()[1]
    return not int(effective, 16) & (1 << 1)


@pytest.mark.skipif(not _modes_bind_us(), reason="file modes do not lock folders for this process")
def test_folders_the_script_locked_are_removed(worker_config):
    analysis = PythonAnalysis(script=script("""
        import os
        os.makedirs("locked/inner")
        os.chmod("locked", 0)
        os.chmod("..", 0o500)
        os.chmod(".", 0)
    """))
    analysis.execute(timeout=30)
    assert list(worker_config.jobs.iterdir()) == []


def test_a_tree_deeper_than_the_open_files_limit_is_removed(worker_config):
    """A script that nests folders deeper than the caller may open files (a recursive copy gone wrong)."""
    import resource

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    limit = len(os.listdir("/proc/self/fd")) + 128
    analysis = PythonAnalysis(script=script(f"""
        import os
        for _ in range({limit + 200}):
            os.mkdir("d")
            os.chdir("d")
        open("leaf.txt", "w").write("x")
    """))
    resource.setrlimit(resource.RLIMIT_NOFILE, (limit, hard))
    try:
        analysis.execute(timeout=60)
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    assert list(worker_config.jobs.iterdir()) == []


def test_removal_never_reaches_through_a_link_at_the_job_folders_name(worker_config, tmp_path):
    """A script that moves its job folder away and links the caller's folder in its place."""
    callers = tmp_path / "callers"
    (callers / "sub").mkdir(parents=True)
    (callers / "sub").chmod(0o750)
    (callers / "sub" / "kept.txt").write_text("kept")
    moved = tmp_path / "moved"
    analysis = PythonAnalysis(script=script(f"""
        import os
        os.makedirs("locked/inner")
        os.chmod("locked", 0)
        job = os.path.dirname(os.getcwd())
        os.rename(job, {str(moved)!r})
        os.symlink({str(callers)!r}, job)
    """))
    analysis.execute(timeout=30)
    assert list(moved.iterdir()) == []
    assert (callers / "sub").stat().st_mode & 0o777 == 0o750
    assert (callers / "sub" / "kept.txt").read_text() == "kept"
    [link] = worker_config.jobs.iterdir()  # the script's, left as it is
    assert link.readlink() == callers
    link.unlink()


def test_paths_are_taken_where_files_are_and_the_job_is_logged(worker_config, tmp_path, caplog):
    (tmp_path / "beam.py").write_text("open('out.txt', 'w').write(open('in.txt').read() * 2)\n")
    (tmp_path / "in.txt").write_text("ab")
    analysis = PythonAnalysis(script=tmp_path / "beam.py", files=[("in.txt", str(tmp_path / "in.txt"))],
                              output_filenames=["out.txt"])
    with caplog.at_level("DEBUG", logger="ondrel"):
        analysis.execute(timeout=30)
    assert analysis.get_output_file("out.txt").getvalue() == "abab"
    messages = [(r.name, r.levelname, r.getMessage()) for r in caplog.records]
    assert any(level == "DEBUG" and str(worker_config.jobs) in text for _, level, text in messages)
    assert any(level == "INFO" and re.search(r"finished in \d+\.\d\d s", text) for _, level, text in messages)
    assert all(name.startswith("ondrel.") for name, _, _ in messages)
    with pytest.raises(ValueError, match="no file at"):
        PythonAnalysis(script=tmp_path / "missing.py")


def test_the_folder_and_processes_of_a_killed_caller_go_with_the_next_job(worker_config, tmp_path):
    """A caller ended by SIGKILL leaves its job folder and its script; the next job removes both."""
    started = tmp_path / "started"
    caller = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        from ondrel.core import File
        from ondrel.external.python import PythonAnalysis
        PythonAnalysis(script=File.from_data(
            "import subprocess, sys, time\\n"
            "subprocess.Popen([sys.executable, '-c', 'import time; time.sleep(600)'])\\n"
            "open({str(started)!r}, 'w').close()\\n"
            "time.sleep(600)\\n")).execute()
    """)])
    try:
        deadline = time.monotonic() + 60
        while not started.exists():
            assert caller.poll() is None and time.monotonic() < deadline
            time.sleep(0.05)
        caller.kill()
        caller.wait(timeout=60)
        [left] = worker_config.jobs.iterdir()
        assert len(processes_in(left)) == 2  # the script and its child, still running
        analysis = PythonAnalysis(script=script("print('next')"))
        analysis.execute(timeout=30)
        assert analysis.stdout == "next\n"
        assert not left.exists()
    finally:
        caller.kill()
        for pid in processes_in(worker_config.jobs):  # what a failing run leaves
            os.kill(pid, signal.SIGKILL)
