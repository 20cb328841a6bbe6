"""Strandlink against the project's test server: connecting one and several
clients, reads round-robin and back, alignment text, result combination,
static queries, and the interpreter lock released while the library waits."""

import json
import os
import pathlib
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import strandpy
from conftest import ALIGN_REF, BED_FILE, CONFIG, MODBASE_CONFIG, make_read

Strandlink = strandpy.Strandlink
NO_SERVER = "tcp://127.0.0.1:1"

# Every exchange a test expects to succeed gets seconds, however busy the
# machine; time-outs under test come from a paused or silent server instead.
TIMEOUT_MS = 10000
GENEROUS = {"query_timeout": TIMEOUT_MS, "connection_timeout": TIMEOUT_MS}
# The longest wait for queue space of a read that must be accepted.
WAIT_MS = 5000


def connected(address, config=CONFIG, num_threads=1, closing=None, **params):
    obj = Strandlink(address, config, num_threads)
    if closing is not None:
        closing(obj)
    assert obj.set_params(dict({"client_name": "python tests"}, **dict(GENEROUS, **params))) == Strandlink.success
    assert obj.connect() == Strandlink.success
    return obj


def collect(obj):
    """finish, then every completed group."""
    assert obj.finish(60) == Strandlink.success
    return obj.get_completed_reads()


def tags(groups):
    return [[read["read_tag"] for read in group] for group in groups]


# --- connecting --------------------------------------------------------------------

@pytest.mark.parametrize("num_threads", [1, 3])
def test_connect_clients(server, closing, num_threads):
    obj = connected(server.address, num_threads=num_threads, closing=closing)
    assert obj.get_status() == Strandlink.connected
    assert repr(obj) == "\n".join(["Strandlink(status=connected)"] * num_threads)
    assert obj.get_basecalling_config() == (
        {"config_name": CONFIG, "duplex": False, "model_version_id": "signal_model_hac@v5.0.0"}, Strandlink.success)
    assert obj.connect() == Strandlink.already_connected
    assert obj.set_params({"client_name": "again"}) == Strandlink.already_connected
    assert obj.disconnect() == Strandlink.success
    assert obj.get_status() == Strandlink.disconnected
    assert obj.disconnect() == Strandlink.no_connection


def test_alignment_sam_header(server, closing):
    obj = connected(server.address, closing=closing, align_ref=ALIGN_REF)
    header, result = obj.get_alignment_sam_header()
    assert result == Strandlink.success
    assert header.startswith("@HD\t") and "@SQ\tSN:lambda\tLN:48502" in header


def test_failed_connect_puts_the_object_in_error_until_disconnect(server, closing):
    obj = Strandlink(server.address, "no_such_config")
    closing(obj)
    assert obj.set_params(GENEROUS) == Strandlink.success
    assert obj.connect() == Strandlink.basecall_config_unavailable
    assert obj.get_status() == Strandlink.error_state
    message = obj.get_error_message()
    assert message.startswith("[basecall_config_unavailable] ")
    assert repr(obj) == f"Strandlink(status=error, {message})"
    assert obj.set_params({"client_name": "x"}) == Strandlink.already_connected
    assert obj.connect() == Strandlink.failed
    assert obj.finish() == Strandlink.failed
    assert obj.disconnect() == Strandlink.success
    assert obj.set_params({"client_name": "x"}) == Strandlink.success


def test_connect_stops_at_the_first_failing_client(make_server, closing):
    # The second CONNECT the server sees is refused: client 1 fails.
    srv = make_server("--on", "CONNECT#2=INVALID_CONFIG")
    obj = Strandlink(srv.address, CONFIG, 3)
    closing(obj)
    assert obj.set_params(GENEROUS) == Strandlink.success
    assert obj.connect() == Strandlink.basecall_config_unavailable
    lines = repr(obj).split("\n")
    assert lines[0] == "Strandlink(status=disconnected)"
    assert lines[1].startswith("Strandlink(status=error, [basecall_config_unavailable] ")
    assert lines[2] == "Strandlink(status=disconnected)"
    assert obj.get_status() == Strandlink.disconnected
    assert obj.get_error_message() == lines[1][len("Strandlink(status=error, "):-1]
    # A client that refuses the parameters is reported, not hidden behind
    # the first client's state.
    assert obj.set_params({"client_name": "x"}) == Strandlink.already_connected
    # Every client is asked; the last failing result wins.
    assert obj.finish() == Strandlink.no_connection  # no_connection, failed, no_connection
    assert obj.disconnect() == Strandlink.no_connection  # no_connection, success, no_connection
    assert obj.set_params({"client_name": "x"}) == Strandlink.success
    assert obj.connect() == Strandlink.success


def test_combined_result_of_later_failing_client_wins(make_server, closing):
    srv = make_server("--on", "CONNECT#2=INVALID_CONFIG")
    obj = Strandlink(srv.address, CONFIG, 2)
    closing(obj)
    assert obj.set_params(GENEROUS) == Strandlink.success
    assert obj.connect() == Strandlink.basecall_config_unavailable
    assert obj.finish() == Strandlink.failed  # no_connection, then failed
    assert obj.disconnect() == Strandlink.no_connection  # no_connection, then success


# --- reads -----------------------------------------------------------------------

def test_reads_go_round_robin_and_come_back_grouped_by_client(server, closing):
    obj = connected(server.address, num_threads=2, closing=closing)
    assert obj.pass_read(make_read(1), WAIT_MS) == Strandlink.read_accepted     # client 0
    assert obj.pass_read(dict(make_read(9), read_id=""), WAIT_MS) == Strandlink.bad_read  # no turn taken
    assert obj.pass_read(make_read(2), WAIT_MS) == Strandlink.read_accepted     # client 1
    # A tag that client 0 still holds: refused by the library, turn taken.
    assert obj.pass_read(make_read(1), WAIT_MS) == Strandlink.bad_read          # client 0
    assert obj.pass_read(make_read(4), WAIT_MS) == Strandlink.read_accepted     # client 1
    assert obj.pass_reads([], WAIT_MS) == Strandlink.read_accepted               # client 0
    assert obj.pass_reads([make_read(5), make_read(6)], WAIT_MS) == Strandlink.read_accepted  # client 1
    groups = collect(obj)
    assert tags(groups)[0] == [1]
    assert sorted(tags(groups)[1:]) == [[2], [4], [5], [6]]


def test_pass_reads_with_a_bad_read_sends_nothing(server, closing):
    obj = connected(server.address, closing=closing)
    assert obj.pass_reads([make_read(1), dict(make_read(2), raw_data=[1, 2])]) == Strandlink.bad_read
    assert obj.pass_reads([make_read(3)], WAIT_MS) == Strandlink.read_accepted
    assert tags(collect(obj)) == [[3]]


def test_completed_read_dict(server, closing):
    obj = connected(server.address, closing=closing, move_enabled=True)
    sent = make_read(7, samples=3000)
    assert obj.pass_read(sent, WAIT_MS) == Strandlink.read_accepted
    [[read]] = collect(obj)
    assert list(read) == ["read_tag", "sub_tag", "priority", "metadata", "datasets"]
    assert (read["read_tag"], read["sub_tag"]) == (7, 0)
    assert read["priority"] == Strandlink.medium_priority
    metadata = read["metadata"]
    assert list(metadata) == sorted(metadata)
    assert metadata["read_id"] == metadata["strand_id"] == "read_7"
    assert metadata["duration"] == 3000 and metadata["start_time"] == 1007
    assert metadata["sampling_rate"] == 4000.0 and metadata["daq_scaling"] == 0.5
    assert "alignment_sam_record" not in metadata
    datasets = read["datasets"]
    assert list(datasets) == ["raw_data", "sequence", "qstring", "movement"]
    np.testing.assert_array_equal(datasets["raw_data"], sent["raw_data"])
    assert datasets["raw_data"].dtype == np.int16 and datasets["movement"].dtype == np.uint8
    assert set(datasets["sequence"]) <= set("ACGT")
    assert len(datasets["sequence"]) == len(datasets["qstring"]) == metadata["sequence_length"]
    assert datasets["movement"].sum() == len(datasets["sequence"])


def test_completed_arrays_own_their_storage_beyond_the_client(server, closing):
    # The numbers arrays take the called read's storage over instead of
    # copying it: each is its own writeable array, valid after the client and
    # every other array of the read are gone.
    obj = connected(server.address, closing=closing, move_enabled=True)
    sent = make_read(8, samples=5000)
    assert obj.pass_read(sent, 1000) == Strandlink.read_accepted
    [[read]] = collect(obj)
    obj.disconnect()
    del obj
    raw, moves = read["datasets"]["raw_data"], read["datasets"]["movement"]
    del read
    assert raw.base is not None, "handed over, not copied"
    assert raw.flags.writeable and raw.flags.c_contiguous and not np.shares_memory(raw, moves)
    np.testing.assert_array_equal(raw, sent["raw_data"])
    raw[:] = 0
    assert moves.sum() > 0 and not raw.any()


def test_many_reads_of_one_call_each_come_back_as_sent(server, closing):
    # The reads of one call are converted and freed a few at a time: every
    # dict of a call of many reads holds its own read, and its arrays stay
    # valid once the client is gone.
    obj = connected(server.address, closing=closing, move_enabled=True)
    sent = {tag: make_read(tag, samples=1000 + 13 * tag) for tag in range(1, 51)}
    tags_ = list(sent)
    for start in range(0, len(tags_), 20):
        assert obj.pass_reads([sent[tag] for tag in tags_[start:start + 20]], WAIT_MS) == Strandlink.read_accepted
    groups = collect(obj)
    obj.disconnect()
    del obj
    assert sorted(tag for group in tags(groups) for tag in group) == tags_
    for group in groups:
        [read] = group
        tag = read["read_tag"]
        assert read["metadata"]["read_id"] == f"read_{tag}" and read["metadata"]["start_time"] == 1000 + tag
        raw = read["datasets"]["raw_data"]
        assert raw.dtype == np.int16 and raw.shape == (1000 + 13 * tag,) and raw.base is not None
        np.testing.assert_array_equal(raw, sent[tag]["raw_data"])
        assert len(read["datasets"]["sequence"]) == read["metadata"]["sequence_length"]


def with_memory_failing_from(n, call):
    """call() while every allocation of Python's from the n-th on fails:
    its result, or None when it raised."""
    _testcapi = pytest.importorskip("_testcapi")
    _testcapi.set_nomemory(n, 0)
    try:
        return call()
    except Exception:
        return None
    finally:
        _testcapi.remove_mem_hooks()


def test_passing_and_collecting_while_memory_runs_out_loses_no_read(server, closing):
    # Every allocation of Python's from the n-th on fails, for n = 0, 1, ...
    # until the call gets through: a list is passed whole or not at all, and
    # a collection either fails with nothing handed out or hands out whole
    # groups, the rest coming first in the next call. In the end each read
    # has come out once, as sent.
    pytest.importorskip("_testcapi")
    obj = connected(server.address, closing=closing)
    sent = {tag: make_read(tag, samples=1000 + tag) for tag in range(1, 25)}
    tags_ = list(sent)
    for start in range(0, len(tags_), 8):
        reads = [sent[tag] for tag in tags_[start:start + 8]]
        n = 0
        while with_memory_failing_from(n, lambda: obj.pass_reads(reads, WAIT_MS)) != Strandlink.read_accepted:
            n += 1
            assert n < 100000
    assert obj.finish(60) == Strandlink.success
    got, failures, n = [], 0, 0
    while sum(len(group) for group in got) < len(sent):
        assert n < 100000
        groups = with_memory_failing_from(n, obj.get_completed_reads)
        n += 1
        if groups is None:
            failures += 1
        else:
            got.extend(groups)
    assert failures > 0 and obj.get_completed_reads() == []
    assert with_memory_failing_from(0, obj.get_completed_reads) in (None, [])
    # The other calls answer or raise (finish has ended the connection).
    assert with_memory_failing_from(0, obj.get_status) in (None, Strandlink.disconnected)
    for call in (obj.get_basecalling_config, obj.get_alignment_sam_header, obj.get_error_message,
                 lambda: repr(obj), obj.connect, obj.disconnect):
        with_memory_failing_from(0, call)
    obj.disconnect()
    assert obj.get_status() == Strandlink.disconnected
    assert sorted(tag for group in tags(got) for tag in group) == list(sent)
    for [read] in got:
        tag = read["read_tag"]
        assert read["metadata"]["read_id"] == f"read_{tag}"
        np.testing.assert_array_equal(read["datasets"]["raw_data"], sent[tag]["raw_data"])
        assert len(read["datasets"]["sequence"]) == read["metadata"]["sequence_length"] > 0


def test_short_read_comes_back_at_once_without_calls(server, closing):
    obj = connected(server.address, closing=closing)
    assert obj.pass_read(make_read(3, samples=99), WAIT_MS) == Strandlink.read_accepted
    [[read]] = collect(obj)
    assert list(read["datasets"]) == ["raw_data"]
    assert "sequence_length" not in read["metadata"]


def test_split_read_comes_back_as_one_group(make_server, closing):
    srv = make_server("--fault", "split:3@id=read_8")
    obj = connected(srv.address, closing=closing)
    for tag in (8, 9):
        assert obj.pass_read(make_read(tag, samples=4000), WAIT_MS) == Strandlink.read_accepted
    groups = sorted(collect(obj), key=len)
    assert tags(groups) == [[9], [8, 8, 8]]
    assert sorted(read["sub_tag"] for read in groups[1]) == [0, 1, 2]


def sam_lines(read):
    return read["metadata"]["alignment_sam_record"].split("\n")


def test_aligned_read_carries_records_and_sam_text(server, closing):
    obj = connected(server.address, config=MODBASE_CONFIG, closing=closing, align_ref=ALIGN_REF, bed_file=BED_FILE)
    for tag in range(1, 17):
        assert obj.pass_read(make_read(tag, samples=2000), WAIT_MS) == Strandlink.read_accepted
    reads = [read for group in collect(obj) for read in group]
    assert len(reads) == 16
    mapped = 0
    for read in reads:
        records = read["datasets"]["align_results"]
        assert records.dtype.itemsize == 320 and records.ndim == 1
        assert read["datasets"]["base_mod_probs"].shape == (len(read["datasets"]["sequence"]), 3)
        text = read["metadata"]["alignment_sam_record"]
        assert not text.endswith("\n")
        lines = sam_lines(read)
        assert all(line.split("\t")[0] == read["metadata"]["read_id"] for line in lines)
        assert "MM:Z:" in lines[0] and "ML:B:C" in lines[0]
        if len(records) and records[0]["genome"] != b"*":
            mapped += 1
            assert len(lines) == len(records)
            assert records[0]["genome"] == b"lambda"
            assert lines[0].split("\t")[2] == "lambda"
            assert read["metadata"]["alignment_genome"] == "lambda"
    assert mapped > 0


def test_modified_bases_without_alignment_still_give_sam_text(server, closing):
    obj = connected(server.address, config=MODBASE_CONFIG, closing=closing)
    assert obj.pass_read(make_read(1, samples=2000), WAIT_MS) == Strandlink.read_accepted
    [[read]] = collect(obj)
    assert "align_results" not in read["datasets"]
    [line] = sam_lines(read)
    assert line.split("\t")[2] == "*"


# --- static queries -------------------------------------------------------------

def test_server_queries(server):
    kits, result = Strandlink.get_barcode_kits(server.address, TIMEOUT_MS)
    assert result == Strandlink.success
    assert kits == [{"kit_name": "KIT-BC24", "first_index": 1, "last_index": 24, "is_both_ends": True},
                    {"kit_name": "KIT-RB96", "first_index": 1, "last_index": 96, "is_both_ends": False}]
    stats, result = Strandlink.get_server_stats(server.address, TIMEOUT_MS)
    assert result == Strandlink.success
    assert list(stats) == ["lifetime_reads_in", "lifetime_reads_out", "period_reads_in", "period_reads_out",
                           "client_statistics"]
    assert all(isinstance(value, int) for key, value in stats.items() if key != "client_statistics")
    info, result = Strandlink.get_server_information(server.address, TIMEOUT_MS)
    assert result == Strandlink.success
    assert "CUDA Devices" in json.loads(info)
    state, result = Strandlink.get_server_internal_state(server.address, TIMEOUT_MS)
    assert result == Strandlink.success and "ServerInformation" in state


def test_server_without_kits_or_clients(make_server):
    srv = make_server("--config", CONFIG, example=False)
    assert Strandlink.get_barcode_kits(srv.address, TIMEOUT_MS) == ([], Strandlink.success)
    stats, result = Strandlink.get_server_stats(srv.address, TIMEOUT_MS)
    assert result == Strandlink.success and stats["client_statistics"] == []


def test_server_statistics_list_connected_clients(server, closing):
    connected(server.address, num_threads=2, closing=closing)
    stats, _ = Strandlink.get_server_stats(server.address, TIMEOUT_MS)
    assert len(stats["client_statistics"]) >= 2
    assert list(stats["client_statistics"][0]) == ["input_read_count", "output_read_count"]


def test_queries_without_a_server():
    assert Strandlink.get_barcode_kits(NO_SERVER, 100) == (None, Strandlink.timed_out)
    assert Strandlink.get_server_stats(NO_SERVER, 100) == (None, Strandlink.timed_out)
    assert Strandlink.get_server_internal_state(NO_SERVER, 100) == (None, Strandlink.timed_out)
    assert Strandlink.get_server_information(NO_SERVER, 100) == ("No information available", Strandlink.timed_out)


@pytest.mark.parametrize("call", [
    lambda: Strandlink.get_barcode_kits(NO_SERVER, -1),
    lambda: Strandlink.get_server_stats(NO_SERVER, 2**32),
    lambda: Strandlink.get_server_information(NO_SERVER, 1.0),
    lambda: Strandlink.get_server_internal_state(address=NO_SERVER, timeout=100),
    lambda: Strandlink.get_barcode_kits(NO_SERVER),
])
def test_queries_refuse_bad_arguments(call):
    with pytest.raises(TypeError):
        call()


def test_versions():
    assert Strandlink.get_protocol_version() == (21, 0, 0)
    version = Strandlink.get_software_version()
    assert len(version) == 3 and all(isinstance(number, int) for number in version)


# --- threads and the interpreter lock -----------------------------------------------

def test_two_threads_stream_while_a_third_collects_every_read_once(server, closing):
    obj = connected(server.address, num_threads=3, closing=closing, max_reads_queued=10)
    per_thread = 1500
    expected = {}
    for tag in range(1, 2 * per_thread + 1):
        expected[tag] = make_read(tag, samples=200 + (tag * 37) % 1800)
    producers_done = threading.Event()
    collected = []
    errors = []

    def produce(first):
        try:
            for tag in range(first, first + per_thread):
                while True:
                    result = obj.pass_read(expected[tag], 100)
                    if result == Strandlink.read_accepted:
                        break
                    assert result == Strandlink.queue_full, result
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    def consume():
        try:
            while True:
                done = producers_done.is_set()
                groups = obj.get_completed_reads()
                collected.extend(groups)
                if done and not groups and sum(map(len, collected)) >= len(expected):
                    return
                if not groups:
                    time.sleep(0.005)
        except BaseException as error:
            errors.append(error)

    threads = [threading.Thread(target=produce, args=(1,)), threading.Thread(target=produce, args=(per_thread + 1,))]
    collector = threading.Thread(target=consume)
    for thread in threads + [collector]:
        thread.start()
    for thread in threads:
        thread.join()
    producers_done.set()
    collector.join(timeout=600)
    assert not collector.is_alive(), "collector did not get every read back"
    assert not errors, errors
    assert all(len(group) == 1 for group in collected)
    returned = sorted(group[0]["read_tag"] for group in collected)
    assert returned == sorted(expected)
    for group in collected[::97]:
        read = group[0]
        np.testing.assert_array_equal(read["datasets"]["raw_data"], expected[read["read_tag"]]["raw_data"])
        assert read["metadata"]["read_id"] == f"read_{read['read_tag']}"


def run_while_blocked(srv, blocking_call):
    """Pauses the server, runs blocking_call (which must wait on it) on this
    thread, and lets another thread resume the server once it has run for a
    while. The other thread can only do that while the interpreter lock is
    released; otherwise blocking_call times out first. Returns the order of
    events and blocking_call's result."""
    events = []
    started = threading.Event()

    def other():
        started.wait()
        for _ in range(50):
            time.sleep(0.001)
        events.append("other thread ran")
        srv.resume()

    thread = threading.Thread(target=other)
    thread.start()
    srv.pause()
    try:
        started.set()
        result = blocking_call()
        events.append("call returned")
    finally:
        thread.join()
        srv.resume()
    return events, result


SLOW = dict(GENEROUS, reconnect_timeout=5)


def fill_queue(pass_one, tag):
    """With the server paused, and the client's queue empty when it was:
    passes reads (pass_one(tag) with no wait) until the queue is full.
    Returns the first tag not passed. A read leaves the queue only once the
    server has accepted it, so the queue stays full until the server
    resumes."""
    while pass_one(tag) == Strandlink.read_accepted:
        tag += 1
    return tag


def test_lock_released_while_connect_waits(make_server, closing):
    srv = make_server()
    obj = Strandlink(srv.address, CONFIG, 2)
    closing(obj)
    obj.set_params(SLOW)
    events, result = run_while_blocked(srv, obj.connect)
    assert events == ["other thread ran", "call returned"]
    assert result == Strandlink.success


def test_lock_released_while_pass_read_waits_for_queue_space(make_server, closing):
    srv = make_server()
    obj = connected(srv.address, closing=closing, max_reads_queued=1, **SLOW)
    collected = []
    srv.pause()
    tag = 1
    while obj.pass_read(make_read(tag), 0) == Strandlink.read_accepted:
        tag += 1
    srv.resume()
    # Every one of them back before the server is paused again: a read still
    # queued then could be accepted by a reply already on its way, making
    # room for the pass that must wait.
    deadline = time.monotonic() + 60
    while len(collected) < tag - 1:
        assert time.monotonic() < deadline, "the first reads did not come back"
        collected.extend(obj.get_completed_reads())
        time.sleep(0.001)

    def blocking_pass():
        # With the server paused again, fill the queue anew so that this pass
        # must wait for room.
        nonlocal tag
        tag = fill_queue(lambda tag: obj.pass_read(make_read(tag), 0), tag)
        return obj.pass_read(make_read(tag), 8000)

    events, result = run_while_blocked(srv, blocking_pass)
    assert events == ["other thread ran", "call returned"]
    assert result == Strandlink.read_accepted
    collected.extend(collect(obj))
    assert sorted(group[0]["read_tag"] for group in collected) == list(range(1, tag + 1))


def test_lock_released_while_deallocation_stops_the_clients(make_server):
    srv = make_server()
    obj = connected(srv.address, num_threads=2, **SLOW)

    def delete():
        nonlocal obj
        del obj

    events, _ = run_while_blocked(srv, delete)
    assert events == ["other thread ran", "call returned"]


def test_lock_released_while_pass_reads_waits_for_queue_space(make_server, closing):
    srv = make_server()
    obj = connected(srv.address, closing=closing, max_reads_queued=1, **SLOW)
    tag = 1

    def blocking_pass():
        # With the server paused the queue fills; the batch must wait for
        # room until the other thread resumes the server.
        nonlocal tag
        tag = fill_queue(lambda tag: obj.pass_reads([make_read(tag)], 0), tag)
        return obj.pass_reads([make_read(tag)], 8000)

    events, result = run_while_blocked(srv, blocking_pass)
    assert events == ["other thread ran", "call returned"], (result, tag)
    assert result == Strandlink.read_accepted
    assert sorted(group[0]["read_tag"] for group in collect(obj)) == list(range(1, tag + 1))


def test_lock_released_while_finish_waits_for_reads(make_server, closing):
    srv = make_server()
    obj = connected(srv.address, closing=closing, **SLOW)

    def pass_and_finish():
        # The server is paused: the read cannot come back before the other
        # thread resumes it.
        assert obj.pass_read(make_read(1), WAIT_MS) == Strandlink.read_accepted
        return obj.finish(60)

    events, result = run_while_blocked(srv, pass_and_finish)
    assert events == ["other thread ran", "call returned"]
    assert result == Strandlink.success
    assert tags(obj.get_completed_reads()) == [[1]]


def test_lock_released_while_disconnect_waits_for_the_server(make_server, closing):
    srv = make_server()
    obj = connected(srv.address, num_threads=2, closing=closing, **SLOW)
    events, result = run_while_blocked(srv, obj.disconnect)
    assert events == ["other thread ran", "call returned"]
    assert result == Strandlink.success


@pytest.mark.parametrize("query", ["get_barcode_kits", "get_server_stats", "get_server_information",
                                   "get_server_internal_state"])
def test_lock_released_while_a_static_query_waits(make_server, query):
    srv = make_server()
    events, (_, result) = run_while_blocked(srv, lambda: getattr(Strandlink, query)(srv.address, TIMEOUT_MS))
    assert events == ["other thread ran", "call returned"], result
    assert result == Strandlink.success


# get_completed_reads releases the lock too, but never waits on the server:
# only the client's own queue, which no paused server can hold.

# --- one object, several threads ---------------------------------------------------

def run_threads(*targets, timeout=300):
    """Runs each target on a thread of its own; fails when one raises, or
    hangs past the timeout (the daemon threads are then left behind)."""
    errors = []

    def guarded(target):
        def run():
            try:
                target()
            except BaseException as error:  # reported by the main thread
                errors.append(error)
        return run

    threads = [threading.Thread(target=guarded(target), daemon=True) for target in targets]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + timeout
    for thread in threads:
        thread.join(max(0.0, deadline - time.monotonic()))
    assert not any(thread.is_alive() for thread in threads), "a call did not return"
    assert not errors, errors


CONNECT_RESULTS = {Strandlink.success, Strandlink.already_connected}
STOP_RESULTS = {Strandlink.success, Strandlink.no_connection}


def test_set_params_while_another_thread_connects_and_disconnects(server, closing):
    obj = connected(server.address, num_threads=2, closing=closing)
    assert obj.disconnect() == Strandlink.success
    cycled = threading.Event()

    def cycle():
        try:
            for _ in range(15):
                assert obj.connect() == Strandlink.success
                assert obj.disconnect() == Strandlink.success
        finally:
            cycled.set()

    def configure():
        count = 0
        while not cycled.is_set():
            name = f"a client name long enough to live on the heap {count}"
            result = obj.set_params(dict(GENEROUS, client_name=name, max_reads_queued=20 + count % 5))
            assert result in {Strandlink.success, Strandlink.already_connected}, result
            count += 1

    run_threads(cycle, configure)


def test_two_threads_disconnect_at_once(server, closing):
    obj = connected(server.address, num_threads=2, closing=closing)
    for _ in range(10):
        assert obj.get_status() == Strandlink.connected
        start = threading.Barrier(2)
        results = []

        def disconnect():
            start.wait()
            results.append(obj.disconnect())

        run_threads(disconnect, disconnect)
        assert sorted(results, key=int) == [Strandlink.success, Strandlink.no_connection]
        assert obj.connect() == Strandlink.success


def test_two_threads_loop_connect_and_disconnect(server, closing):
    obj = connected(server.address, num_threads=2, closing=closing)

    def cycle():
        for _ in range(15):
            assert obj.connect() in CONNECT_RESULTS
            assert obj.disconnect() in STOP_RESULTS

    run_threads(cycle, cycle)
    assert obj.connect() in CONNECT_RESULTS
    assert obj.pass_read(make_read(1), WAIT_MS) == Strandlink.read_accepted
    assert tags(collect(obj)) == [[1]]


def test_disconnect_during_connect_waits_for_every_client(make_server, closing):
    # While the paused server holds the first client's connect, a disconnect
    # from another thread waits for the whole connect, then stops every
    # client: no client is left connected behind a disconnected first one.
    srv = make_server()
    obj = Strandlink(srv.address, CONFIG, 3)
    closing(obj)
    assert obj.set_params(SLOW) == Strandlink.success
    results = {}
    srv.pause()
    try:
        connecting = threading.Thread(target=lambda: results.update(connect=obj.connect()), daemon=True)
        connecting.start()
        deadline = time.monotonic() + 60
        while obj.get_status() == Strandlink.disconnected:
            assert time.monotonic() < deadline, "connect did not start"
            time.sleep(0.005)
        stopping = threading.Thread(target=lambda: results.update(disconnect=obj.disconnect()), daemon=True)
        stopping.start()
        time.sleep(0.05)
    finally:
        srv.resume()
    for thread in (connecting, stopping):
        thread.join(120)
        assert not thread.is_alive()
    assert results == {"connect": Strandlink.success, "disconnect": Strandlink.success}
    assert repr(obj) == "\n".join(["Strandlink(status=disconnected)"] * 3)


# --- interpreter exit --------------------------------------------------------------

EXIT_SCRIPT = """
import sys, threading, time
import strandpy
from conftest import make_read

Strandlink = strandpy.Strandlink
address = sys.argv[1]
obj = Strandlink(address, "signal_model_hac")
obj.set_params({"query_timeout": 10000, "connection_timeout": 10000})
assert obj.connect() == Strandlink.success
started = threading.Barrier(4)

def collect():
    started.wait()
    while True:
        obj.get_completed_reads()

def feed():
    started.wait()
    tag = 1
    while True:
        if obj.pass_read(make_read(tag, samples=200), 10) == Strandlink.read_accepted:
            tag += 1

def query():
    started.wait()
    while True:
        Strandlink.get_server_stats(address, 10000)

for target in (collect, feed, query):
    threading.Thread(target=target, daemon=True).start()
started.wait()
time.sleep(0.2)
print("exiting", flush=True)
"""


def test_exit_while_daemon_threads_are_inside_library_calls(server):
    # The daemon threads are inside calls that released the interpreter lock
    # when the interpreter exits: the process ends normally.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(pathlib.Path(strandpy.__file__).parent), str(pathlib.Path(__file__).parent)]))
    for _ in range(3):
        run = subprocess.run([sys.executable, "-c", EXIT_SCRIPT, server.address], env=env, capture_output=True,
                             text=True, timeout=120)
        assert (run.returncode, run.stdout) == (0, "exiting\n"), run.stderr


# --- texts from outside ----------------------------------------------------------

def test_error_texts_that_are_not_utf8_come_out_with_replacement_characters(server, closing):
    obj = Strandlink(server.address, b"bad\xffconfig")
    closing(obj)
    assert obj.set_params(GENEROUS) == Strandlink.success
    assert obj.connect() == Strandlink.basecall_config_unavailable
    message = obj.get_error_message()
    assert message.startswith("[basecall_config_unavailable] ") and "bad\ufffdconfig" in message
    assert repr(obj) == f"Strandlink(status=error, {message})"
    assert "bad\ufffdconfig" in obj.get_internal_state()


def test_server_texts_that_are_not_utf8_come_out_with_replacement_characters(make_server):
    state = b'{"ServerInformation":{"name":"gpu\xff"}}'
    srv = make_server("--on", b"QUERY=RESPONSE:" + state)
    assert Strandlink.get_server_internal_state(srv.address, TIMEOUT_MS) == (
        state.decode(errors="replace"), Strandlink.success)
    assert Strandlink.get_server_information(srv.address, TIMEOUT_MS) == (
        '{"name":"gpu\ufffd"}', Strandlink.success)


# --- bad reads the library refuses ------------------------------------------------

def test_bad_read_refused_by_the_library_writes_one_warning(server, closing, capfd):
    obj = connected(server.address, closing=closing)
    assert obj.pass_read(make_read(1), WAIT_MS) == Strandlink.read_accepted
    capfd.readouterr()
    # A tag the client still holds passes the dict check; the library
    # refuses it and says why.
    assert obj.pass_read(make_read(1), WAIT_MS) == Strandlink.bad_read
    assert obj.pass_reads([make_read(2), make_read(2)], WAIT_MS) == Strandlink.bad_read
    err = capfd.readouterr().err.splitlines()
    assert [line for line in err if "warning" in line] == [
        "[zeb/warning] apps::StrandlinkImpl::pass_read: Bad read tag 1: the client still holds a read of that tag "
        "(queued, at the server, or completed and not yet collected).",
        "[zeb/warning] apps::StrandlinkImpl::pass_reads: Bad read tag 2: more than one read of the tag passed "
        "together."]


def test_disconnect_from_another_thread_ends_a_finish_without_time_limit(make_server, closing):
    # The server never hands the read back, so finish(0) would wait for good;
    # a disconnect from another thread must end it, not wait behind it.
    srv = make_server("--on", "GET_FIRST_CALLED_BLOCK=NONE_PENDING")
    obj = connected(srv.address, closing=closing)
    assert obj.pass_read(make_read(1), WAIT_MS) == Strandlink.read_accepted
    results = {}
    finishing = threading.Event()

    def finish():
        finishing.set()
        results["finish"] = obj.finish(0)

    def disconnect():
        finishing.wait()
        time.sleep(0.2)  # either order must end well
        results["disconnect"] = obj.disconnect()

    run_threads(finish, disconnect, timeout=60)
    assert results == {"finish": Strandlink.not_ready, "disconnect": Strandlink.success}
