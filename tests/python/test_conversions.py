"""The module's conversions on data-model objects that no server produces,
through the test-only module strandpy_probe."""

import struct
import sys
import warnings

import numpy as np
import pytest

import strandpy  # noqa: F401  (registers the types the probe hands out)
import strandpy_probe as probe
from conftest import make_read

Strandlink = strandpy.Strandlink

INT8, INT16, INT32, INT64, UINT8, UINT16, UINT32, UINT64, FLOAT32, FLOAT64 = range(10)
FIXED_STRING, STRING, TABLE, NONE = 10, 11, 12, 13

NUMERIC = [(INT8, np.int8), (INT16, np.int16), (INT32, np.int32), (INT64, np.int64),
           (UINT8, np.uint8), (UINT16, np.uint16), (UINT32, np.uint32), (UINT64, np.uint64),
           (FLOAT32, np.float32), (FLOAT64, np.float64)]

# The columns of a read's alignment-results table, as the library lays them out.
ALIGNMENT_COLUMNS = (
    [("Genome", FIXED_STRING, 253), ("Direction", INT8, 0)]
    + [(name, INT32, 0) for name in ("GenomeStart", "GenomeEnd", "StrandStart", "StrandEnd", "NumEvents",
                                     "NumInsertions", "NumDeletions", "NumAligned", "NumCorrect")]
    + [(name, FLOAT32, 0) for name in ("Coverage", "Identity", "Accuracy")]
    + [(name, INT32, 0) for name in ("StrandScore", "BedHits", "MappingQuality")]
    + [("IsSecondary", UINT8, 0), ("IsSupplementary", UINT8, 0)])


def numeric_dataset(type_code, values):
    data = np.asarray(values).tobytes()
    return (type_code, np.asarray(values).itemsize, len(values), 0, 0, data)


# --- dataset_to_array -------------------------------------------------------

@pytest.mark.parametrize("type_code,dtype", NUMERIC)
def test_numeric_dataset_becomes_array_of_its_type(type_code, dtype):
    values = np.array([0, 1, 2, 3, 100], dtype=dtype)
    array = probe.dataset_to_array(type_code, values.itemsize, 5, 0, 0, values.tobytes())
    assert array.dtype == dtype
    assert array.shape == (5,)
    np.testing.assert_array_equal(array, values)


def test_matrix_dataset_becomes_two_dimensional_array():
    values = np.arange(40, dtype=np.uint8)
    array = probe.dataset_to_array(UINT8, 1, 40, 10, 4, values.tobytes())
    assert array.shape == (10, 4)
    np.testing.assert_array_equal(array, values.reshape(10, 4))


def test_empty_vector_dataset_gives_empty_array_of_its_type():
    array = probe.dataset_to_array(INT16, 2, 0, 0, 0, b"")
    assert array.dtype == np.int16 and array.shape == (0,)


@pytest.mark.parametrize("type_code", [FIXED_STRING, STRING, NONE])
def test_non_numeric_dataset_gives_empty_float64_array(type_code):
    array = probe.dataset_to_array(type_code, 1, 1, 0, 0, b"x")
    assert array.dtype == np.float64 and array.shape == (0,)


@pytest.mark.parametrize("type_code,element_size,count,rows,cols,payload,message", [
    (INT16, 4, 2, 0, 0, bytes(8),
     "Python data type size (2) for DataType 1 does not match input data size (4)"),
    (FLOAT64, 4, 2, 0, 0, bytes(8),
     "Python data type size (8) for DataType 9 does not match input data size (4)"),
    # A matrix whose element count is not rows x cols: the copy would read
    # past the 40 bytes it holds.
    (UINT8, 1, 80, 10, 4, bytes(40), "holds 80 elements, not the 10 x 4 its shape needs"),
    (UINT8, 1, 40, 10, 8, bytes(40), "holds 40 elements, not the 10 x 8 its shape needs"),
    (UINT8, 1, 0, 2**33, 2**33, b"", "not the 8589934592 x 8589934592"),
    (INT32, 4, 3, 0, 0, b"", "has 3 elements but no storage"),
    (UINT64, 8, 2**62, 0, 0, bytes(8), "more than memory holds"),
])
def test_inconsistent_dataset_raises_instead_of_reading(type_code, element_size, count, rows, cols, payload,
                                                         message):
    with pytest.raises(RuntimeError) as error:
        probe.dataset_to_array(type_code, element_size, count, rows, cols, payload)
    assert message in str(error.value)


def alignment_row(genome, direction, ints, floats, tail_ints, secondary, supplementary):
    """One 320-byte row at the library's offsets, packed by hand."""
    row = bytearray(320)
    row[0:len(genome)] = genome
    row[254] = direction
    struct.pack_into("<9i", row, 256, *ints)
    struct.pack_into("<3f", row, 292, *floats)
    struct.pack_into("<3i", row, 304, *tail_ints)
    row[316] = secondary
    row[317] = supplementary
    return bytes(row)


def test_alignment_table_becomes_align_results_records():
    rows = [alignment_row(b"lambda", ord("+"), range(1, 10), (0.5, 0.75, 0.875), (60, 2, 37), 0, 1),
            alignment_row(b"x" * 253, ord("-"), range(-9, 0), (1.0, 0.0, 0.25), (-1, 0, 255), 1, 0)]
    array, row_size = probe.table_to_array(ALIGNMENT_COLUMNS, 2, b"".join(rows))
    assert row_size == 320
    assert array.dtype.itemsize == 320 and array.shape == (2,)
    first, second = array
    assert first["genome"] == b"lambda" and first["direction"] == b"+"
    assert [first[name] for name in ("genome_start", "genome_end", "strand_start", "strand_end", "num_events",
                                     "num_insertions", "num_deletions", "num_aligned", "num_correct")] \
        == list(range(1, 10))
    assert (first["coverage"], first["identity"], first["accuracy"]) == (0.5, 0.75, 0.875)
    assert (first["score"], first["bed_hits"], first["mapping_quality"]) == (60, 2, 37)
    assert (first["secondary_alignment"], first["supplementary_alignment"]) == (0, 1)
    assert second["genome"] == b"x" * 253 and second["direction"] == b"-"
    assert second["num_correct"] == -1 and second["mapping_quality"] == 255
    assert second["secondary_alignment"] == 1


def test_table_not_starting_with_genome_gives_empty_float64_array():
    array, _ = probe.table_to_array([("Other", INT32, 0), ("Genome", FIXED_STRING, 253)], 3, b"")
    assert array.dtype == np.float64 and array.shape == (0,)


def test_alignment_table_of_another_row_size_raises():
    with pytest.raises(RuntimeError, match=r"Python data type size \(320\) for DataType 12 does not match "
                                           r"input data size \(256\)"):
        probe.table_to_array([("Genome", FIXED_STRING, 253)], 1, b"")


# --- metadata_to_dict ---------------------------------------------------------

@pytest.mark.parametrize("native,value,expected", [
    ("bool", True, True),
    ("int8", -128, -128),
    ("uint8", 255, 255),
    ("int16", -32768, -32768),
    ("uint16", 65535, 65535),
    ("int32", -2**31, -2**31),
    ("uint32", 2**32 - 1, 2**32 - 1),
    ("int64", -2**63, -2**63),
    ("uint64", 2**64 - 1, 2**64 - 1),
    ("float", 2.7, 2.700000047683716),
    ("double", 2.7, 2.7),
    ("string", "Test read-id", "Test read-id"),
])
def test_metadata_value_becomes_python_value(native, value, expected):
    result = probe.metadata_to_dict([("key", native, value)])
    assert result == {"key": expected}
    assert type(result["key"]) is type(expected)


def test_metadata_keys_come_out_in_key_order():
    entries = [("zeta", "int32", 1), ("alpha", "string", "a"), ("mid", "bool", False), ("Alpha", "double", 1.0)]
    assert list(probe.metadata_to_dict(entries)) == ["Alpha", "alpha", "mid", "zeta"]


def test_metadata_text_not_utf8_raises_when_strict():
    with pytest.raises(UnicodeDecodeError):
        probe.metadata_to_dict([("read_id", "string", b"read\xff")])


def test_metadata_text_not_utf8_is_replaced_when_tolerant():
    result, problems = probe.metadata_to_dict([("read_id", "string", b"read\xff"), ("x", "int32", 1)], True)
    assert result == {"read_id": "read\ufffd", "x": 1}
    assert problems == ['metadata "read_id": text is not UTF-8; undecodable bytes replaced']


def test_metadata_text_holding_replacement_character_is_no_problem():
    result, problems = probe.metadata_to_dict([("t", "string", "a\ufffdb".encode())], True)
    assert result == {"t": "a\ufffdb"} and problems == []


# While the reads of one hand-over are converted, the str objects of the keys
# are kept from one read for the next, by position: each step below runs
# right after the one before it under one scope, so that a key meets every
# way it can differ from the one kept at its place (the same key, one of the
# same length, a prefix, a key kept at another place, text that is not UTF-8,
# more keys than are kept) and must still come out as itself.
KEY_STEPS = [
    [("daq_offset", "float", 4.5), ("read_id", "string", "r1"), ("start_time", "uint64", 10)],
    [("daq_offset", "float", 5.5), ("read_id", "string", "r2"), ("start_time", "uint64", 11)],
    [("daq_offset", "float", 5.5), ("read_ie", "string", "r2"), ("start_time", "uint64", 11)],
    [("daq_offset", "float", 5.5), ("read_i", "string", "r2")],
    [("", "int32", 0), ("daq_offset", "bool", True), ("read_i", "int8", -1), ("start_time", "double", 0.5)],
    [("a", "int32", 1), (b"k\xff", "int32", 2), ("z", "int32", 3)],
    [("a", "int32", 1), ("k", "int32", 2), ("z", "int32", 3)],
    [("a\0b", "int32", 1), ("a\0c", "int32", 2)],
    [(f"key{i:03}", "int32", i) for i in range(300)],
    [(f"key{i:03}", "uint16", 300 - i) for i in range(300)],
    [("daq_offset", "float", 4.5), ("read_id", "string", "r1"), ("start_time", "uint64", 10)],
]


@pytest.mark.parametrize("tolerant", [False, True])
def test_metadata_keys_of_successive_conversions_are_their_own(tolerant):
    results = probe.metadata_to_dicts(KEY_STEPS, tolerant)
    assert len(results) == len(KEY_STEPS)
    for entries, result in zip(KEY_STEPS, results):
        expected = sorted((key, value) for key, _, value in entries if isinstance(key, str))
        if len(expected) < len(entries):
            # A key that is no text raises strictly; tolerantly it is left
            # out with a line quoting its bytes, which the probe cannot hand
            # back as str. Either way the steps after it are right.
            if not tolerant:
                assert result is UnicodeDecodeError
            else:
                assert isinstance(result, type) and issubclass(result, Exception)
            continue
        if tolerant:
            result, problems = result
            assert problems == []
        assert list(result.items()) == expected
        assert all(type(key) is str for key in result)
    # The same conversions one by one, each without a scope, agree.
    for entries, result in zip(KEY_STEPS, results):
        if isinstance(result, type):
            continue
        assert probe.metadata_to_dict(entries, tolerant) == result


# --- datasets_to_dict ---------------------------------------------------------

def string_dataset(dataset_id, text):
    return (dataset_id, STRING, len(text) + 1, 1, 0, 0, text)


def test_datasets_named_by_identifier_and_unknown_ones_left_out():
    moves = np.array([1, 0, 1], dtype=np.uint8)
    probs = np.arange(12, dtype=np.uint8)
    result = probe.datasets_to_dict([
        (0, INT16, 2, 2, 0, 0, np.array([5, -5], dtype=np.int16).tobytes()),
        string_dataset(1, b"ACGT"),
        string_dataset(2, b"5555"),
        (3, UINT8, 1, 3, 0, 0, moves.tobytes()),
        (4, UINT8, 1, 12, 4, 3, probs.tobytes()),
        (6, INT32, 4, 1, 0, 0, bytes(4)),
    ])
    assert list(result) == ["raw_data", "sequence", "qstring", "movement", "base_mod_probs"]
    assert result["sequence"] == "ACGT" and result["qstring"] == "5555"
    np.testing.assert_array_equal(result["raw_data"], [5, -5])
    np.testing.assert_array_equal(result["movement"], moves)
    assert result["base_mod_probs"].shape == (4, 3)


def test_string_dataset_keeps_inner_nul_bytes():
    assert probe.datasets_to_dict([string_dataset(1, b"AC\0GT")]) == {"sequence": "AC\0GT"}


def test_string_dataset_not_utf8_raises_when_strict():
    with pytest.raises(UnicodeDecodeError):
        probe.datasets_to_dict([string_dataset(2, b"\xfe\xff")])


def test_dataset_problems_leave_only_that_dataset_out_when_tolerant():
    result, problems = probe.datasets_to_dict([
        (0, INT16, 4, 2, 0, 0, bytes(8)),
        string_dataset(1, b"AC\xffT"),
        string_dataset(2, b"++++"),
    ], True)
    assert result == {"sequence": "AC\ufffdT", "qstring": "++++"}
    assert problems == [
        'dataset "raw_data" left out: Python data type size (2) for DataType 1 does not match input data size (4)',
        'dataset "sequence": text is not UTF-8; undecodable bytes replaced']


def test_dataset_problem_raises_when_strict():
    with pytest.raises(RuntimeError, match="does not match input data size"):
        probe.datasets_to_dict([(0, INT16, 4, 2, 0, 0, bytes(8))])


# --- completed reads: every read reaches the caller ---------------------------

def good_read(tag):
    return (tag, [("read_id", "string", f"read_{tag}")], [string_dataset(1, b"ACGT")], [])


def bad_read(tag):
    return (tag, [("read_id", "string", b"bad\xff"), ("run_id", "string", "run")],
            [(0, INT16, 4, 2, 0, 0, bytes(8)), string_dataset(2, b"\xff")], [])


def test_completed_reads_keep_groups_and_convert_every_read_despite_bad_ones():
    with pytest.warns(RuntimeWarning) as record:
        groups = probe.completed_reads_to_list([[good_read(1), bad_read(2)], [good_read(3)], [bad_read(4)]])
    assert [[read["read_tag"] for read in group] for group in groups] == [[1, 2], [3], [4]]
    first, second = groups[0]
    assert first["metadata"] == {"read_id": "read_1"} and first["datasets"] == {"sequence": "ACGT"}
    assert list(first) == ["read_tag", "sub_tag", "priority", "metadata", "datasets"]
    assert second["metadata"] == {"read_id": "bad\ufffd", "run_id": "run"}
    assert second["datasets"] == {"qstring": "\ufffd"}
    texts = [str(w.message) for w in record]
    assert len(texts) == 2
    assert texts[0].startswith("read_tag 2 sub_tag 0:") and 'dataset "raw_data" left out' in texts[0]
    assert texts[1].startswith("read_tag 4 sub_tag 0:")


def test_a_warning_quoting_bytes_that_are_not_utf8_still_warns(monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    read = (5, [(b"k\xff", "int32", 2), ("read_id", "string", "r5")], [], [])
    with pytest.warns(RuntimeWarning) as record:
        groups = probe.completed_reads_to_list([[read]])
    assert groups[0][0]["metadata"] == {"read_id": "r5"}
    assert reported == []
    texts = [str(w.message) for w in record]
    assert len(texts) == 1 and texts[0].startswith("read_tag 5 sub_tag 0:") and "k\ufffd" in texts[0]


def test_completed_reads_survive_warnings_turned_into_errors(monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        groups = probe.completed_reads_to_list([[bad_read(7)], [good_read(8)]])
    assert [group[0]["read_tag"] for group in groups] == [7, 8]
    assert len(reported) == 1 and isinstance(reported[0].exc_value, RuntimeWarning)


def test_completed_reads_without_problems_warn_nothing():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert probe.completed_reads_to_list([]) == []
        assert len(probe.completed_reads_to_list([[good_read(1)]])) == 1


def numbered_read(tag):
    """A read with text, number arrays and metadata that all carry its tag, so
    that a mix-up shows; every seventh is a bad one that warns."""
    if tag % 7 == 0:
        return bad_read(tag)
    return (tag, [("read_id", "string", f"read_{tag}"), ("start_time", "uint64", 1000 + tag),
                  ("strand_id", "string", f"read_{tag}")],
            [(0,) + numeric_dataset(INT16, np.array([tag, -tag, 3], dtype=np.int16)),
             string_dataset(1, b"AC" * tag), string_dataset(2, b"+" * (2 * tag)),
             (3, UINT8, 1, 2 * tag, 0, 0, bytes(range(2 * tag)))],
            [])


def test_reads_freed_as_they_are_converted_give_the_same_objects():
    # Groups of several sizes, so that the reads freed together cross the
    # groups and the last few are freed at the end.
    sizes = [1, 15, 2, 40, 3, 1]
    tags_ = iter(range(1, sum(sizes) + 1))
    spec = [[numbered_read(next(tags_)) for _ in range(size)] for size in sizes]
    with warnings.catch_warnings(record=True) as kept_warnings:
        warnings.simplefilter("always")
        kept = probe.completed_reads_to_list(spec)
    with warnings.catch_warnings(record=True) as freed_warnings:
        warnings.simplefilter("always")
        freed = probe.completed_reads_to_list(spec, free_as_converted=True)
    assert [str(w.message) for w in freed_warnings] == [str(w.message) for w in kept_warnings]
    assert len(kept_warnings) == sum(1 for group in spec for read in group if read[0] % 7 == 0)
    assert [len(group) for group in freed] == sizes
    arrays = []
    for kept_group, freed_group in zip(kept, freed):
        for a, b in zip(kept_group, freed_group):
            tag = b["read_tag"]
            assert list(b) == list(a) and b["metadata"] == a["metadata"]
            assert (tag, b["sub_tag"], b["priority"]) == (a["read_tag"], a["sub_tag"], a["priority"])
            assert list(b["datasets"]) == list(a["datasets"])
            for name, value in a["datasets"].items():
                other = b["datasets"][name]
                assert type(other) is type(value)
                if isinstance(value, np.ndarray):
                    assert other.dtype == value.dtype and other.shape == value.shape
                    np.testing.assert_array_equal(other, value)
                    arrays.append((other, value.copy()))
                else:
                    assert other == value
            if tag % 7:
                assert b["metadata"]["read_id"] == f"read_{tag}" and b["datasets"]["sequence"] == "AC" * tag
                np.testing.assert_array_equal(b["datasets"]["raw_data"], [tag, -tag, 3])
    assert [read["read_tag"] for group in freed for read in group] == list(range(1, sum(sizes) + 1))
    # The arrays outlive every read and every dict they came in.
    del kept, freed, a, b, kept_group, freed_group
    for array, expected in arrays:
        np.testing.assert_array_equal(array, expected)


def assert_same_reads(got, expected):
    assert [[read["read_tag"] for read in group] for group in got] == \
        [[read["read_tag"] for read in group] for group in expected]
    for got_group, expected_group in zip(got, expected):
        for a, b in zip(got_group, expected_group):
            assert list(a) == list(b) and a["metadata"] == b["metadata"]
            assert list(a["datasets"]) == list(b["datasets"])
            for name, value in b["datasets"].items():
                if isinstance(value, np.ndarray):
                    np.testing.assert_array_equal(a["datasets"][name], value)
                else:
                    assert a["datasets"][name] == value


def test_running_out_of_memory_while_converting_loses_no_read():
    # Every allocation of Python's from the n-th on fails, for n = 0, 1, ...
    # until a conversion gets through. Each group is converted whole or left
    # whole: the groups converted come out, every later one stays as it was
    # (its arrays' storage too), and an exception comes out only when no
    # group was converted.
    _testcapi = pytest.importorskip("_testcapi")
    spec = [[numbered_read(tag) for tag in group] for group in ([1, 2], [3], [4, 5, 6], [8], [9, 10])]
    expected = probe.completed_reads_to_list(spec)
    outcomes = set()
    for n in range(100000):
        converted, left, error = probe.completed_reads_to_list_between(
            spec, lambda: _testcapi.set_nomemory(n, 0), _testcapi.remove_mem_hooks)
        assert error is None or converted == [], (n, error)
        assert_same_reads(list(converted) + list(left), expected)
        outcomes.add("failed" if error else "partly" if left else "whole")
        if error is None and not left:
            break
    assert outcomes == {"failed", "partly", "whole"}


# --- dict_to_read ---------------------------------------------------------------

REQUIRED = ["read_tag", "raw_data", "read_id", "daq_offset", "daq_scaling", "sampling_rate", "start_time"]


def convert(**changes):
    read = make_read(5, samples=20)
    for key, value in changes.items():
        if value is KeyError:
            del read[key]
        else:
            read[key] = value
    return probe.dict_to_read(read)


def test_valid_read_dict_fills_the_read():
    read = make_read(5, samples=20)
    filled, result = probe.dict_to_read(dict(read, channel=17, mux=-1, run_id="", duration=20, priority=0))
    assert filled
    assert result["read_tag"] == 5 and result["sub_tag"] == 0
    assert result["priority"] == Strandlink.read_priority.medium_priority
    assert result["metadata"] == {
        "channel": 17, "daq_offset": 4.0, "daq_scaling": 0.5, "duration": 20, "mux": 2**32 - 1,
        "read_id": "read_5", "run_id": "", "sampling_rate": 4000.0, "start_time": 1005}
    np.testing.assert_array_equal(result["datasets"]["raw_data"], read["raw_data"])
    assert list(result["datasets"]) == ["raw_data"]


@pytest.mark.parametrize("key", REQUIRED)
def test_read_dict_missing_a_required_key_is_refused(key):
    assert convert(**{key: KeyError})[0] is False


@pytest.mark.parametrize("key,value", [
    ("read_tag", 2**32), ("read_tag", -1), ("read_tag", 1.0), ("read_tag", "1"), ("read_tag", np.int64(1)),
    ("raw_data", [1, 2, 3]), ("raw_data", np.zeros((2, 5), dtype=np.int16)),
    ("raw_data", np.zeros(5, dtype=np.int32)), ("raw_data", np.zeros(5, dtype=">i2")),
    ("raw_data", np.zeros(5, dtype=np.uint16)),
    ("read_id", ""), ("read_id", b"read"), ("read_id", 5),
    ("daq_offset", 4), ("daq_scaling", np.float32(0.5)), ("sampling_rate", 4000), ("sampling_rate", "4000.0"),
    ("start_time", 1.0), ("channel", 1.0), ("mux", "1"), ("run_id", b"run"), ("duration", 2.0),
])
def test_read_dict_value_of_wrong_type_or_range_is_refused(key, value):
    assert convert(**{key: value})[0] is False


@pytest.mark.parametrize("key,value", [
    ("read_tag", 2**63), ("start_time", -1), ("duration", -1), ("start_time", 2**64),
    ("channel", 2**31), ("channel", -2**31 - 1), ("mux", 2**31),
])
def test_read_dict_int_beyond_its_native_range_raises(key, value):
    with pytest.raises(RuntimeError):
        convert(**{key: value})


@pytest.mark.parametrize("tag,expected", [(2**32 - 1, 2**32 - 1), (0, 0), (True, 1)])
def test_read_tag_range_edges(tag, expected):
    filled, result = convert(read_tag=tag)
    assert filled and result["read_tag"] == expected


def test_float_subclass_is_a_float():
    assert convert(sampling_rate=np.float64(4000.0))[0] is True


def test_key_given_as_str_and_bytes_counts_once():
    read = make_read(5, samples=20)
    del read["start_time"]
    read[b"read_id"] = "again"
    assert probe.dict_to_read(read)[0] is False
    read = make_read(5, samples=20)
    read[b"read_id"] = "again"
    read[b"daq_offset"] = 1.0
    filled, result = probe.dict_to_read(read)
    assert filled and result["metadata"]["read_id"] == "again" and result["metadata"]["daq_offset"] == 1.0


def test_keys_as_bytes_alone_are_accepted():
    read = {key.encode(): value for key, value in make_read(5, samples=20).items()}
    assert probe.dict_to_read(read)[0] is True


def test_read_dict_key_that_is_not_text_raises():
    with pytest.raises(RuntimeError):
        probe.dict_to_read({**make_read(5, samples=20), 7: "x"})


@pytest.mark.parametrize("view", [
    lambda a: a[::2], lambda a: a[::-1], lambda a: a[3:17:3],
    lambda a: np.frombuffer(b"\0" + a.tobytes(), dtype=np.int16, offset=1),
    lambda a: a.reshape(4, 5)[:, 1],
])
def test_raw_data_view_is_copied_in_logical_order(view):
    base = np.arange(-10, 10, dtype=np.int16)
    samples = view(base)
    filled, result = convert(raw_data=samples)
    assert filled
    np.testing.assert_array_equal(result["datasets"]["raw_data"], samples)


def test_raw_data_subclass_and_empty_array_are_accepted():
    class Signal(np.ndarray):
        pass

    assert convert(raw_data=np.arange(4, dtype=np.int16).view(Signal))[0] is True
    filled, result = convert(raw_data=np.zeros(0, dtype=np.int16))
    assert filled and result["datasets"]["raw_data"].shape == (0,)
