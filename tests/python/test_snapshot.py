"""Snapshots: to_bytes and from_bytes, the byte layout, decode errors, and
tries restored from snapshots that break the usual invariants."""

import re
import time

import pytest
from hypothesis import HealthCheck, assume, given, settings, strategies as st

from _quorvatel import PrefixSearch

from conftest import build_from_terms
from snapshot_format import encode as snapshot, varint

INDEX_OUT_OF_BOUNDS = re.compile(r"index out of bounds: the len is \d+ but the index is \d+")


# ---------------------------------------------------------------- the shared writer


def test_writer_forms():
    assert [varint(v).hex() for v in (0, 250, 251, 1000, 65535, 65536, 4294967295, 4294967296)] == [
        "00",
        "fa",
        "fbfb00",
        "fbe803",
        "fbffff",
        "fc00000100",
        "fcffffffff",
        "fd0000000001000000",
    ]


# ---------------------------------------------------------------- known snapshots

E_ACUTE = bytes.fromhex(
    "020001"  # node_shifts [0, 1]
    "0200c3a9"  # child_labels [U+0000, U+00E9]
    "0101"  # child_transitions [1]
    "02" "010301000103" "010301000103"  # payloads, both (3, [0], [3])
    "00"  # video_uuids
    "01fbe803"  # video_int_ids [1000]
    "01"  # id_mode Int32
    "020001"  # terminal_flags [false, true]
)

AB_AC = bytes.fromhex(
    "0400010303"
    "0400616263"
    "03010203"
    "04"
    "0108020001020602"
    "0108020001020602"
    "010501000105"
    "0103020100020201"
    "00"
    "020102"
    "01"
    "0400000101"
)


def test_e_acute_snapshot_layout():
    assert len(E_ACUTE) == 31
    assert E_ACUTE[27] == 0x01  # the id_mode byte
    assert E_ACUTE == snapshot([0, 1], "\0é", [1], [(3, [0], [3])] * 2, (), [1000], 1, [0, 1])


def test_e_acute_snapshot_loads_and_re_encodes():
    t = PrefixSearch.from_bytes(E_ACUTE)
    assert t.to_bytes() == E_ACUTE
    assert t.fuzzy_match("é", 0) == [("é", 1, 0)]
    assert t.fuzzy_match("e") == [("é", 1, 1)]
    assert t.fuzzy_match("") == [("é", 1, 1)]
    assert t.fuzzy_match("e", 0) == []
    assert t.fuzzy_match_video("é") == [("1000", 1.0)]
    assert t.fuzzy_match_video("é", include_prefix_nodes=True) == [("1000", 1.0)]


def test_e_acute_snapshot_is_what_the_builder_writes():
    built = PrefixSearch.from_internal_data_v2([0, 1], ["", "é"], [None, (3, [0], [3])], [1], [b"\xe8\x03\0\0"], 1)
    assert built.to_bytes() == E_ACUTE


def test_e_acute_snapshot_in_uuid_mode():
    uuid = bytes(range(0xA0, 0xB0))
    data = snapshot([0, 1], "\0é", [1], [(3, [0], [3])] * 2, [uuid], (), 0, [0, 1])
    assert data == E_ACUTE[:22] + b"\x01" + uuid + b"\x00" + b"\x00" + E_ACUTE[28:]
    t = PrefixSearch.from_bytes(data)
    assert t.to_bytes() == data
    assert t.fuzzy_match_video("é") == [("a0a1a2a3-a4a5-a6a7-a8a9-aaabacadaeaf", 1.0)]
    built = PrefixSearch.from_internal_data_v2([0, 1], ["", "é"], [None, (3, [0], [3])], [1], [uuid], 1)
    assert built.to_bytes() == data


def test_ab_ac_snapshot_is_the_built_trie(ab_ac):
    assert len(AB_AC) == 55
    assert ab_ac.to_bytes() == AB_AC
    loaded = PrefixSearch.from_bytes(AB_AC)
    assert loaded.to_bytes() == AB_AC
    assert loaded.fuzzy_match("ab") == [("ab", 1, 0), ("ac", 1, 1)]
    assert loaded.fuzzy_match_video("ab") == [("1", 0.9901477832512315)]
    assert loaded.fuzzy_match_video("ab", include_prefix_nodes=True) == [
        ("1", 0.9823641563393709),
        ("2", 0.01763584366062917),
    ]


def test_loading_does_not_propagate_again():
    # a root payload that disagrees with its child is kept as stored
    data = snapshot([0, 1], "\0a", [1], [(100, [1], [100]), (3, [0], [3])], (), [10, 20], 1, [0, 1])
    t = PrefixSearch.from_bytes(data)
    assert t.to_bytes() == data
    assert t.fuzzy_match_video("a", 0) == [("10", 1.0)]


def test_to_bytes_is_stable(ab_ac):
    assert ab_ac.to_bytes() == ab_ac.to_bytes() == PrefixSearch.from_bytes(ab_ac.to_bytes()).to_bytes()


@pytest.mark.parametrize("tail", [b"\xff\xff", b"\x00", b"\xfe" * 100, E_ACUTE])
def test_trailing_bytes_are_ignored(tail):
    t = PrefixSearch.from_bytes(E_ACUTE + tail)
    assert t.to_bytes() == E_ACUTE
    assert t.fuzzy_match("é", 0) == [("é", 1, 0)]


def test_the_argument_is_not_changed():
    data = bytes(E_ACUTE)
    PrefixSearch.from_bytes(data).to_bytes()
    assert data == E_ACUTE


# ---------------------------------------------------------------- inputs that decode

LOADS = [
    pytest.param(bytes(8), bytes(8), id="eight-zeros-empty-trie"),
    pytest.param(bytes.fromhex("fb0000") + bytes(7), bytes(8), id="non-shortest-length"),
    pytest.param(bytes.fromhex("fd0000000000000000") + bytes(7), bytes(8), id="length-with-marker-253"),
    pytest.param(bytes(6) + bytes.fromhex("fb0000") + bytes(1), bytes(8), id="id_mode-non-shortest"),
    pytest.param(E_ACUTE[:27] + bytes.fromhex("fb0100") + E_ACUTE[28:], E_ACUTE, id="id_mode-fb-01-00"),
    pytest.param(E_ACUTE[:27] + bytes.fromhex("fc01000000") + E_ACUTE[28:], E_ACUTE, id="id_mode-fc"),
    pytest.param(
        bytes.fromhex("02" "fb0000" "fc01000000") + E_ACUTE[3:], E_ACUTE, id="node_shifts-non-shortest"
    ),
    pytest.param(
        E_ACUTE[:24] + bytes.fromhex("fce8030000") + E_ACUTE[27:], E_ACUTE, id="int-id-non-shortest"
    ),
    pytest.param(
        snapshot([4294967295], "\0", [], [None], (), [4294967295], 1, [1]),
        snapshot([4294967295], "\0", [], [None], (), [4294967295], 1, [1]),
        id="u32-max-values",
    ),
    pytest.param(bytes(4) + b"\x01" + bytes(16) + bytes(3), bytes(4) + b"\x01" + bytes(16) + bytes(3), id="one-uuid"),
    pytest.param(
        snapshot(labels="\0\U0010ffff\U00010000\u0800\u07ff\x7f"),
        snapshot(labels="\0\U0010ffff\U00010000\u0800\u07ff\x7f"),
        id="character-boundaries",
    ),
]


@pytest.mark.parametrize("data,canonical", LOADS)
def test_inputs_that_load(data, canonical):
    t = PrefixSearch.from_bytes(data)
    assert t.to_bytes() == canonical


def test_empty_snapshot_queries():
    t = PrefixSearch.from_bytes(bytes(8))
    assert t.fuzzy_match("") == []
    assert t.fuzzy_match("abc", 5) == []
    assert t.fuzzy_match_video("a", include_prefix_nodes=True) == []


# ---------------------------------------------------------------- decode errors

OPTION_PAYLOAD = "core::option::Option<quorvatel::payload::Payload>"


def end(n):
    return f"decode error: UnexpectedEnd {{ additional: {n} }}"


def int_type(expected, found):
    return f"decode error: InvalidIntegerType {{ expected: {expected}, found: {found} }}"


def variant(type_name, found):
    return f'decode error: UnexpectedVariant {{ type_name: "{type_name}", allowed: Range {{ min: 0, max: 1 }}, found: {found} }}'


def char(*bs):
    return f"decode error: InvalidCharEncoding([{', '.join(str(b) for b in bs)}])"


def h(text):
    return bytes.fromhex(text)


DECODE_ERRORS = [
    pytest.param(b"", end(1), id="empty"),
    pytest.param(E_ACUTE[:30], end(1), id="e-acute-cut-to-30"),
    pytest.param(E_ACUTE[:28], end(1), id="cut-before-flags-length"),
    pytest.param(E_ACUTE[:27], end(1), id="cut-before-id_mode"),
    pytest.param(E_ACUTE[:25], end(2), id="cut-inside-int-id-after-marker"),
    pytest.param(E_ACUTE[:26], end(1), id="cut-inside-int-id"),
    pytest.param(E_ACUTE[:6], end(1), id="cut-inside-label"),
    pytest.param(E_ACUTE[:27] + b"\x02" + E_ACUTE[28:], variant("IdMode", 2), id="id_mode-2"),
    pytest.param(bytes(6) + h("fb0200") + b"\x00", variant("IdMode", 2), id="id_mode-fb-02-00"),
    pytest.param(bytes(6) + h("fcffffffff") + b"\x00", variant("IdMode", 4294967295), id="id_mode-u32-max"),
    pytest.param(bytes(6) + h("fa"), variant("IdMode", 250), id="id_mode-250"),
    pytest.param(bytes(6) + h("fd0100000000000000") + b"\x00", int_type("U32", "U64"), id="id_mode-marker-253"),
    pytest.param(bytes(6) + h("fd"), int_type("U32", "U64"), id="id_mode-marker-253-at-end"),
    pytest.param(bytes(6) + h("fe"), int_type("U32", "U128"), id="id_mode-marker-254"),
    pytest.param(bytes(6) + h("ff"), int_type("U32", "Reserved"), id="id_mode-marker-255"),
    pytest.param(bytes(6) + h("fb01"), end(1), id="id_mode-cut"),
    pytest.param(b"\xff", int_type("U64", "Reserved"), id="length-ff"),
    pytest.param(b"\xfe", int_type("U64", "U128"), id="length-fe"),
    pytest.param(b"\xfe" + bytes(40), int_type("U64", "U128"), id="length-fe-with-bytes-after"),
    pytest.param(b"\xff" + bytes(40), int_type("U64", "Reserved"), id="length-ff-with-bytes-after"),
    pytest.param(h("fd0100"), end(6), id="length-fd-cut"),
    pytest.param(h("fd"), end(8), id="length-fd-alone"),
    pytest.param(h("fd01000000000000"), end(1), id="length-fd-one-short"),
    pytest.param(h("fb"), end(2), id="length-fb-alone"),
    pytest.param(h("fc0000"), end(2), id="length-fc-cut"),
    pytest.param(h("01fb01"), end(1), id="u32-fb-cut"),
    pytest.param(h("01fc01"), end(3), id="u32-fc-cut"),
    pytest.param(h("01fc"), end(4), id="u32-fc-alone"),
    pytest.param(h("01"), end(1), id="u32-missing"),
    pytest.param(h("01fd"), int_type("U32", "U64"), id="u32-marker-253-at-end"),
    pytest.param(h("01fd0100000000000000"), int_type("U32", "U64"), id="u32-marker-253"),
    pytest.param(h("01fe"), int_type("U32", "U128"), id="u32-marker-254"),
    pytest.param(h("01ff") + bytes(20), int_type("U32", "Reserved"), id="u32-marker-255"),
    pytest.param(bytes(5) + h("01fd0100000000000000") + bytes(2), int_type("U32", "U64"), id="int-id-marker-253"),
    pytest.param(h("0000") + h("01fe"), int_type("U32", "U128"), id="edge-marker-254"),
    pytest.param(bytes(5) + h("ff"), int_type("U64", "Reserved"), id="int-ids-length-ff"),
    # characters
    pytest.param(h("000180"), char(128, 0, 0, 0), id="char-continuation-lead"),
    pytest.param(h("0001bf"), char(191, 0, 0, 0), id="char-bf-lead"),
    pytest.param(h("0001c0af"), char(192, 0, 0, 0), id="char-c0-lead"),
    pytest.param(h("0001c180"), char(193, 0, 0, 0), id="char-c1-lead"),
    pytest.param(h("0001f5808080"), char(245, 0, 0, 0), id="char-f5-lead"),
    pytest.param(h("0001ff"), char(255, 0, 0, 0), id="char-ff-lead"),
    pytest.param(h("0001c3"), end(1), id="char-2-cut"),
    pytest.param(h("0001e2"), end(2), id="char-3-cut-2"),
    pytest.param(h("0001e282"), end(1), id="char-3-cut-1"),
    pytest.param(h("0001f09f"), end(2), id="char-4-cut-2"),
    pytest.param(h("0001f0"), end(3), id="char-4-cut-3"),
    pytest.param(h("0001f09f98"), end(1), id="char-4-cut-1"),
    pytest.param(h("0001eda080"), char(237, 160, 128, 0), id="char-surrogate"),
    pytest.param(h("0001edbfbf"), char(237, 191, 191, 0), id="char-last-surrogate"),
    pytest.param(h("0001e08080"), char(224, 128, 128, 0), id="char-overlong-3"),
    pytest.param(h("0001e09fbf"), char(224, 159, 191, 0), id="char-overlong-3-top"),
    pytest.param(h("0001f0808080"), char(240, 128, 128, 128), id="char-overlong-4"),
    pytest.param(h("0001f08fbfbf"), char(240, 143, 191, 191), id="char-overlong-4-top"),
    pytest.param(h("0001f4908080"), char(244, 144, 128, 128), id="char-above-10ffff"),
    pytest.param(h("0001c328"), char(195, 40, 0, 0), id="char-bad-continuation"),
    pytest.param(h("0001c3c3"), char(195, 195, 0, 0), id="char-lead-as-continuation"),
    pytest.param(h("0001e228a1"), char(226, 40, 161, 0), id="char-3-bad-second"),
    pytest.param(h("0001e282ff"), char(226, 130, 255, 0), id="char-3-bad-third"),
    pytest.param(h("0001f09f98ff"), char(240, 159, 152, 255), id="char-4-bad-fourth"),
    pytest.param(h("0002") + "a".encode() + h("80"), char(128, 0, 0, 0), id="char-second-label"),
    # ids
    pytest.param(h("0000000001aabbccddee"), end(11), id="uuid-cut-5"),
    pytest.param(h("0000000001"), end(16), id="uuid-missing"),
    pytest.param(h("0000000002") + bytes(16 + 15), end(1), id="second-uuid-cut-15"),
    # payloads
    pytest.param(h("0000000102"), variant(OPTION_PAYLOAD, 2), id="payload-tag-2"),
    pytest.param(h("00000001ff"), variant(OPTION_PAYLOAD, 255), id="payload-tag-255"),
    pytest.param(h("00000002") + h("00") + h("fb"), variant(OPTION_PAYLOAD, 251), id="payload-tag-is-a-byte"),
    pytest.param(h("00000001"), end(1), id="payload-tag-missing"),
    pytest.param(h("0000000101"), end(1), id="payload-count-missing"),
    pytest.param(h("0000000101fd"), int_type("U32", "U64"), id="payload-count-marker-253"),
    pytest.param(h("000000010105"), end(1), id="payload-ids-length-missing"),
    pytest.param(h("000000010105fe"), int_type("U64", "U128"), id="payload-ids-length-fe"),
    pytest.param(h("00000001010501"), end(1), id="payload-id-missing"),
    pytest.param(h("0000000101050100"), end(1), id="payload-counts-length-missing"),
    pytest.param(h("000000010105010001fd"), int_type("U32", "U64"), id="payload-count-item-marker-253"),
    # flags
    pytest.param(bytes(7) + h("0102"), "decode error: InvalidBooleanValue(2)", id="flag-2"),
    pytest.param(bytes(7) + h("04000001ff"), "decode error: InvalidBooleanValue(255)", id="flag-255-fourth"),
    # a wrong flag is reported before the end of the input that follows it
    pytest.param(bytes(7) + h("0302"), "decode error: InvalidBooleanValue(2)", id="flag-2-then-end"),
    pytest.param(bytes(7) + h("fd0000000000000001" "0001ff"), "decode error: InvalidBooleanValue(255)",
                 id="flag-255-then-end-of-a-huge-count"),
    pytest.param(bytes(7) + h("01"), end(1), id="flag-missing"),
    pytest.param(bytes(7), end(1), id="flags-length-missing"),
    pytest.param(bytes(7) + h("fe"), int_type("U64", "U128"), id="flags-length-fe"),
]


@pytest.mark.parametrize("data,message", DECODE_ERRORS)
def test_decode_errors(data, message):
    with pytest.raises(ValueError) as info:
        PrefixSearch.from_bytes(data)
    assert type(info.value) is ValueError
    assert str(info.value) == message


def test_every_cut_of_a_snapshot_fails_cleanly():
    for data in (E_ACUTE, AB_AC):
        for cut in range(len(data)):
            with pytest.raises(ValueError, match=r"^decode error: UnexpectedEnd \{ additional: \d+ \}$"):
                PrefixSearch.from_bytes(data[:cut])


# ---------------------------------------------------------------- declared counts beyond the input

MAX64 = "fdffffffffffffffff"

HUGE_COUNTS = [
    pytest.param(h(MAX64), end(1), id="node_shifts"),
    pytest.param(h("fd0000000000000040"), end(1), id="node_shifts-2**62"),
    pytest.param(h("fcffffffff") + bytes(100000), end(1), id="node_shifts-reads-all-then-ends"),
    pytest.param(h("00" + MAX64), end(1), id="child_labels"),
    pytest.param(h("00" + MAX64) + b"a" * 1000 + h("c3"), end(1), id="child_labels-cut-character"),
    pytest.param(h("0000" + MAX64), end(1), id="child_transitions"),
    pytest.param(h("000000" + MAX64), end(1), id="payloads"),
    pytest.param(h("000000" + MAX64) + bytes(5000), end(1), id="payloads-absent-then-ends"),
    pytest.param(h("000000010105" + MAX64), end(1), id="video_ids"),
    pytest.param(h("00000001010500" + MAX64), end(1), id="video_counts"),
    pytest.param(h("00000000" + MAX64) + bytes(5), end(11), id="video_uuids"),
    pytest.param(h("00000000" + "fd0000000000000010") + bytes(5), end(11), id="video_uuids-2**60"),
    pytest.param(h("00000000" + "fd0000000000000040"), end(16), id="video_uuids-2**62"),
    pytest.param(h("0000000000" + MAX64), end(1), id="video_int_ids"),
    pytest.param(h("00000000000000" + MAX64), end(1), id="terminal_flags"),
    pytest.param(h("00000000000000" + MAX64) + h("01") * 10000, end(1), id="terminal_flags-many"),
    pytest.param(h("000000000000" + MAX64), int_type("U32", "U64"), id="id_mode-is-not-a-length"),
]


@pytest.mark.parametrize("data,message", HUGE_COUNTS)
def test_huge_declared_counts_end_quickly(data, message):
    start = time.perf_counter()
    with pytest.raises(ValueError) as info:
        PrefixSearch.from_bytes(data)
    assert time.perf_counter() - start < 1.0
    assert str(info.value) == message


# ---------------------------------------------------------------- snapshots that break the invariants

P = (3, [0], [3])

BROKEN = [
    pytest.param(snapshot([0, 1], "\0a", [5], [P, P], (), [7], 1, [0, 1]), id="child-past-node-arrays"),
    pytest.param(snapshot([0, 1], "\0a", [4294967295], [P, P], (), [7], 1, [0, 1]), id="child-u32-max"),
    pytest.param(snapshot([0], "\0a", [1], [P, P], (), [7], 1, [0, 1]), id="node_shifts-shorter-than-labels"),
    pytest.param(snapshot([], "\0a", [1], [P, P], (), [7], 1, [0, 1]), id="no-node_shifts"),
    pytest.param(snapshot([0, 1, 1, 1], "\0a", [1], [P, P], (), [7], 1, [0, 1]), id="node_shifts-longer"),
    pytest.param(snapshot([0, 1], "\0a", [1], [P], (), [7], 1, [0, 1]), id="payloads-shorter-than-labels"),
    pytest.param(snapshot([0, 1], "\0a", [1], [], (), [7], 1, [0, 1]), id="no-payloads"),
    pytest.param(snapshot([0, 1], "\0a", [1], [None, None], (), [7], 1, [0, 1]), id="absent-payloads"),
    pytest.param(snapshot([0, 1], "\0a", [1], [P, (3, [0, 0], [3])], (), [7], 1, [0, 1]), id="more-ids-than-counts"),
    pytest.param(snapshot([0, 1], "\0a", [1], [P, (3, [0], [3, 4])], (), [7], 1, [0, 1]), id="more-counts-than-ids"),
    pytest.param(snapshot([0, 1], "\0a", [1], [P, (3, [9, 0], [2, 1])], (), [7], 1, [0, 1]), id="row-past-table"),
    pytest.param(snapshot([0, 1], "\0a", [1], [P, P], [bytes(16)], (), 1, [0, 1]), id="mode-int32-with-uuid-table"),
    pytest.param(snapshot([0, 1], "\0a", [1], [P, P], (), [7], 0, [0, 1]), id="mode-uuid-with-int-table"),
    pytest.param(snapshot([0, 1], "\0a", [1], [P, P], (), [7], 1, [0]), id="terminal_flags-shorter"),
    pytest.param(snapshot([0, 1], "\0a", [1], [P, P], (), [7], 1, []), id="no-terminal_flags"),
    pytest.param(snapshot([0, 5], "\0a", [1], [P, P], (), [7], 1, [0, 1]), id="edge-range-past-transitions"),
    pytest.param(snapshot([3, 0], "\0a", [1], [P, P], (), [7], 1, [0, 1]), id="root-range-starts-past-edges"),
    pytest.param(snapshot([0, 1], "\0a", [1, 1], [P, P], (), [7], 1, [0, 1]), id="self-loop"),
    pytest.param(snapshot([0, 1, 2], "\0ab", [1, 2, 1], [P, P, P], (), [7], 1, [0, 1, 1]), id="cycle-of-two"),
    pytest.param(snapshot([0, 1], "aa", [1, 0], [P, P], (), [7], 1, [1, 1]), id="cycle-through-root"),
    pytest.param(snapshot([0, 3], "\0a", [1, 1, 1, 1, 1], [P, P], (), [7], 1, [0, 1]), id="many-self-loops"),
    pytest.param(snapshot([0], "", [3], [], (), (), 0, []), id="root-range-without-labels"),
    pytest.param(snapshot([0], "", [], [], (), (), 0, []), id="only-node_shifts"),
    pytest.param(snapshot([], "\0", [], [], (), (), 0, []), id="only-a-label"),
    pytest.param(snapshot([0, 1], "\0a", [1], [P, (0, [0], [3])], (), [7], 1, [0, 1]), id="zero-counts"),
    pytest.param(snapshot([0, 1], "\0a", [1], [(0, [], []), (0, [0], [3])], (), [7], 0, [0, 1]), id="zero-total"),
]

QUERIES = [
    ("fuzzy_match", ("a",), {}),
    ("fuzzy_match", ("",), {"max_dist": 2}),
    ("fuzzy_match", ("aa",), {"max_dist": 3}),
    ("fuzzy_match", ("b",), {"max_dist": 0}),
    ("fuzzy_match", ("a",), {"limit": 1}),
    ("fuzzy_match_video", ("a",), {}),
    ("fuzzy_match_video", ("a",), {"max_dist": 0}),
    ("fuzzy_match_video", ("ab",), {"include_prefix_nodes": True, "min_score": -1.0}),
    ("fuzzy_match_video", ("aa",), {"max_dist": 2, "include_prefix_nodes": False, "min_score": 0.0}),
    ("fuzzy_match_video", ("a",), {"limit": 0}),
]


def outcome(call):
    """The result of a call, or the message of the internal fault it raised."""
    try:
        return "result", call()
    except Exception as e:  # any ordinary exception is a failure of the test
        raise AssertionError(f"unexpected {type(e).__name__}: {e}") from e
    except BaseException as e:
        assert type(e).__name__ == "PanicException" and type(e).__module__ == "pyo3_runtime", repr(e)
        assert INDEX_OUT_OF_BOUNDS.fullmatch(str(e)), str(e)
        return "fault", str(e)


def check_result_shape(method, result):
    assert type(result) is list
    for row in result:
        assert type(row) is tuple
        if method == "fuzzy_match":
            assert [type(x) for x in row] == [str, int, int]
            assert row[1] in (0, 1)
        else:
            assert [type(x) for x in row] == [str, float]


@pytest.mark.parametrize("data", BROKEN)
def test_broken_snapshots_never_crash(data, ab_ac):
    t = PrefixSearch.from_bytes(data)
    assert t.to_bytes() == data
    first = []
    for method, args, kwargs in QUERIES:
        kind, value = outcome(lambda: getattr(t, method)(*args, **kwargs))
        if kind == "result":
            check_result_shape(method, value)
        first.append((kind, value))
    # the instance is unchanged and answers the same way again
    again = [outcome(lambda: getattr(t, m)(*a, **k)) for m, a, k in QUERIES]
    assert again == first
    assert t.to_bytes() == data
    assert ab_ac.fuzzy_match("ab") == [("ab", 1, 0), ("ac", 1, 1)]


def test_known_outcomes_of_broken_snapshots():
    def load(**fields):
        base = dict(node_shifts=[0, 1], labels="\0a", transitions=[1], payloads=[P, P], int_ids=[7], id_mode=1, flags=[0, 1])
        base.update(fields)
        return PrefixSearch.from_bytes(snapshot(**base))

    def fault(call):
        kind, value = outcome(call)
        assert kind == "fault"
        return value

    assert fault(lambda: load(transitions=[5]).fuzzy_match("a")) == "index out of bounds: the len is 2 but the index is 5"
    assert fault(lambda: load(node_shifts=[0, 5]).fuzzy_match("a")) == "index out of bounds: the len is 1 but the index is 1"
    # absent payloads are skipped by the video query; term matching does not read them
    assert load(payloads=[None, None]).fuzzy_match_video("a") == []
    assert load(payloads=[None, None]).fuzzy_match("a") == [("a", 1, 0)]
    assert load(payloads=[P]).fuzzy_match("a") == [("a", 1, 0)]
    assert fault(lambda: load(payloads=[P]).fuzzy_match_video("a"))
    assert fault(lambda: load(payloads=[P, (3, [0, 0], [3])]).fuzzy_match_video("a"))
    # rows outside the selected table are dropped
    assert load(payloads=[P, (3, [9, 0], [2, 1])]).fuzzy_match_video("a", min_score=0.0) == [("7", 1 / 3)]
    assert load(int_ids=[], uuids=[bytes(16)]).fuzzy_match_video("a") == []
    assert load(id_mode=0).fuzzy_match_video("a") == []
    # a self loop is walked as often as the distance bound allows
    looped = load(transitions=[1, 1])
    assert looped.fuzzy_match("a", 2) == [("a", 1, 0), ("aa", 1, 1), ("aaa", 1, 2)]
    assert looped.fuzzy_match("", 3, 2) == [("a", 1, 1), ("aa", 1, 2)]


def test_fault_leaves_the_process_usable():
    broken = PrefixSearch.from_bytes(snapshot([0, 1], "\0a", [5], [P, P], (), [7], 1, [0, 1]))
    for _ in range(5):
        with pytest.raises(BaseException) as info:
            broken.fuzzy_match("a")
        assert not isinstance(info.value, Exception)
    assert broken.to_bytes() == snapshot([0, 1], "\0a", [5], [P, P], (), [7], 1, [0, 1])
    assert PrefixSearch.from_bytes(AB_AC).fuzzy_match("ab") == [("ab", 1, 0), ("ac", 1, 1)]


# ---------------------------------------------------------------- round trips over built tries

ALPHABET = "abcé😀"

terms_strategy = st.dictionaries(
    st.text(ALPHABET, min_size=1, max_size=4),
    st.tuples(
        st.one_of(st.integers(0, 50), st.integers(0, 2**32 - 1)),
        st.lists(st.tuples(st.integers(0, 6), st.one_of(st.integers(0, 50), st.integers(0, 2**32 - 1))), max_size=4),
    ),
    max_size=10,
)
queries_strategy = st.lists(st.tuples(st.text(ALPHABET, max_size=5), st.integers(0, 2)), min_size=1, max_size=4)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    terms=terms_strategy,
    top_n=st.integers(0, 5),
    id_width=st.sampled_from([4, 16]),
    queries=queries_strategy,
)
def test_round_trip_of_built_tries(terms, top_n, id_width, queries):
    built = build_from_terms(terms, video_top_n=top_n, id_width=id_width)
    data = built.to_bytes()
    loaded = PrefixSearch.from_bytes(data)
    assert loaded.to_bytes() == data
    assert PrefixSearch.from_bytes(data + b"\x07\xff").to_bytes() == data
    for term, dist in queries:
        assert loaded.fuzzy_match(term, dist) == built.fuzzy_match(term, dist)
        assert loaded.fuzzy_match(term, dist, 1) == built.fuzzy_match(term, dist, 1)
        for prefix in (None, True, False):
            assert loaded.fuzzy_match_video(term, dist, include_prefix_nodes=prefix) == built.fuzzy_match_video(
                term, dist, include_prefix_nodes=prefix
            )
        assert loaded.fuzzy_match_video(term, dist, 2, True, 0.0) == built.fuzzy_match_video(term, dist, 2, True, 0.0)


@settings(max_examples=300, deadline=None)
@given(terms=terms_strategy, id_width=st.sampled_from([4, 16]), cut=st.integers(0, 10**6))
def test_every_strict_prefix_of_a_snapshot_is_refused(terms, id_width, cut):
    data = build_from_terms(terms, id_width=id_width).to_bytes()
    with pytest.raises(ValueError, match=r"^decode error: UnexpectedEnd \{ additional: \d+ \}$"):
        PrefixSearch.from_bytes(data[: cut % len(data)])


def _fuzz_inputs():
    valid = [E_ACUTE, AB_AC, bytes(8)]
    mutated = st.tuples(st.sampled_from(valid), st.integers(0, 54), st.integers(0, 255)).map(
        lambda t: t[0][: t[1] % len(t[0])] + bytes([t[2]]) + t[0][t[1] % len(t[0]) + 1 :]
    )
    return st.one_of(st.binary(max_size=48), mutated)


@settings(max_examples=500, deadline=None)
@given(data=_fuzz_inputs())
def test_arbitrary_bytes_never_crash(data):
    try:
        t = PrefixSearch.from_bytes(data)
    except ValueError as e:
        assert str(e).startswith("decode error: ")
        return
    encoded = t.to_bytes()
    assert PrefixSearch.from_bytes(encoded).to_bytes() == encoded
    for method, args, kwargs in QUERIES[:2] + QUERIES[5:8]:
        kind, value = outcome(lambda: getattr(t, method)(*args, **kwargs))
        if kind == "result":
            check_result_shape(method, value)
