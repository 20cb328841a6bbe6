"""Strandlink against the project's test server: connecting one and several
clients, reads round-robin and back, alignment text, result combination,
static queries, and the interpreter lock released while the library waits."""

import json
import threading
import time

import numpy as np
import pytest

import strandpy
from conftest import ALIGN_REF, BED_FILE, CONFIG, MODBASE_CONFIG, make_read

Strandlink = strandpy.Strandlink
NO_SERVER = "tcp://127.0.0.1:1"


def connected(address, config=CONFIG, num_threads=1, closing=None, **params):
    obj = Strandlink(address, config, num_threads)
    if closing is not None:
        closing(obj)
    assert obj.set_params(dict({"client_name": "python tests"}, **params)) == Strandlink.success
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
    assert obj.connect() == Strandlink.basecall_config_unavailable
    assert obj.finish() == Strandlink.failed  # no_connection, then failed
    assert obj.disconnect() == Strandlink.no_connection  # no_connection, then success


# --- reads -----------------------------------------------------------------------

def test_reads_go_round_robin_and_come_back_grouped_by_client(server, closing):
    obj = connected(server.address, num_threads=2, closing=closing)
    assert obj.pass_read(make_read(1), 1000) == Strandlink.read_accepted     # client 0
    assert obj.pass_read(dict(make_read(9), read_id=""), 1000) == Strandlink.bad_read  # no turn taken
    assert obj.pass_read(make_read(2), 1000) == Strandlink.read_accepted     # client 1
    # A tag that client 0 still holds: refused by the library, turn taken.
    assert obj.pass_read(make_read(1), 1000) == Strandlink.bad_read          # client 0
    assert obj.pass_read(make_read(4), 1000) == Strandlink.read_accepted     # client 1
    assert obj.pass_reads([], 1000) == Strandlink.read_accepted               # client 0
    assert obj.pass_reads([make_read(5), make_read(6)], 1000) == Strandlink.read_accepted  # client 1
    groups = collect(obj)
    assert tags(groups)[0] == [1]
    assert sorted(tags(groups)[1:]) == [[2], [4], [5], [6]]


def test_pass_reads_with_a_bad_read_sends_nothing(server, closing):
    obj = connected(server.address, closing=closing)
    assert obj.pass_reads([make_read(1), dict(make_read(2), raw_data=[1, 2])]) == Strandlink.bad_read
    assert obj.pass_reads([make_read(3)], 1000) == Strandlink.read_accepted
    assert tags(collect(obj)) == [[3]]


def test_completed_read_dict(server, closing):
    obj = connected(server.address, closing=closing, move_enabled=True)
    sent = make_read(7, samples=3000)
    assert obj.pass_read(sent, 1000) == Strandlink.read_accepted
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


def test_short_read_comes_back_at_once_without_calls(server, closing):
    obj = connected(server.address, closing=closing)
    assert obj.pass_read(make_read(3, samples=99), 1000) == Strandlink.read_accepted
    [[read]] = collect(obj)
    assert list(read["datasets"]) == ["raw_data"]
    assert "sequence_length" not in read["metadata"]


def test_split_read_comes_back_as_one_group(make_server, closing):
    srv = make_server("--fault", "split:3@id=read_8")
    obj = connected(srv.address, closing=closing)
    for tag in (8, 9):
        assert obj.pass_read(make_read(tag, samples=4000), 1000) == Strandlink.read_accepted
    groups = sorted(collect(obj), key=len)
    assert tags(groups) == [[9], [8, 8, 8]]
    assert sorted(read["sub_tag"] for read in groups[1]) == [0, 1, 2]


def sam_lines(read):
    return read["metadata"]["alignment_sam_record"].split("\n")


def test_aligned_read_carries_records_and_sam_text(server, closing):
    obj = connected(server.address, config=MODBASE_CONFIG, closing=closing, align_ref=ALIGN_REF, bed_file=BED_FILE)
    for tag in range(1, 17):
        assert obj.pass_read(make_read(tag, samples=2000), 1000) == Strandlink.read_accepted
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
    assert obj.pass_read(make_read(1, samples=2000), 1000) == Strandlink.read_accepted
    [[read]] = collect(obj)
    assert "align_results" not in read["datasets"]
    [line] = sam_lines(read)
    assert line.split("\t")[2] == "*"


# --- static queries -------------------------------------------------------------

def test_server_queries(server):
    kits, result = Strandlink.get_barcode_kits(server.address, 2000)
    assert result == Strandlink.success
    assert kits == [{"kit_name": "KIT-BC24", "first_index": 1, "last_index": 24, "is_both_ends": True},
                    {"kit_name": "KIT-RB96", "first_index": 1, "last_index": 96, "is_both_ends": False}]
    stats, result = Strandlink.get_server_stats(server.address, 2000)
    assert result == Strandlink.success
    assert list(stats) == ["lifetime_reads_in", "lifetime_reads_out", "period_reads_in", "period_reads_out",
                           "client_statistics"]
    assert all(isinstance(value, int) for key, value in stats.items() if key != "client_statistics")
    info, result = Strandlink.get_server_information(server.address, 2000)
    assert result == Strandlink.success
    assert "CUDA Devices" in json.loads(info)
    state, result = Strandlink.get_server_internal_state(server.address, 2000)
    assert result == Strandlink.success and "ServerInformation" in state


def test_server_without_kits_or_clients(make_server):
    srv = make_server("--config", CONFIG, example=False)
    assert Strandlink.get_barcode_kits(srv.address, 2000) == ([], Strandlink.success)
    stats, result = Strandlink.get_server_stats(srv.address, 2000)
    assert result == Strandlink.success and stats["client_statistics"] == []


def test_server_statistics_list_connected_clients(server, closing):
    connected(server.address, num_threads=2, closing=closing)
    stats, _ = Strandlink.get_server_stats(server.address, 2000)
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


SLOW = {"query_timeout": 5000, "connection_timeout": 5000, "reconnect_timeout": 5}


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

    def blocking_pass():
        # The reads queued above went out once the server resumed; with the
        # server paused again, fill the queue anew so that this pass must
        # wait for room. The collector of the other thread runs meanwhile.
        nonlocal tag
        collected.extend(obj.get_completed_reads())
        while obj.pass_read(make_read(tag), 0) == Strandlink.read_accepted:
            tag += 1
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
