#!/usr/bin/python3
"""Streams raw-signal reads through a basecall server with strandpy and
prints a summary.

Without --address it starts the project's own test server (the program of
the build tree strandpy comes from) on a free loopback port and stops it at
the end, also when stopped by Ctrl-C or SIGTERM. strandpy is taken from
PYTHONPATH, else from the project's build tree; `bash scripts/main_job.sh
--python` builds both and runs this example.
"""

import argparse
import os
import pathlib
import re
import signal
import subprocess
import sys
import threading
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
BUILD_COMMAND = "bash scripts/main_job.sh --python"
PROGRAM = "stream_reads.py"

# Every line reaches a pipe or a log file as it is written.
sys.stdout.reconfigure(line_buffering=True)


def fail(message):
    print(f"{PROGRAM}: {message}", file=sys.stderr, flush=True)
    return 1


def whole(low, high):
    """An argparse type: a whole decimal number in [low, high], nothing else
    (no sign, no fraction, no exponent, no blanks)."""
    def parse(text):
        if not re.fullmatch(r"[0-9]+", text) or not low <= int(text) <= high:
            raise argparse.ArgumentTypeError(f"'{text}' is not a whole number from {low} to {high}")
        return int(text)
    return parse


def parse_args():
    parser = argparse.ArgumentParser(prog=PROGRAM, description=__doc__.split("\n\n")[0])
    parser.add_argument("--address", "--server", metavar="ENDPOINT",
                        help="the ZeroMQ endpoint of a running server (tcp://HOST:PORT or ipc://PATH) "
                             "instead of the test server")
    parser.add_argument("--test-server", metavar="PATH", default=os.environ.get("STRANDLINK_TEST_SERVER"),
                        help="the test server program to start (also taken from $STRANDLINK_TEST_SERVER; "
                             "default: the one built beside strandpy)")
    parser.add_argument("--config", metavar="NAME", default="signal_model_hac", help="the basecalling configuration (default: %(default)s)")
    parser.add_argument("--reads", metavar="N", type=whole(1, 10**9), default=2000, help="reads to send (default: %(default)s)")
    parser.add_argument("--clients", metavar="N", type=whole(1, 64), default=4,
                        help="connections to the server, used in turn (default: %(default)s)")
    parser.add_argument("--connect-timeout", metavar="S", type=whole(0, 86400), default=10,
                        help="seconds to keep trying to reach the server, at connect and after a lost connection "
                             "(the client's reconnect_timeout); a dead address fails after this plus up to four "
                             "query time-outs (default: %(default)s)")
    parser.add_argument("--query-timeout", metavar="MS", type=whole(1, 3600000), default=5000,
                        help="milliseconds to wait for each answer of the server (the client's query_timeout; default: %(default)s)")
    parser.add_argument("--finish-timeout", metavar="S", type=whole(0, 604800), default=300,
                        help="seconds to wait for the last reads to come back (0: no limit; default: %(default)s)")
    parser.add_argument("--align-ref", metavar="PATH", default="", help="alignment index the server should load (default: none)")
    return parser.parse_args()


def import_strandpy():
    """strandpy from the path, else from a build tree of this checkout; None
    when there is none."""
    try:
        import strandpy
        return strandpy
    except ImportError:
        pass
    build = REPO / "build"
    candidates = [build / "main-job" / "library" / "python", build / "plain" / "python"]
    candidates += sorted(p.parent for p in build.glob("*/python/strandpy*.so"))
    candidates += sorted(p.parent for p in build.glob("*/*/python/strandpy*.so"))
    for directory in candidates:
        if not any(directory.glob("strandpy*.so")) or sanitized(directory.parent):
            continue
        sys.path.insert(0, str(directory))
        try:
            import strandpy
            return strandpy
        except ImportError:
            sys.path.pop(0)
    return None


def sanitized(build_dir):
    """Whether a build tree is a sanitizer build: its module loads only with
    the sanitizer's run-time preloaded, and stops the interpreter otherwise."""
    try:
        cache = (build_dir / "CMakeCache.txt").read_text(errors="replace")
    except OSError:
        return False
    return re.search(r"^STRANDLINK_SANITIZE:STRING=.+$", cache, re.MULTILINE) is not None


def find_test_server(strandpy):
    """The test server of the build tree strandpy comes from, else any of
    this checkout's build trees."""
    places = [pathlib.Path(strandpy.__file__).resolve().parent.parent / "testing" / "test_server"]
    places += [REPO / "build" / "main-job" / "library" / "testing" / "test_server",
               REPO / "build" / "plain" / "testing" / "test_server"]
    for place in places:
        if os.access(place, os.X_OK):
            return str(place)
    return None


def start_test_server(program, servers):
    """Appends the process to `servers` as soon as it runs; returns its
    address, or the reason it did not start (and then `servers` is empty)."""
    print(f"starting the test server {program}")
    try:
        # --parent: the server stops with this process, however it ends.
        process = subprocess.Popen([program, "--example", "--parent", str(os.getpid())], stdout=subprocess.PIPE,
                                   text=True)
    except OSError as e:
        return f"cannot start the test server {program}: {e.strerror}"
    servers.append(process)
    first = process.stdout.readline()
    prefix = "test_server listening on "
    if not first.startswith(prefix):
        stop_test_server(servers.pop())
        return f"the test server {program} did not start: {first.strip() or 'it said nothing'}"
    return first[len(prefix):].strip()


def stop_test_server(server):
    if server is not None and server.poll() is None:
        server.send_signal(signal.SIGTERM)
        server.wait()


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


def give_up_after_s(args):
    """How long a dead address takes at most: attempts start until the
    connect time-out has passed, and the client waits for each answer through
    up to four query time-outs."""
    return args.connect_timeout + (4 * args.query_timeout + 999) // 1000


def connect_with_progress(client, address, args):
    """Connects on a thread of its own while this one says what is going on."""
    print(f"connecting {args.clients} clients to {address} with configuration {args.config} "
          f"(gives up after about {give_up_after_s(args)} s without an answer)")
    outcome = []
    connecting = threading.Thread(target=lambda: outcome.append(client.connect()), daemon=True)
    started = time.monotonic()
    connecting.start()
    while True:
        connecting.join(2.0)
        if not connecting.is_alive():
            return outcome[0]
        status = client.get_status()
        print(f"still connecting to {address} ({getattr(status, 'name', status)}, "
              f"{time.monotonic() - started:.0f} s)")


def run(strandpy, address, args):
    """Returns the exit code."""
    Strandlink = strandpy.Strandlink
    client = Strandlink(address, args.config, args.clients)
    params = {"client_name": "stream_reads example", "move_enabled": True,
              "query_timeout": args.query_timeout, "reconnect_timeout": args.connect_timeout}
    if args.align_ref:
        params["align_ref"] = args.align_ref
    if client.set_params(params) != Strandlink.success:
        return fail("parameters refused")
    result = connect_with_progress(client, address, args)
    if result != Strandlink.success:
        fail(f"cannot connect to {address}: {result.name} {client.get_error_message()}")
        if result == Strandlink.timed_out:
            fail("no answer within the bound; check the address, or allow longer with --connect-timeout S")
        return 1
    config, _ = client.get_basecalling_config()
    print(f"connected {args.clients} clients to {address}, model {config.get('model_version_id')}")

    completed = []
    done_sending = threading.Event()

    def collect():
        # Collecting on its own thread: the library keeps calling while the
        # sending thread waits for queue space.
        while not done_sending.is_set():
            groups = client.get_completed_reads()
            completed.extend(groups)
            if not groups:
                time.sleep(0.01)

    collector = threading.Thread(target=collect)
    collector.start()
    started = time.monotonic()
    last_report = started
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
                    return fail(f"read {read['read_tag']} not taken: {outcome.name} {client.get_error_message()}")
                full_waits += 1
            if time.monotonic() - last_report > 2:
                last_report = time.monotonic()
                print(f"progress: {read['read_tag']}/{args.reads} passed, {len(completed)} back")
        limit = "no limit" if args.finish_timeout == 0 else f"{args.finish_timeout} s"
        print(f"all reads passed; waiting for the last ones to come back (up to {limit})")
        result = client.finish(args.finish_timeout)
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
    if len(completed) != args.reads:
        return fail("reads went missing")
    print("OK: every read came back")
    return 0


def main():
    args = parse_args()
    global np
    import numpy as np

    strandpy = import_strandpy()
    if strandpy is None:
        return fail(f"the Python module strandpy is not built (or not on PYTHONPATH); "
                    f"`{BUILD_COMMAND}` builds it and runs this example")

    # The work runs on a thread of its own, so that this one is free to take
    # SIGINT and SIGTERM at once, even while the library blocks.
    def stop(signal_number, _frame):
        raise KeyboardInterrupt(signal.Signals(signal_number).name)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    servers = []
    try:
        return start_and_run(strandpy, args, servers)
    except KeyboardInterrupt as interrupt:
        name = str(interrupt) or "SIGINT"
        fail(f"stopped by {name}, stopping the test server if one was started")
        for server in servers:
            stop_test_server(server)
        sys.stderr.flush()
        # The client may be blocked in the library; nothing is left to save.
        os._exit(128 + getattr(signal.Signals, name, signal.SIGINT).value)


def start_and_run(strandpy, args, servers):
    """Starts the test server unless given an address (noting it in
    `servers` at once), runs the example and stops the server."""
    address = args.address
    if not address:
        program = args.test_server or find_test_server(strandpy)
        if program is None:
            return fail("no test server found beside strandpy; build it with `cmake --build <build dir> --target "
                        "test_server` and give --test-server PATH, or give --address ENDPOINT of a running server")
        address = start_test_server(program, servers)
        if not servers:
            return fail(address)
        print(f"started the test server on {address}")
    status = []
    worker = threading.Thread(target=lambda: status.append(run(strandpy, address, args)), daemon=True)
    worker.start()
    while worker.is_alive():
        worker.join(0.5)
    for server in servers:
        stop_test_server(server)
    return status[0] if status else 1


if __name__ == "__main__":
    sys.exit(main())
