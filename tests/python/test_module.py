"""What strandpy offers without a server: the sample-data conversions, the
enumerations, the alignment record type, parameters and the checks that
come before any library call."""

import os
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest

import strandpy
import strandpy_probe as probe
from conftest import make_read
from test_conversions import ALIGNMENT_COLUMNS

Strandlink = strandpy.Strandlink
NO_SERVER = "tcp://127.0.0.1:1"

# --- sample-data conversions ------------------------------------------------------

RAW_1000 = np.arange(1000, dtype=np.int16)
MEDIUM = Strandlink.read_priority.medium_priority


@pytest.mark.parametrize("function,expected", [
    (strandpy.test_metadata_to_dict,
     {"channel": 4, "daq_scaling": 2.700000047683716, "duration": 12000450138, "read_id": "Test read-id"}),
    (strandpy.test_datasets_to_dict, {"raw_data": RAW_1000, "sequence": "ACGTCGTGTT"}),
    (strandpy.test_dict_to_readholder,
     {"read_tag": 4294967286, "sub_tag": 0, "priority": MEDIUM,
      "metadata": {"daq_offset": 1.5, "daq_scaling": 2.5, "read_id": "test_read", "sampling_rate": 5.5,
                   "start_time": 6},
      "datasets": {"raw_data": np.arange(100, dtype=np.int16)}}),
    (strandpy.test_readholder_to_dict,
     {"read_tag": 4294967286, "sub_tag": 0, "priority": MEDIUM,
      "metadata": {"channel": 4, "daq_offset": 1.7999999523162842, "daq_scaling": 2.700000047683716,
                   "duration": 12000450138, "read_id": "Test read-id"},
      "datasets": {"raw_data": RAW_1000, "sequence": "ACGTCGTGTT"}}),
    (strandpy.test_config_details_to_dict,
     {"config_name": "test_config_filename.cfg", "duplex": False, "model_stride": 1,
      "model_type": "test_model_type", "model_version_id": "test_model_version_id"}),
])
def test_sample_conversion_gives_its_fixed_result(function, expected):
    assert_same(function(), expected)


def assert_same(actual, expected):
    """Equal values of equal types, dict keys in the same order, arrays of
    the same dtype and shape."""
    assert type(actual) is type(expected), (actual, expected)
    if isinstance(expected, dict):
        assert list(actual) == list(expected)
        for key in expected:
            assert_same(actual[key], expected[key])
    elif isinstance(expected, np.ndarray):
        assert actual.dtype == expected.dtype and actual.shape == expected.shape
        np.testing.assert_array_equal(actual, expected)
    else:
        assert actual == expected


@pytest.mark.parametrize("items,expected", [
    ([], (True, "")),
    ([""], (True, "")),
    (["KIT-BC24"], (True, "KIT-BC24")),
    (["KIT-BC24", "KIT-RB96"], (True, "KIT-BC24 KIT-RB96")),
    (["a b", "c"], (True, "a b c")),
    (["a", "", "b"], (True, "a  b")),
    (["", "a"], (True, "a")),
    (["a", 5, "b"], (False, "a")),
    ([b"a"], (False, "")),
])
def test_str_list_concat(items, expected):
    assert strandpy.test_str_list_concat(items) == expected


def test_str_list_concat_takes_only_a_list():
    with pytest.raises(TypeError):
        strandpy.test_str_list_concat(("a", "b"))


# --- enumerations and the alignment record ------------------------------------------

@pytest.mark.parametrize("enum,members", [
    (Strandlink.status, ["disconnected", "preparing_connection", "loading_config", "loading_alignment_index",
                         "loading_bed_file", "connecting", "connected", "error_state"]),
    (Strandlink.result, ["success", "no_connection", "already_connected", "not_ready", "timed_out",
                         "invalid_response", "basecall_config_unavailable", "barcode_kit_unavailable",
                         "align_index_unavailable", "bed_file_unavailable", "file_load_timeout", "failed",
                         "bad_request", "bad_reply", "invalid_aligner_options"]),
    (Strandlink.pass_read_result, ["read_accepted", "not_accepting_reads", "queue_full", "bad_read"]),
    (Strandlink.read_priority, ["high_priority", "medium_priority", "low_priority"]),
])
def test_enumeration_members_values_and_class_exports(enum, members):
    assert list(enum.__members__) == members
    for value, name in enumerate(members):
        member = getattr(enum, name)
        assert int(member) == value and member.name == name
        assert getattr(Strandlink, name) is member


def test_enumerations_compare_by_member_not_across_types():
    assert Strandlink.status.error_state == Strandlink.error_state
    assert int(Strandlink.result.failed) == 11
    assert Strandlink.result.success != Strandlink.pass_read_result.read_accepted


ALIGN_FIELDS = [
    ("genome", "|S254", 0), ("direction", "|S2", 254), ("genome_start", "<i4", 256), ("genome_end", "<i4", 260),
    ("strand_start", "<i4", 264), ("strand_end", "<i4", 268), ("num_events", "<i4", 272),
    ("num_insertions", "<i4", 276), ("num_deletions", "<i4", 280), ("num_aligned", "<i4", 284),
    ("num_correct", "<i4", 288), ("coverage", "<f4", 292), ("identity", "<f4", 296), ("accuracy", "<f4", 300),
    ("score", "<i4", 304), ("bed_hits", "<i4", 308), ("mapping_quality", "<i4", 312),
    ("secondary_alignment", "|u1", 316), ("supplementary_alignment", "|u1", 317)]


def test_align_results_dtype_layout():
    array, _ = probe.table_to_array(ALIGNMENT_COLUMNS, 1, b"")
    dtype = array.dtype
    assert dtype.itemsize == 320
    assert [(name, dtype.fields[name][0].str, dtype.fields[name][1]) for name in dtype.names] == ALIGN_FIELDS


# --- the object without a connection ------------------------------------------------

@pytest.mark.parametrize("num_threads", [0, 101, -1, 2**31 - 1])
def test_constructor_refuses_client_counts_outside_1_to_100(num_threads):
    with pytest.raises(RuntimeError, match=r"^Invalid number of worker threads specified\.$"):
        Strandlink(NO_SERVER, "signal_model_hac", num_threads)


@pytest.mark.parametrize("args", [(NO_SERVER, "cfg", 2.0), (NO_SERVER, 5), (NO_SERVER, "cfg", 2**31)])
def test_constructor_refuses_arguments_of_wrong_type(args):
    with pytest.raises(TypeError):
        Strandlink(*args)


def test_new_object_state_and_repr():
    obj = Strandlink(NO_SERVER, b"signal_model_hac", num_threads=2)
    assert obj.get_status() == Strandlink.disconnected
    assert obj.get_error_message() == ""
    assert repr(obj) == "Strandlink(status=disconnected)\nStrandlink(status=disconnected)"
    assert obj.get_completed_reads() == []
    assert obj.get_basecalling_config() == ({}, Strandlink.no_connection)
    assert obj.get_alignment_sam_header() == ("", Strandlink.no_connection)
    assert obj.finish() == Strandlink.no_connection
    assert obj.disconnect() == Strandlink.no_connection


def test_hundred_clients():
    obj = Strandlink(NO_SERVER, "signal_model_hac", 100)
    assert repr(obj).count("\n") == 99


def test_internal_state_joins_every_client_state():
    one = Strandlink(NO_SERVER, "signal_model_hac").get_internal_state()
    three = Strandlink(NO_SERVER, "signal_model_hac", 3).get_internal_state()
    assert one and three.count("\n") >= 2


@pytest.mark.parametrize("call", ["pass_read", "pass_reads"])
def test_bad_read_is_refused_before_the_wait_is_looked_at(call):
    obj = Strandlink(NO_SERVER, "signal_model_hac")
    bad = dict(make_read(1), read_id="")
    arg = bad if call == "pass_read" else [make_read(2), bad]
    assert getattr(obj, call)(arg, -1) == Strandlink.bad_read
    good = make_read(3) if call == "pass_read" else [make_read(3)]
    with pytest.raises(ValueError, match=r"^wait_duration_ms\. Must be greater than or equal to zero\.$"):
        getattr(obj, call)(good, -1)
    # Without a connection the library takes no read.
    assert getattr(obj, call)(good, 0) == Strandlink.not_accepting_reads


def test_pass_reads_turns_items_into_dicts_and_raises_their_errors():
    obj = Strandlink(NO_SERVER, "signal_model_hac")
    assert obj.pass_reads([list(make_read(1).items())]) == Strandlink.not_accepting_reads
    with pytest.raises(TypeError):
        obj.pass_reads([5])
    with pytest.raises(TypeError):
        obj.pass_read([("read_tag", 1)])


def test_pass_reads_survives_an_item_that_empties_the_list():
    # Turning a non-dict item into a dict runs the caller's keys(), which
    # here empties the list and frees every dict in it.
    obj = Strandlink(NO_SERVER, "signal_model_hac")
    reads = []

    class Emptying:
        def keys(self):
            reads.clear()
            return list(make_read(1))

        def __getitem__(self, key):
            return make_read(1)[key]

    reads.extend([Emptying()] + [make_read(tag) for tag in range(2, 50)])
    assert obj.pass_reads(reads) == Strandlink.not_accepting_reads
    assert reads == []


def test_texts_not_utf8_come_out_with_replacement_characters():
    obj = Strandlink(NO_SERVER, b"bad\xffconfig")
    assert repr(obj) == "Strandlink(status=disconnected)"
    assert obj.get_error_message() == ""
    assert "bad\ufffdconfig" in obj.get_internal_state()


def test_finish_refuses_negative_timeout():
    obj = Strandlink(NO_SERVER, "signal_model_hac")
    with pytest.raises(RuntimeError, match=r"^Negative timeout specified for finish\(\) method\.$"):
        obj.finish(-1)


# --- parameters --------------------------------------------------------------------

@pytest.mark.parametrize("params,expected", [
    ({}, "success"),
    ({"client_name": "python tests", "query_timeout": 5000}, "success"),
    ({b"client_name": "bytes key"}, "success"),
    ({"barcode_kits": ["KIT-BC24", "KIT-RB96"]}, "success"),
    ({"align_ref": 5}, "success"),
    ({"move_enabled": 1, "trim_adapters": None, "estimate_poly_a": 0.0}, "success"),
    ({"priority": Strandlink.read_priority.high_priority}, "success"),
    ({"minimap_opt_string": "-k 15", "chunk_size": 2**64 - 1, "max_message_size": 4000}, "success"),
    ({"barcode_kits": ["KIT-BC24", 1]}, "failed"),
    ({"query_timeout": -1}, "failed"),
    ({"query_timeout": 2**32}, "failed"),
    ({"query_timeout": 1.5}, "failed"),
    ({"max_reads_queued": 2**64}, "failed"),
    ({"move_enabled": "yes"}, "failed"),
    ({"priority": 0}, "failed"),
    ({"priority": "high_priority"}, "failed"),
    ({"priority": None}, "failed"),
    ({"not_an_option": 1}, "failed"),
    ({"client_name": "x", "not_an_option": 1}, "failed"),
    ({1: 2}, "failed"),
])
def test_set_params_result(params, expected):
    obj = Strandlink(NO_SERVER, "signal_model_hac", 2)
    assert obj.set_params(params) == getattr(Strandlink, expected)


def test_set_params_takes_only_a_dict():
    with pytest.raises(TypeError):
        Strandlink(NO_SERVER, "signal_model_hac").set_params([("client_name", "x")])


class Index:
    def __index__(self):
        return 7


@pytest.mark.parametrize("native,value,stored", [
    ("string", "text", ("string", "text")),
    ("string", ["a", "b"], ("string", "a b")),
    ("string", [], ("string", "")),
    ("string", 5, ("string", "")),
    ("string", b"raw", ("string", "")),
    ("string", ("a", "b"), ("string", "")),
    ("bool", True, ("bool", True)),
    ("bool", 1, ("bool", True)),
    ("bool", 0.0, ("bool", False)),
    ("bool", None, ("bool", False)),
    ("uint32", 2**32 - 1, ("uint32", 2**32 - 1)),
    ("uint32", True, ("uint32", 1)),
    ("uint32", Index(), ("uint32", 7)),
    ("uint32", np.int64(9), ("uint32", 9)),
    ("uint64", 2**64 - 1, ("uint64", 2**64 - 1)),
    ("int32", -2**31, ("int32", -2**31)),
    ("int64", -2**63, ("int64", -2**63)),
    ("float", 2.7, ("float", 2.700000047683716)),
    ("float", 3, ("float", 3.0)),
    ("double", 1e300, ("double", 1e300)),
    ("uint8", 1, (None, None)),
])
def test_option_value_is_stored_with_its_native_type(native, value, stored):
    assert probe.option_value_to_metadata("option", value, native) == stored


@pytest.mark.parametrize("native,value", [
    ("string", ["a", 1]),
    ("bool", "yes"), ("bool", [1]),
    ("uint32", -1), ("uint32", 2**32), ("uint32", 1.5), ("uint32", "5"),
    ("uint64", -1), ("uint64", 2**64),
    ("int32", 2**31), ("int64", 2**63),
    ("float", "1.5"), ("double", None),
])
def test_option_value_that_does_not_convert_raises(native, value):
    with pytest.raises((RuntimeError, TypeError)):
        probe.option_value_to_metadata("option", value, native)


@pytest.mark.parametrize("name,native", [
    ("client_name", "string"), ("query_timeout", "uint32"), ("pass_read_timeout", "uint32"),
    ("server_file_load_timeout", "uint32"), ("connection_timeout", "uint32"), ("reconnect_timeout", "uint32"),
    ("max_reads_queued", "uint64"), ("max_message_size", "uint64"), ("max_server_read_failures", "uint64"),
    ("priority", None), ("barcode_kits", None),
])
def test_connection_option_types(name, native):
    assert probe.connection_option_type(name) == native


# --- loading --------------------------------------------------------------------------

def import_with(interpreter, path):
    env = {key: value for key, value in os.environ.items() if key not in ("LD_LIBRARY_PATH", "PYTHONHOME")}
    env["PYTHONPATH"] = str(path)
    return subprocess.run([interpreter, "-c", "import strandpy; print(strandpy.Strandlink.get_protocol_version())"],
                          env=env, capture_output=True, text=True, cwd="/")


def build_tree():
    tree = pathlib.Path(strandpy.__file__).resolve().parents[1]
    if not (tree / "CMakeCache.txt").exists():
        pytest.skip("strandpy does not come from a build tree")
    return tree


def test_installed_module_finds_the_library_through_its_run_path(tmp_path):
    tree = build_tree()
    subprocess.run(["cmake", "--install", str(tree), "--prefix", str(tmp_path)], check=True, capture_output=True)
    [module] = tmp_path.glob("lib/python3.11/site-packages/strandpy.*.so")
    loaded = import_with(sys.executable, module.parent)
    assert loaded.returncode == 0, loaded.stderr
    assert loaded.stdout.strip() == "(21, 0, 0)"


def test_import_under_another_interpreter_fails_with_import_error():
    others = {shutil.which(name) for name in ("python3", "python3.12", "python3.13", "python")} - {None}
    others = [path for path in others if pathlib.Path(path).resolve() != pathlib.Path(sys.executable).resolve()]
    if not others:
        pytest.skip("no other interpreter on PATH")
    checked = 0
    for interpreter in others:
        env = dict(os.environ, PYTHONPATH=str(pathlib.Path(strandpy.__file__).parent))
        runs = subprocess.run([interpreter, "-c", "pass"], env=env, capture_output=True).returncode == 0
        has_numpy = subprocess.run([interpreter, "-c", "import numpy"], env=env, capture_output=True).returncode == 0
        if not runs or has_numpy:
            continue  # not usable, or one with numpy of the same version that may load it legitimately
        result = subprocess.run(
            [interpreter, "-c", "try:\n import strandpy\nexcept ImportError:\n print('ImportError')"],
            env=env, capture_output=True, text=True, cwd="/")
        assert result.stdout.strip() == "ImportError", (interpreter, result.stdout, result.stderr)
        checked += 1
    if not checked:
        pytest.skip("no other usable interpreter without numpy on PATH")
