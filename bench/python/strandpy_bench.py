#!/usr/bin/python3
"""The Python module (strandpy.Strandlink) against a responder that answers at
once from replies prepared ahead, beside a bare REQ socket sending the very
same sequence of request frames to the same responder, in interleaved rounds.

The responder is the program bench/fast_responder of a benchmark build: a
test server behind a FastResponder (bench/fast_responder.h). One round through
to the test server records its called replies; one round served from them is
captured, and the raw arm sends that captured sequence (from the responder
program, in C++, so the raw arm is the wire's own cost).

    client   pass the round's read dicts in lists, collect every called read
    raw      the captured requests of one client round on a bare REQ socket

Prints samples/s of each arm (medians over rounds), the median of the
per-round ratios client / raw, and the CPU time of the interpreter's thread
per client round beside the round's time and the time the client kept the
wire busy, for short, long and mixed reads.

    /usr/bin/python3 bench/python/strandpy_bench.py [--rounds N] [--workload NAME]
        [--build DIR]    (default build/bench; the module from DIR/python)
"""

import argparse
import pathlib
import statistics
import subprocess
import sys
import time

REPO = pathlib.Path(__file__).resolve().parents[2]


def workloads():
    mixed = []
    state = 12345
    for _ in range(300):
        state = (state * 1664525 + 1013904223) % 2**32
        u = (state >> 8) / float(1 << 24)
        mixed.append(int(1000.0 * 1500.0 ** u))
    return {"short": ([4000] * 2000, 64), "long": ([1000000] * 100, 64), "mixed": (mixed, 64)}


class Responder:
    def __init__(self, program):
        self.process = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.address = self.process.stdout.readline().split()[-1]

    def command(self, text):
        self.process.stdin.write(text + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline().strip()
        if not line or line.startswith("error"):
            raise RuntimeError(f"responder: {text}: {line}")
        return line

    def close(self):
        try:
            self.command("quit")
        finally:
            self.process.wait()


def make_reads(np, lengths):
    rng = np.random.default_rng(1)
    reads = []
    for i, n in enumerate(lengths):
        tag = i + 1
        reads.append({"read_tag": tag, "read_id": f"0b8c6a3e-5f2d-4f57-9d0a-{100000000000 + tag}",
                      "daq_offset": 4.5, "daq_scaling": 0.25, "sampling_rate": 4000.0, "start_time": 1000 * tag,
                      "raw_data": rng.integers(300, 700, n, dtype=np.int16)})
    return reads


def client_round(client, Strandlink, reads, list_size):
    for start in range(0, len(reads), list_size):
        if client.pass_reads(reads[start:start + list_size], 600000) != Strandlink.read_accepted:
            raise RuntimeError("pass refused")
    got = 0
    while got < len(reads):
        groups = client.get_completed_reads()
        got += len(groups)
        if not groups:
            time.sleep(0.0001)


def run_workload(name, lengths, list_size, rounds, strandpy, np, program):
    responder = Responder(program)
    try:
        Strandlink = strandpy.Strandlink
        client = Strandlink(responder.address, "signal_model_hac", 1)
        if client.connect() != Strandlink.success:
            raise RuntimeError("bench client did not connect")
        reads = make_reads(np, lengths)
        samples = float(sum(lengths))
        responder.command("script")
        client_round(client, Strandlink, reads, list_size)
        entries = responder.command("capture").split()[1]
        client_round(client, Strandlink, reads, list_size)
        requests = responder.command("fast").split()[1]
        responder.command("raw")

        cpu = []
        wire = []

        def timed_client():
            responder.command("span")
            start = time.perf_counter()
            cpu_start = time.thread_time()
            client_round(client, Strandlink, reads, list_size)
            cpu.append(time.thread_time() - cpu_start)
            elapsed = time.perf_counter() - start
            wire.append(float(responder.command("span").split()[1]))
            return elapsed

        def timed_raw():
            return float(responder.command("raw").split()[1])

        arms = [timed_client, timed_raw]
        times = [[], []]
        for r in range(rounds):
            for k in range(len(arms)):
                a = (k + r) % len(arms)
                times[a].append(arms[a]())
        client.disconnect()
    finally:
        responder.close()
    client_rate = samples / statistics.median(times[0])
    raw_rate = samples / statistics.median(times[1])
    ratio = statistics.median(raw / py for py, raw in zip(times[0], times[1]))
    print(f"{name}: {len(lengths)} reads, {samples:.0f} samples per round, lists of {list_size}, "
          f"{requests} requests on the wire, {entries} called replies")
    print(f"  client: {client_rate / 1e6:8.1f} Msamples/s")
    print(f"  raw:    {raw_rate / 1e6:8.1f} Msamples/s")
    print(f"  client / raw: {ratio:.2f} (median of {rounds} per-round ratios)")
    # Near the round's time when the interpreter's thread is the bottleneck.
    # The wire's busy span is the worker's chain: from the first request to
    # the last reply, one request in flight at a time.
    print(f"  CPU per client round: interpreter thread {statistics.median(cpu) * 1e3:.1f} ms, "
          f"round {statistics.median(times[0]) * 1e3:.1f} ms, "
          f"the wire busy for {statistics.median(wire) * 1e3:.1f} ms of it (medians)")
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--workload", default="")
    parser.add_argument("--build", default=str(REPO / "build" / "bench"))
    args = parser.parse_args()
    build = pathlib.Path(args.build)
    sys.path.insert(0, str(build / "python"))
    import numpy as np
    import strandpy
    program = str(build / "bench" / "fast_responder")
    for name, (lengths, list_size) in workloads().items():
        if not args.workload or args.workload == name:
            run_workload(name, lengths, list_size, args.rounds, strandpy, np, program)


if __name__ == "__main__":
    main()
