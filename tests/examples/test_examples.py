"""The example programs as a user meets them: --help, bad options, a dead
address, and a stop (SIGINT, SIGTERM, or SIGKILL, which they cannot see
coming) while the test server they started runs.

Run by ctest with STREAM_READS (the C++ example), STRANDLINK_TEST_SERVER
and, where the build has the Python module, STRANDPY_DIR. Bounds are
generous: an expected time of a few seconds against a bound of a minute,
where the faults meant here take five minutes or for ever.
"""

import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
PYTHON_EXAMPLE = REPO / "examples" / "stream_reads.py"
STREAM_READS = os.environ.get("STREAM_READS", "")
TEST_SERVER = os.environ.get("STRANDLINK_TEST_SERVER", "")
STRANDPY_DIR = os.environ.get("STRANDPY_DIR", "")

# A connect that keeps its bound takes the bound plus up to four query
# time-outs; one that does not takes the library's 300 s reconnect period.
BOUND_S = 60


def cpp_command(*args):
    return [STREAM_READS, *args]


def python_command(*args):
    return [sys.executable, str(PYTHON_EXAMPLE), *args]


def python_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = STRANDPY_DIR
    return env


EXAMPLES = [
    pytest.param(cpp_command, None, "--threads", id="cpp",
                 marks=pytest.mark.skipif(not STREAM_READS, reason="STREAM_READS not given")),
    pytest.param(python_command, python_env, "--clients", id="python",
                 marks=pytest.mark.skipif(not STRANDPY_DIR, reason="no strandpy in this build")),
]


def run(command, env, *args, timeout=BOUND_S):
    return subprocess.run(command(*args), env=env() if env else None, capture_output=True, text=True,
                          timeout=timeout)


@pytest.mark.parametrize("command,env,workers", EXAMPLES)
def test_help_goes_to_stdout_with_the_defaults(command, env, workers):
    done = run(command, env, "--help")
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    for option in ("--address", "--test-server", "--reads", workers, "--connect-timeout", "--query-timeout",
                   "--finish-timeout"):
        assert option in done.stdout
    # The defaults are shown: 10 s to connect, 5000 ms per answer.
    text = done.stdout
    assert "10" in text[text.rindex("--connect-timeout"):text.rindex("--query-timeout")]
    assert "5000" in text[text.rindex("--query-timeout"):text.rindex("--finish-timeout")]


@pytest.mark.parametrize("command,env,workers", EXAMPLES)
@pytest.mark.parametrize("option,value", [
    ("--reads", "-5"),
    ("--reads", "1e3"),
    ("--reads", "20abc"),
    ("--reads", "0"),
    ("--reads", " 7"),
    ("WORKERS", "4294967297"),
    ("--connect-timeout", "1.5"),
    ("--query-timeout", "0"),
    ("--finish-timeout", "-1"),
])
def test_a_bad_value_names_the_option(command, env, workers, option, value):
    option = workers if option == "WORKERS" else option
    done = run(command, env, f"{option}={value}", "--address", "ipc:///nonexistent/never-reached")
    assert done.returncode == 2, done.stdout + done.stderr
    assert option in done.stderr
    assert "connecting" not in done.stdout


@pytest.mark.parametrize("command,env,workers", EXAMPLES)
def test_an_unknown_option_is_named(command, env, workers):
    done = run(command, env, "--reeds", "5")
    assert done.returncode == 2
    assert "--reeds" in done.stderr


@pytest.mark.parametrize("command,env,workers", EXAMPLES)
def test_a_dead_address_fails_within_its_bound_with_a_message(command, env, workers, tmp_path):
    address = f"ipc://{tmp_path}/no-server-here"
    started = time.monotonic()
    done = run(command, env, "--address", address, "--connect-timeout", "1", "--query-timeout", "1000")
    elapsed = time.monotonic() - started
    assert done.returncode == 1, done.stdout + done.stderr
    assert elapsed < BOUND_S
    assert f"connecting to {address}" in done.stdout or f"clients to {address}" in done.stdout
    assert f"cannot connect to {address}: timed_out" in done.stderr
    assert "--connect-timeout" in done.stderr


@pytest.mark.parametrize("command,env,workers", EXAMPLES)
def test_connecting_is_said_at_once_and_the_program_stops_on_sigterm(command, env, workers, tmp_path):
    # A bound far beyond the test: the line must come while it still tries.
    address = f"ipc://{tmp_path}/no-server-here"
    process = subprocess.Popen(command("--address", address, "--connect-timeout", "600"),
                               env=env() if env else None, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
    try:
        line = process.stdout.readline()
        while line and address not in line:
            line = process.stdout.readline()
        assert "connecting" in line and address in line
        assert process.poll() is None
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=BOUND_S)
        assert process.returncode == 128 + signal.SIGTERM
        assert "SIGTERM" in process.stderr.read()
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


def wrapped_test_server(tmp_path):
    """The test server behind a script that notes its process id."""
    assert TEST_SERVER, "STRANDLINK_TEST_SERVER not given"
    pid_file = tmp_path / "server.pid"
    wrapper = tmp_path / "test_server"
    wrapper.write_text(f"#!/bin/sh\necho $$ > '{pid_file}'\nexec '{TEST_SERVER}' \"$@\"\n")
    wrapper.chmod(0o755)
    return wrapper, pid_file


def is_running(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A zombie has stopped; only its parent has not collected it yet.
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


@pytest.mark.parametrize("command,env,workers", EXAMPLES)
@pytest.mark.parametrize("stop_signal", [signal.SIGINT, signal.SIGTERM, signal.SIGKILL],
                         ids=["SIGINT", "SIGTERM", "SIGKILL"])
def test_a_stop_signal_stops_the_test_server_it_started(command, env, workers, stop_signal, tmp_path):
    # SIGKILL stands for every end the example cannot see coming (SIGPIPE,
    # SIGHUP, a crash): the server then stops by itself.
    wrapper, pid_file = wrapped_test_server(tmp_path)
    process = subprocess.Popen(command("--test-server", str(wrapper), "--reads", "1000000000"),
                               env=env() if env else None, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
    try:
        # Streaming: the server is up and the client connected.
        for line in process.stdout:
            if line.startswith("connected"):
                break
        server_pid = int(pid_file.read_text())
        assert is_running(server_pid)
        process.send_signal(stop_signal)
        process.wait(timeout=BOUND_S)
        assert process.returncode == (-stop_signal if stop_signal == signal.SIGKILL else 128 + stop_signal)
        deadline = time.monotonic() + BOUND_S
        while is_running(server_pid) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert not is_running(server_pid)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


def test_the_python_example_without_its_module_names_the_command_that_builds_it(tmp_path):
    # A checkout with nothing built yet.
    copy = tmp_path / "examples" / "stream_reads.py"
    copy.parent.mkdir()
    shutil.copy(PYTHON_EXAMPLE, copy)
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    helped = subprocess.run([sys.executable, str(copy), "--help"], env=env, capture_output=True, text=True,
                            timeout=BOUND_S)
    assert helped.returncode == 0 and "--connect-timeout" in helped.stdout
    done = subprocess.run([sys.executable, str(copy)], env=env, capture_output=True, text=True, timeout=BOUND_S)
    assert done.returncode == 1
    assert "bash scripts/main_job.sh --python" in done.stderr
    assert "Traceback" not in done.stderr


@pytest.mark.parametrize("parent,code", [("other", 1), ("0", 2), ("12x", 2)])
def test_the_test_server_refuses_a_parent_that_is_not_its_own(parent, code):
    # "other": a real process, but not the one that starts the server.
    value = str(os.getppid()) if parent == "other" else parent
    done = subprocess.run([TEST_SERVER, "--example", "--parent", value], capture_output=True, text=True,
                          timeout=BOUND_S)
    assert done.returncode == code, done.stderr
    assert "test_server listening" not in done.stdout
