#!/usr/bin/python3
"""Streams raw-signal reads through a basecall server with strandpy and
prints a summary.

By default it starts the project's own test server (the standalone program
of the build tree) on a free loopback port and stops it at the end:

    PYTHONPATH=build/plain/python /usr/bin/python3 examples/stream_reads.py

Options: --server ADDRESS uses a running server instead; --reads, --clients,
--config and --align-ref change what is sent.
"""

import argparse
import importlib.util
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
if importlib.util.find_spec("strandpy") is None:
    sys.path.insert(0, str(REPO / "build" / "plain" / "python"))

import numpy as np  # noqa: E402
import strandpy  # noqa: E402

Strandlink = strandpy.Strandlink


def start_test_server():
    program = os.environ.get("STRANDLINK_TEST_SERVER", str(REPO / "build" / "plain" / "testing" / "test_server"))
    process = subprocess.Popen([program, "--example"], stdout=subprocess.PIPE, text=True)
    first = process.stdout.readline()
    prefix = "test_server listening on "
    if not first.startswith(prefix):
        process.kill()
        sys.exit(f"stream_reads: the test server did not start ({program})")
    return process, first[len(prefix):].strip()


def make_reads(count, rng):
    """Reads of 1,000 to 20,000 samples of a made-up signal."""
    for tag in range(1, count + 1):
        samples = int(rng.integers(1000, 20000))
        yield {
            "read_tag": tag,
            "read_id": f"example_read_{tag:06d}",
            "daq_offset": 10.0,
            "daq_scaling": 0.18,
            "sampling_rate": 5000.0,
            "start_time": tag * 25000,
            "channel": 1 + tag % 512,
            "mux": 1 + tag % 4,
            "raw_data": rng.normal(400, 60, samples).astype(np.int16),
        }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--server", help="address of a running basecall server")
    parser.add_argument("--config", default="signal_model_hac")
    parser.add_argument("--reads", type=int, default=2000)
    parser.add_argument("--clients", type=int, default=4)
    parser.add_argument("--align-ref", default="", help="alignment index the server should load")
    args = parser.parse_args()

    server = None
    address = args.server
    if not address:
        server, address = start_test_server()
    try:
        run(address, args)
    finally:
        if server:
            server.send_signal(signal.SIGTERM)
            server.wait()


def run(address, args):
    client = Strandlink(address, args.config, args.clients)
    params = {"client_name": "stream_reads example", "move_enabled": True}
    if args.align_ref:
        params["align_ref"] = args.align_ref
    if client.set_params(params) != Strandlink.success:
        sys.exit("stream_reads: parameters refused")
    result = client.connect()
    if result != Strandlink.success:
        sys.exit(f"stream_reads: cannot connect to {address}: {result.name} {client.get_error_message()}")
    config, _ = client.get_basecalling_config()
    print(f"connected {args.clients} clients to {address}, model {config.get('model_version_id')}")

    completed = []
    done_sending = threading.Event()

    def collect():
        # Collecting on its own thread: the library keeps calling while the
        # main thread waits for queue space.
        while not done_sending.is_set():
            groups = client.get_completed_reads()
            completed.extend(groups)
            if not groups:
                time.sleep(0.01)

    collector = threading.Thread(target=collect)
    collector.start()
    started = time.monotonic()
    samples_sent = 0
    full_waits = 0
    try:
        for read in make_reads(args.reads, np.random.default_rng(7)):
            while True:
                outcome = client.pass_read(read, 100)
                if outcome == Strandlink.read_accepted:
                    samples_sent += len(read["raw_data"])
                    break
                if outcome != Strandlink.queue_full:
                    sys.exit(f"stream_reads: read {read['read_tag']} not taken: {outcome.name}")
                full_waits += 1
        result = client.finish(300)
    finally:
        done_sending.set()
        collector.join()
    completed.extend(client.get_completed_reads())
    elapsed = time.monotonic() - started
    client.disconnect()

    reads = [read for group in completed for read in group]
    bases = sum(len(read["datasets"].get("sequence", "")) for read in reads)
    qscores = [read["metadata"]["mean_qscore"] for read in reads if "mean_qscore" in read["metadata"]]
    aligned = sum(1 for read in reads if "alignment_sam_record" in read["metadata"])
    print(f"sent {args.reads} reads ({samples_sent / 1e6:.1f} M samples), "
          f"queue full {full_waits} times; finish: {result.name}")
    print(f"got back {len(reads)} reads in {len(completed)} groups, {bases} bases, "
          f"mean qscore {np.mean(qscores) if qscores else 0:.1f}, {aligned} with SAM text")
    print(f"{len(reads) / elapsed:.0f} reads/s, {samples_sent / elapsed / 1e6:.1f} M samples/s")
    if len(reads) != args.reads:
        sys.exit("stream_reads: reads went missing")


if __name__ == "__main__":
    main()
