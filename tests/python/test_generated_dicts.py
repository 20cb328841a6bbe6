"""Generated dicts of every shape and type through the read and parameter
conversions of strandpy: whatever a Python program hands over is refused
with bad_read, a result code or a Python exception, and never crashes the
interpreter. Runs without a server: a read that converts is then refused as
not accepted, and parameters go to disconnected clients."""

import os

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from hypothesis.extra import numpy as hnp  # noqa: E402

import strandpy  # noqa: E402
from conftest import make_read  # noqa: E402

Strandlink = strandpy.Strandlink
NO_SERVER = "tcp://127.0.0.1:1"

# Bounded so the whole file stays within seconds of the test run (a longer
# run on demand: STRANDLINK_GENERATED_EXAMPLES=20000); derandomized so a
# failure shows again on the next run, and nothing is stored between runs.
EXAMPLES = int(os.environ.get("STRANDLINK_GENERATED_EXAMPLES", "150"))
BOUNDED = settings(max_examples=EXAMPLES, deadline=None, derandomize=True, database=None,
                   suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

# The keys the conversions look for, and some they do not.
READ_KEYS = ["read_tag", "read_id", "raw_data", "daq_offset", "daq_scaling", "sampling_rate", "start_time",
             "duration", "priority", "sub_tag", "metadata", "datasets", "strand_id", "channel", "mux",
             "sequence", "qstring", "movement", "base_mod_probs", "align_results", "run_id",
             "num_sequor_events", "read_number", "filename", "time_stamp"]
PARAM_KEYS = ["client_name", "query_timeout", "pass_read_timeout", "server_file_load_timeout",
              "connection_timeout", "reconnect_timeout", "max_reads_queued", "max_message_size",
              "max_server_read_failures", "priority", "barcode_kits", "require_barcodes_both_ends",
              "enable_trim_barcodes", "trim_adapters", "trim_primers", "align_ref", "bed_file",
              "minimap_opt_string", "move_enabled", "barcode_list", "pair_by_channel", "chunk_size",
              "estimate_poly_a", "poly_a_config"]

DTYPES = st.sampled_from([np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64,
                          np.float32, np.float64, np.bool_, np.complex64, "U3", "S2", object,
                          np.dtype([("Genome", "S254"), ("x", "<i4")])])


def arrays():
    """numpy arrays of any type and 0 to 3 dimensions, some of them views
    that skip elements or run backwards."""
    plain = DTYPES.flatmap(lambda dtype: hnp.arrays(
        dtype=dtype, shape=hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=6),
        elements=None if np.dtype(dtype) != np.dtype(object) else st.integers()))
    return st.one_of(plain, plain.map(lambda a: a[::-1] if a.ndim else a),
                     plain.map(lambda a: a[::2] if a.ndim else a),
                     plain.map(lambda a: a.T))


SCALARS = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(min_value=-2**70, max_value=2**70),
    st.floats(allow_nan=True, allow_infinity=True), st.text(max_size=20), st.binary(max_size=20),
    st.sampled_from([np.int16(3), np.uint64(2**64 - 1), np.float32("nan"), np.bool_(True),
                     Strandlink.read_priority.medium_priority]))

VALUES = st.recursive(
    st.one_of(SCALARS, arrays()),
    lambda children: st.one_of(st.lists(children, max_size=4), st.tuples(children, children),
                               st.dictionaries(st.one_of(st.text(max_size=8), st.integers()), children,
                                               max_size=4)),
    max_leaves=8)


def dicts(keys):
    """Dicts over the given keys (with any values) and some other keys,
    not always of text."""
    known = st.dictionaries(st.sampled_from(keys), VALUES, max_size=len(keys))
    other = st.dictionaries(st.one_of(st.text(max_size=10), st.integers(), st.binary(max_size=4)), VALUES,
                            max_size=3)
    return st.builds(lambda a, b: {**b, **a}, known, other)


def altered_reads():
    """A valid read with some values replaced by values of any type, or some
    keys removed: closer to what a program really passes than any dict."""
    return st.builds(lambda tag, changes, drop: {**{k: v for k, v in make_read(tag, 200).items() if k not in drop},
                                                 **changes},
                     st.integers(min_value=0, max_value=2**64 - 1), st.dictionaries(st.sampled_from(READ_KEYS),
                                                                                    VALUES, max_size=3),
                     st.sets(st.sampled_from(list(make_read(1).keys())), max_size=2))


@pytest.fixture(scope="module")
def client():
    return Strandlink(NO_SERVER, "signal_model_hac")


def pass_read_outcome(client, read):
    try:
        result = client.pass_read(read)
    except Exception as e:  # a Python exception is a sound refusal
        return type(e)
    assert isinstance(result, type(Strandlink.bad_read))
    return result


@BOUNDED
@given(read=st.one_of(dicts(READ_KEYS), altered_reads()))
def test_generated_read_dicts_are_refused_or_taken_never_crash(client, read):
    pass_read_outcome(client, read)


@BOUNDED
@given(reads=st.lists(st.one_of(altered_reads(), dicts(READ_KEYS), VALUES), max_size=4))
def test_generated_read_lists_are_refused_or_taken_never_crash(client, reads):
    try:
        result = client.pass_reads(reads)
    except Exception:
        return
    assert isinstance(result, type(Strandlink.bad_read))


@BOUNDED
@given(params=dicts(PARAM_KEYS))
def test_generated_parameter_dicts_give_a_result_or_an_exception(params):
    obj = Strandlink(NO_SERVER, "signal_model_hac")
    try:
        result = obj.set_params(params)
    except Exception:
        return
    assert isinstance(result, type(Strandlink.result.success))
