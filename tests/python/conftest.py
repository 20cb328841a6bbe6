"""Fixtures of the strandpy tests: the module from the build tree and the
project's test server, started per test or per module and always stopped."""

import importlib.util
import os
import pathlib
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
PLAIN_BUILD = REPO / "build" / "plain"

# The module and the test server come from the plain build unless the test
# script names others.
if importlib.util.find_spec("strandpy") is None:
    sys.path.insert(0, str(PLAIN_BUILD / "python"))

TEST_SERVER = os.environ.get("STRANDLINK_TEST_SERVER", str(PLAIN_BUILD / "testing" / "test_server"))

# The configurations every shared server offers: the example set, plus one
# that calls modified bases.
MODBASE_CONFIG = "signal_model_hac_modbases"
CONFIG = "signal_model_hac"
ALIGN_REF = "/data/references/lambda.fasta"
BED_FILE = "/data/references/lambda_regions.bed"


class TestServer:
    """The standalone test server on a free loopback port."""

    __test__ = False

    def __init__(self, *args):
        self.process = subprocess.Popen([TEST_SERVER, *args], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        first = self.process.stdout.readline()
        prefix = "test_server listening on "
        if not first.startswith(prefix):
            self.process.kill()
            _, err = self.process.communicate()
            raise RuntimeError(f"test server did not start: {first!r} {err!r}")
        self.address = first[len(prefix):].strip()

    def pause(self):
        """Stops the server process where it is (SIGSTOP) and returns once
        every thread of it has stopped: requests wait from then on. The
        signal only asks; a thread that is running stops a moment later."""
        self.process.send_signal(signal.SIGSTOP)
        deadline = time.monotonic() + 60
        while not self.stopped():
            assert time.monotonic() < deadline, "the test server did not stop on SIGSTOP"
            time.sleep(0.001)

    def stopped(self):
        """Whether every thread of the server is stopped."""
        tasks = pathlib.Path(f"/proc/{self.process.pid}/task")
        for task in tasks.iterdir():
            try:
                state = (task / "stat").read_text().rsplit(")", 1)[1].split()[0]
            except (FileNotFoundError, ProcessLookupError):
                continue  # a thread that has ended
            if state not in ("T", "t"):
                return False
        return True

    def resume(self):
        self.process.send_signal(signal.SIGCONT)

    def stop(self):
        if self.process.poll() is None:
            self.resume()
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.communicate(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.communicate()


def start_server(*args, example=True):
    """A server with the example set and a modified-base configuration, or
    (example=False) with nothing but the options given."""
    return TestServer("--example", "--config", MODBASE_CONFIG, *args) if example else TestServer(*args)


@pytest.fixture(scope="module")
def server():
    """A server shared by the tests of one file."""
    srv = start_server()
    yield srv
    srv.stop()


@pytest.fixture
def make_server():
    """Starts servers with extra options for one test; stops them after it."""
    started = []

    def make(*args, example=True):
        srv = start_server(*args, example=example)
        started.append(srv)
        return srv

    yield make
    for srv in started:
        srv.stop()


@pytest.fixture
def closing():
    """Registers Strandlink objects to disconnect after the test, also when
    it fails, so that no worker outlives its server."""
    objects = []
    yield objects.append
    for obj in objects:
        obj.disconnect()


def make_read(tag, samples=1000, read_id=None, seed=None):
    """A valid read dict; the signal depends on the tag (or seed)."""
    rng = np.random.default_rng(tag if seed is None else seed)
    return {
        "read_tag": tag,
        "read_id": read_id or f"read_{tag}",
        "daq_offset": 4.0,
        "daq_scaling": 0.5,
        "sampling_rate": 4000.0,
        "start_time": 1000 + tag,
        "raw_data": rng.integers(-500, 500, samples, dtype=np.int16),
    }
