#!/usr/bin/python3
"""Reads per second through strandpy's pass_reads and get_completed_reads,
beside the same loop written in C++ against the library, in one run.

Both drive one client of a test server that answers at once (it reuses its
call of a read it has seen before), in interleaved rounds over the same
reads. The ratio printed is the median over rounds of C++ time / Python time
(1.0: the Python module adds nothing to the round trip).

    PYTHONPATH=build/plain/python /usr/bin/python3 bench/python/strandpy_bench.py [rounds]
"""

import os
import pathlib
import signal
import statistics
import subprocess
import sys
import time

REPO = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "build" / "plain" / "python"))

import numpy as np  # noqa: E402
import strandpy  # noqa: E402
import strandpy_probe  # noqa: E402

Strandlink = strandpy.Strandlink
READS = 2000
SAMPLES = 4000
BATCH = 50


def python_rounds(address, reads, rounds):
    client = Strandlink(address, "signal_model_hac")
    assert client.connect() == Strandlink.success
    seconds = []
    for _ in range(rounds):
        start = time.perf_counter()
        sent = got = 0
        while got < len(reads):
            if sent < len(reads):
                if client.pass_reads(reads[sent:sent + BATCH], 10) == Strandlink.read_accepted:
                    sent = min(len(reads), sent + BATCH)
            got += sum(len(group) for group in client.get_completed_reads())
        seconds.append(time.perf_counter() - start)
    client.disconnect()
    return seconds


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    program = os.environ.get("STRANDLINK_TEST_SERVER", str(REPO / "build" / "plain" / "testing" / "test_server"))
    server = subprocess.Popen([program, "--config", "signal_model_hac", "--basecaller", "reuse_calls=1",
                               "--basecaller", "max_reads=0", "--basecaller", "max_samples=0"],
                              stdout=subprocess.PIPE, text=True)
    address = server.stdout.readline().split()[-1]
    try:
        rng = np.random.default_rng(1)
        signals = [rng.integers(200, 700, SAMPLES, dtype=np.int16) for _ in range(READS)]
        reads = [{"read_tag": i + 1, "read_id": f"bench_read_{i + 1}", "daq_offset": 4.0, "daq_scaling": 0.5,
                  "sampling_rate": 4000.0, "start_time": i + 1, "raw_data": signal_}
                 for i, signal_ in enumerate(signals)]
        # A first round of each lets the server call every read once.
        python_rounds(address, reads, 1)
        strandpy_probe.cpp_stream_reads(address, "signal_model_hac", signals, BATCH, 1)
        py_times, cpp_times = [], []
        for _ in range(rounds):
            py_times += python_rounds(address, reads, 1)
            cpp_times += strandpy_probe.cpp_stream_reads(address, "signal_model_hac", signals, BATCH, 1)
    finally:
        server.send_signal(signal.SIGTERM)
        server.wait()
    py_rate = READS / statistics.median(py_times)
    cpp_rate = READS / statistics.median(cpp_times)
    ratio = statistics.median(c / p for c, p in zip(cpp_times, py_times))
    print(f"{READS} reads of {SAMPLES} samples, batches of {BATCH}, {rounds} rounds")
    print(f"python  {py_rate:10.0f} reads/s")
    print(f"c++     {cpp_rate:10.0f} reads/s")
    print(f"ratio (c++ time / python time): {ratio:.2f}")


if __name__ == "__main__":
    main()
