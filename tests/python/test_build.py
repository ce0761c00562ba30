"""PrefixSearch.from_internal_data_v2: checks in order, conversion of the
flat arrays into a trie, the video table, and propagation of the payloads."""

import collections
import subprocess
import sys
import textwrap

import pytest

from _quorvatel import PrefixSearch

from conftest import CHILD_LABELS, CHILD_TRANSITIONS, NODE_SHIFTS, PAYLOADS, IndexOrRaise, build, check_raises
from snapshot_format import Fields, decode

# the propagated trie of "ab" and "ac", as its snapshot
AB_AC_BYTES = bytes.fromhex(
    "0400010303"  # node_shifts
    "0400616263"  # child_labels
    "03010203"  # child_transitions
    "04"  # payloads
    "0108020001020602"  # node 0: (8, [0, 1], [6, 2])
    "0108020001020602"  # node 1: (8, [0, 1], [6, 2])
    "010501000105"  # node 2: (5, [0], [5])
    "0103020100020201"  # node 3: (3, [1, 0], [2, 1])
    "00"  # video_uuids
    "020102"  # video_int_ids
    "01"  # id_mode Int32
    "0400000101"  # terminal_flags
)

INDEX_OUT_OF_BOUNDS = r"^index out of bounds: the len is \d+ but the index is \d+$"


Trie = Fields


def test_reader_matches_the_known_snapshot():
    assert decode(AB_AC_BYTES) == Trie(
        [0, 1, 3, 3],
        "\0abc",
        [1, 2, 3],
        [(8, [0, 1], [6, 2]), (8, [0, 1], [6, 2]), (5, [0], [5]), (3, [1, 0], [2, 1])],
        [],
        [1, 2],
        1,
        [False, False, True, True],
    )


# ---------------------------------------------------------------- the worked example


def test_worked_example_snapshot(ab_ac):
    assert len(AB_AC_BYTES) == 55
    assert ab_ac.to_bytes() == AB_AC_BYTES


def test_worked_example_queries(ab_ac):
    assert ab_ac.fuzzy_match("ab") == [("ab", 1, 0), ("ac", 1, 1)]
    assert ab_ac.fuzzy_match_video("ab") == [("1", 0.9901477832512315)]


# ---------------------------------------------------------------- checks and their order

CHECK_ERRORS = [
    # the length of node_shifts
    pytest.param(
        dict(node_shifts=[0, 1, 3, 3, 3]),
        ValueError,
        "node_shifts len 5 != child_labels len 4",
        id="node_shifts-one-past-the-end",
    ),
    pytest.param(dict(node_shifts=[0, 1, 3]), ValueError, "node_shifts len 3 != child_labels len 4", id="node_shifts-short"),
    pytest.param(dict(node_shifts=[]), ValueError, "node_shifts len 0 != child_labels len 4", id="node_shifts-empty"),
    pytest.param(
        dict(node_shifts=[0, 1, 3, 3], child_labels=["", "a", "b"], payloads=[None] * 3, child_transitions=[1, 2]),
        ValueError,
        "node_shifts len 4 != child_labels len 3",
        id="n-3-with-4-shifts",
    ),
    # the length of payloads
    pytest.param(dict(payloads=PAYLOADS[:3]), ValueError, "payloads len 3 != child_labels len 4", id="payloads-short"),
    pytest.param(dict(payloads=PAYLOADS + [None]), ValueError, "payloads len 5 != child_labels len 4", id="payloads-long"),
    # edge targets
    pytest.param(
        dict(child_transitions=[1, 2, 4]), ValueError, "child_transitions[2] = 4 out of range [0..4)", id="edge-equal-to-n"
    ),
    pytest.param(
        dict(child_transitions=[1, 9, 7]), ValueError, "child_transitions[1] = 9 out of range [0..4)", id="first-bad-edge"
    ),
    pytest.param(
        dict(child_transitions=[4294967295, 2, 3]),
        ValueError,
        "child_transitions[0] = 4294967295 out of range [0..4)",
        id="edge-u32-max",
    ),
    pytest.param(
        dict(node_shifts=[], child_labels=[], payloads=[], child_transitions=[5], video_index=[]),
        ValueError,
        "child_transitions[0] = 5 out of range [0..0)",
        id="no-nodes-one-edge",
    ),
    pytest.param(
        dict(node_shifts=[], child_labels=[], payloads=[], child_transitions=[0], video_index=[]),
        ValueError,
        "child_transitions[0] = 0 out of range [0..0)",
        id="no-nodes-edge-zero",
    ),
    # payload entries
    pytest.param(
        dict(payloads=[None, None, [5, [0], [5]], PAYLOADS[3]]),
        TypeError,
        "'list' object cannot be converted to 'PyTuple'",
        id="payload-list",
    ),
    pytest.param(
        dict(payloads=[None, None, "x", PAYLOADS[3]]),
        TypeError,
        "'str' object cannot be converted to 'PyTuple'",
        id="payload-str",
    ),
    pytest.param(
        dict(payloads=[None, None, 5, PAYLOADS[3]]),
        TypeError,
        "'int' object cannot be converted to 'PyTuple'",
        id="payload-int",
    ),
    pytest.param(
        dict(payloads=[None, None, {"count": 5}, PAYLOADS[3]]),
        TypeError,
        "'dict' object cannot be converted to 'PyTuple'",
        id="payload-dict",
    ),
    pytest.param(
        dict(payloads=[None, False, PAYLOADS[2], PAYLOADS[3]]),
        TypeError,
        "'bool' object cannot be converted to 'PyTuple'",
        id="payload-false-is-not-none",
    ),
    pytest.param(dict(payloads=[None, None, (5, [0]), PAYLOADS[3]]), ValueError, "Payload tuple must have 3 elements", id="2-tuple"),
    pytest.param(
        dict(payloads=[None, None, (5, [0], [5], 0), PAYLOADS[3]]),
        ValueError,
        "Payload tuple must have 3 elements",
        id="4-tuple",
    ),
    pytest.param(dict(payloads=[None, None, (), PAYLOADS[3]]), ValueError, "Payload tuple must have 3 elements", id="0-tuple"),
    pytest.param(
        dict(payloads=[None, None, (5, "x"), [1]]),
        ValueError,
        "Payload tuple must have 3 elements",
        id="size-before-elements",
    ),
    # count, by the unsigned 32-bit rule, with no argument name
    pytest.param(
        dict(payloads=[None, None, (-1, [0], [5]), PAYLOADS[3]]),
        OverflowError,
        "out of range integral type conversion attempted",
        id="count-negative",
    ),
    pytest.param(
        dict(payloads=[None, None, (2**32, [0], [5]), PAYLOADS[3]]),
        OverflowError,
        "out of range integral type conversion attempted",
        id="count-2**32",
    ),
    pytest.param(
        dict(payloads=[None, None, (2**64, [0], [5]), PAYLOADS[3]]),
        OverflowError,
        "Python int too large to convert to C long",
        id="count-beyond-c-long",
    ),
    pytest.param(
        dict(payloads=[None, None, ("5", [0], [5]), PAYLOADS[3]]),
        TypeError,
        "'str' object cannot be interpreted as an integer",
        id="count-str",
    ),
    pytest.param(
        dict(payloads=[None, None, (5.0, [0], [5]), PAYLOADS[3]]),
        TypeError,
        "'float' object cannot be interpreted as an integer",
        id="count-float",
    ),
    pytest.param(
        dict(payloads=[None, None, (None, [0], [5]), PAYLOADS[3]]),
        TypeError,
        "'NoneType' object cannot be interpreted as an integer",
        id="count-none",
    ),
    pytest.param(
        dict(payloads=[None, None, (-1, "x", 5), PAYLOADS[3]]),
        OverflowError,
        "out of range integral type conversion attempted",
        id="count-before-vectors",
    ),
    # video_ids / video_counts
    pytest.param(
        dict(payloads=[None, None, (5, "0", [5]), PAYLOADS[3]]),
        TypeError,
        "Can't extract `str` to `Vec`",
        id="video_ids-str-of-digits",
    ),
    pytest.param(
        dict(payloads=[None, None, (5, [0], "5"), PAYLOADS[3]]),
        TypeError,
        "Can't extract `str` to `Vec`",
        id="video_counts-str",
    ),
    pytest.param(
        dict(payloads=[None, None, (5, 0, [5]), PAYLOADS[3]]),
        TypeError,
        "'int' object cannot be converted to 'Sequence'",
        id="video_ids-int",
    ),
    pytest.param(
        dict(payloads=[None, None, (5, [0], {5}), PAYLOADS[3]]),
        TypeError,
        "'set' object cannot be converted to 'Sequence'",
        id="video_counts-set",
    ),
    pytest.param(
        dict(payloads=[None, None, (5, None, [5]), PAYLOADS[3]]),
        TypeError,
        "'NoneType' object cannot be converted to 'Sequence'",
        id="video_ids-none",
    ),
    pytest.param(
        dict(payloads=[None, None, (5, (x for x in [0]), [5]), PAYLOADS[3]]),
        TypeError,
        "'generator' object cannot be converted to 'Sequence'",
        id="video_ids-generator",
    ),
    pytest.param(
        dict(payloads=[None, None, (5, [0, "1"], [5, 1]), PAYLOADS[3]]),
        TypeError,
        "'str' object cannot be interpreted as an integer",
        id="video_ids-bad-item",
    ),
    pytest.param(
        dict(payloads=[None, None, (5, [0], [-5]), PAYLOADS[3]]),
        OverflowError,
        "out of range integral type conversion attempted",
        id="video_counts-negative-item",
    ),
    pytest.param(
        dict(payloads=[None, None, (5, [2**32], [5]), PAYLOADS[3]]),
        OverflowError,
        "out of range integral type conversion attempted",
        id="video_ids-item-too-large",
    ),
    pytest.param(
        dict(payloads=[None, None, (5, [0, 1], "x"), PAYLOADS[3]]),
        TypeError,
        "Can't extract `str` to `Vec`",
        id="conversion-before-length-check",
    ),
    pytest.param(
        dict(payloads=[None, None, (5, "x", 7), PAYLOADS[3]]),
        TypeError,
        "Can't extract `str` to `Vec`",
        id="video_ids-before-video_counts",
    ),
    pytest.param(
        dict(payloads=[None, None, (5, [0, 1], [5]), PAYLOADS[3]]),
        ValueError,
        "video_ids and video_counts length mismatch",
        id="length-mismatch",
    ),
    pytest.param(
        dict(payloads=[None, None, (5, [], [5]), PAYLOADS[3]]),
        ValueError,
        "video_ids and video_counts length mismatch",
        id="length-mismatch-empty-ids",
    ),
    pytest.param(
        dict(payloads=[None, None, (5, [0, 1], [5]), [1]]),
        ValueError,
        "video_ids and video_counts length mismatch",
        id="nodes-in-order-1",
    ),
    pytest.param(
        dict(payloads=[None, None, [1], (5, [0, 1], [5])]),
        TypeError,
        "'list' object cannot be converted to 'PyTuple'",
        id="nodes-in-order-2",
    ),
    # the shape of the video table
    pytest.param(
        dict(video_index=[bytes(16), bytes(4)]),
        ValueError,
        "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)",
        id="mixed-16-4",
    ),
    pytest.param(
        dict(video_index=[bytes(4), bytes(16)]),
        ValueError,
        "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)",
        id="mixed-4-16",
    ),
    pytest.param(
        dict(video_index=[bytes(3), bytes(3)]),
        ValueError,
        "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)",
        id="3-bytes",
    ),
    pytest.param(
        dict(video_index=[b""]),
        ValueError,
        "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)",
        id="empty-entry",
    ),
    pytest.param(
        dict(video_index=[bytes(4), bytes(5)]),
        ValueError,
        "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)",
        id="4-and-5",
    ),
    pytest.param(
        dict(video_index=[bytes(17)]),
        ValueError,
        "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)",
        id="17-bytes",
    ),
    pytest.param(
        dict(video_index=[bytes(8)]),
        ValueError,
        "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)",
        id="8-bytes",
    ),
]


@pytest.mark.parametrize("changes,exc_type,message", CHECK_ERRORS)
def test_check_errors(changes, exc_type, message):
    check_raises(lambda: build(**changes), exc_type, message)


STEP_ORDER = [
    pytest.param(
        dict(node_shifts=[0], payloads=[None], child_transitions=[9], video_index=[b"x"]),
        ValueError,
        "node_shifts len 1 != child_labels len 4",
        id="node_shifts-first",
    ),
    pytest.param(
        dict(payloads=[None], child_transitions=[9], video_index=[b"x"]),
        ValueError,
        "payloads len 1 != child_labels len 4",
        id="payloads-length-before-edges-and-video_index",
    ),
    pytest.param(
        dict(payloads=PAYLOADS[:3], video_index=[bytes(16), bytes(4)]),
        ValueError,
        "payloads len 3 != child_labels len 4",
        id="payloads-length-before-video_index",
    ),
    pytest.param(
        dict(child_transitions=[1, 2, 8], payloads=[None, None, [5], (1, 2)]),
        ValueError,
        "child_transitions[2] = 8 out of range [0..4)",
        id="edges-before-payload-entries",
    ),
    pytest.param(
        dict(payloads=[None, None, (5,), PAYLOADS[3]], video_index=[bytes(16), bytes(4)]),
        ValueError,
        "Payload tuple must have 3 elements",
        id="payload-before-video_index",
    ),
    pytest.param(
        dict(payloads=[None, None, [5, [0], [5]], PAYLOADS[3]], video_index=[b"abc"]),
        TypeError,
        "'list' object cannot be converted to 'PyTuple'",
        id="payload-type-before-video_index",
    ),
    pytest.param(
        # argument conversion happens before any check
        dict(node_shifts=[0], video_index=[[256, 0, 0, 0]]),
        OverflowError,
        "out of range integral type conversion attempted",
        id="binding-before-checks",
    ),
    pytest.param(
        # all checks run before propagation, which would fault on node 0's range
        dict(node_shifts=[0, 9, 9, 9], video_index=[bytes(5)]),
        ValueError,
        "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)",
        id="checks-before-propagation",
    ),
]


@pytest.mark.parametrize("changes,exc_type,message", STEP_ORDER)
def test_errors_follow_the_step_order(changes, exc_type, message):
    check_raises(lambda: build(**changes), exc_type, message)


def test_errors_during_payload_conversion_pass_unchanged():
    class Boom(Exception):
        pass

    class Failing:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            raise IndexError

        def __iter__(self):
            raise error

    for error in (Boom("x"), TypeError("not wrapped here"), ValueError("v")):
        with pytest.raises(BaseException) as info:
            build(payloads=[None, None, (5, Failing(), [5]), PAYLOADS[3]])
        assert info.value is error


@pytest.mark.parametrize("where", ["count", "video_ids", "video_counts"])
@pytest.mark.parametrize(
    "error", [TypeError("a plain TypeError"), OverflowError("o"), ValueError("v")], ids=["TypeError", "OverflowError", "ValueError"]
)
def test_errors_from_index_inside_a_payload_pass_unchanged(where, error):
    entry = {"count": (IndexOrRaise(error), [0], [5]), "video_ids": (5, [IndexOrRaise(error)], [5]), "video_counts": (5, [0], [IndexOrRaise(error)])}
    with pytest.raises(BaseException) as info:
        build(payloads=[None, None, entry[where], PAYLOADS[3]])
    assert info.value is error
    assert str(info.value) == str(error)


def test_payload_elements_accept_integer_likes():
    got = build(payloads=[None, None, (IndexOrRaise(5), [IndexOrRaise(0)], (IndexOrRaise(5),)), PAYLOADS[3]])
    assert got.to_bytes() == AB_AC_BYTES


def test_payload_type_name_is_the_qualified_name():
    class Holder:
        class Entry(list):
            pass

    entry = Holder.Entry([5, [0], [5]])
    check_raises(
        lambda: build(payloads=[None, None, entry, PAYLOADS[3]]),
        TypeError,
        f"'{type(entry).__qualname__}' object cannot be converted to 'PyTuple'",
    )
    assert "Holder.Entry" in type(entry).__qualname__


def test_edge_value_n_minus_one_passes():
    got = build(child_transitions=[1, 2, 3])
    assert got.to_bytes() == AB_AC_BYTES


# ---------------------------------------------------------------- payload forms that are accepted

PayloadTuple = collections.namedtuple("PayloadTuple", "count video_ids video_counts")


class TupleSub(tuple):
    pass


@pytest.mark.parametrize(
    "payloads",
    [
        [None, None, PayloadTuple(5, [0], [5]), PayloadTuple(3, [1, 0], [2, 1])],
        [None, None, TupleSub((5, [0], [5])), (3, (1, 0), (2, 1))],
        [None, None, (5, b"\x00", b"\x05"), (3, b"\x01\x00", bytearray(b"\x02\x01"))],
        [None, None, (5, range(1), range(5, 6)), (3, range(1, -1, -1), range(2, 0, -1))],
        [None, None, (True + 4, [False], [5]), (3, [True, 0], [2, True])],
    ],
)
def test_payload_forms(payloads):
    assert build(payloads=payloads).to_bytes() == AB_AC_BYTES


def test_payload_count_bounds():
    got = PrefixSearch.from_internal_data_v2(
        [0, 1], ["", "a"], [None, (4294967295, [4294967295], [4294967295])], [1], [], 1
    )
    trie = decode(got.to_bytes())
    assert trie.payloads == [(4294967295, [4294967295], [4294967295])] * 2


# ---------------------------------------------------------------- labels


def one_level(labels, payloads=None, video_index=(), top_n=5):
    """A root whose children carry the given labels, in edge order."""
    n = len(labels) + 1
    if payloads is None:
        payloads = [(1, [], [])] * len(labels)
    return PrefixSearch.from_internal_data_v2(
        [0] + [len(labels)] * len(labels), [""] + list(labels), [None] + list(payloads), list(range(1, n)), list(video_index), top_n
    )


def test_label_keeps_only_the_first_character():
    t = one_level(["xyz", "b"])
    assert t.fuzzy_match("x", 0) == [("x", 1, 0)]
    assert t.fuzzy_match("xyz", 0) == []
    assert decode(t.to_bytes()).child_labels == "\0xb"


def test_root_label_plays_no_part():
    t = PrefixSearch.from_internal_data_v2([0, 1], ["zz", "a"], [None, (1, [], [])], [1], [], 1)
    assert decode(t.to_bytes()).child_labels == "za"
    assert t.fuzzy_match("a", 0) == [("a", 1, 0)]
    assert t.fuzzy_match("za", 0) == []


def test_empty_label_makes_the_node_and_its_subtree_unreachable():
    # root -> "" (terminal) -> "b" (terminal); root -> "c" (terminal)
    t = PrefixSearch.from_internal_data_v2(
        [0, 2, 3, 3],
        ["", "", "c", "b"],
        [None, (4, [0], [4]), (1, [0], [1]), (2, [0], [2])],
        [1, 2, 3],
        [b"\x07\0\0\0"],
        5,
    )
    assert decode(t.to_bytes()).child_labels == "\0\0cb"
    assert t.fuzzy_match("", 3) == [("c", 1, 1)]
    assert t.fuzzy_match("b", 2) == [("c", 1, 1)]
    # the unreachable nodes still count at the root
    assert decode(t.to_bytes()).payloads[0][0] == 7


def test_label_starting_with_nul_is_unreachable_like_an_empty_one():
    t = one_level(["\0x", "x"])
    assert decode(t.to_bytes()).child_labels == "\0\0x"
    assert t.fuzzy_match("", 2) == [("x", 1, 1)]


@pytest.mark.parametrize("label", ["😀", "\U0010ffff", "\U00010000", "é", "\u20ac", "\x7f", "\x01"])
def test_labels_of_every_utf8_length(label):
    t = one_level([label + "tail"])
    assert t.fuzzy_match(label, 0) == [(label, 1, 0)]
    assert t.fuzzy_match(label + "x", 1) == [(label, 1, 1)]  # one character, whatever its length
    assert decode(t.to_bytes()).child_labels == "\0" + label
    assert t.to_bytes()[5 : 5 + len(label.encode())] == label.encode()


# ---------------------------------------------------------------- terminal flags


def test_terminal_flags_come_from_payload_presence():
    # root -> a (None) -> b (0, [], []); a also -> c (None)
    t = PrefixSearch.from_internal_data_v2(
        [0, 1, 3, 3], ["", "a", "b", "c"], [None, None, (0, [], []), None], [1, 2, 3], [], 1
    )
    trie = decode(t.to_bytes())
    assert trie.terminal_flags == [False, False, True, False]
    assert t.fuzzy_match("ab", 1) == [("ab", 1, 0)]
    assert t.fuzzy_match("a", 0) == []
    assert t.fuzzy_match("ac", 0) == []
    # every node ends with a payload present after propagation, count 0 here
    assert trie.payloads == [(0, [], [])] * 4


def test_root_payload_makes_the_root_terminal_but_never_a_hit():
    t = PrefixSearch.from_internal_data_v2([0, 1], ["", "a"], [(2, [], []), None], [1], [], 1)
    assert decode(t.to_bytes()).terminal_flags == [True, False]
    assert t.fuzzy_match("", 1) == []


# ---------------------------------------------------------------- the video table


def single_term(video_index, rows, counts):
    total = sum(counts)
    return PrefixSearch.from_internal_data_v2([0, 1], ["", "a"], [None, (total, rows, counts)], [1], video_index, 10)


@pytest.mark.parametrize(
    "entry,text",
    [
        (b"\x01\x00\x00\x00", "1"),
        (b"\x01\x02\x03\x04", "67305985"),
        (b"\x00\x00\x00\x80", "2147483648"),
        (b"\xff\xff\xff\xff", "4294967295"),
        (b"\x00\x00\x00\x00", "0"),
        ([0xE8, 0x03, 0, 0], "1000"),
    ],
)
def test_int32_ids_are_little_endian_and_unsigned(entry, text):
    t = single_term([entry], [0], [1])
    assert t.fuzzy_match_video("a", 0) == [(text, 1.0)]
    trie = decode(t.to_bytes())
    assert (trie.id_mode, trie.video_uuids, trie.video_int_ids) == (1, [], [int(text)])


@pytest.mark.parametrize(
    "entry,text",
    [
        (bytes(range(16)), "00010203-0405-0607-0809-0a0b0c0d0e0f"),
        (bytes(range(0xF0, 0x100)), "f0f1f2f3-f4f5-f6f7-f8f9-fafbfcfdfeff"),
        (bytes(16), "00000000-0000-0000-0000-000000000000"),
        (bytes.fromhex("78563412" "3412" "7856" "9abc" "def012345678"), "78563412-3412-7856-9abc-def012345678"),
    ],
)
def test_uuid_ids_keep_their_stored_byte_order(entry, text):
    t = single_term([entry], [0], [1])
    assert t.fuzzy_match_video("a", 0) == [(text, 1.0)]
    trie = decode(t.to_bytes())
    assert (trie.id_mode, trie.video_uuids, trie.video_int_ids) == (0, [entry], [])


def test_rows_select_their_own_entry():
    index = [i.to_bytes(4, "little") for i in (10, 20, 30)]
    t = single_term(index, [2, 0, 1], [3, 2, 1])
    assert t.fuzzy_match_video("a", 0) == [("30", 0.5), ("10", 2 / 6), ("20", 1 / 6)]
    uuids = [bytes([i]) * 16 for i in (0xAA, 0xBB, 0xCC)]
    t = single_term(uuids, [1, 2], [2, 1])
    assert [v for v, _ in t.fuzzy_match_video("a", 0)] == [
        "bbbbbbbb-bbbb-bbbb-bbbb-bbbbbbbbbbbb",
        "cccccccc-cccc-cccc-cccc-cccccccccccc",
    ]


def test_rows_outside_the_table_are_not_checked_at_build():
    t = single_term([b"\x05\0\0\0"], [3, 0], [2, 1])
    assert decode(t.to_bytes()).payloads[1] == (3, [3, 0], [2, 1])
    assert t.fuzzy_match_video("a", 0) == [("5", 1 / 3)]


def test_empty_video_index_gives_uuid_mode_with_empty_tables():
    t = single_term([], [0], [4])
    trie = decode(t.to_bytes())
    assert (trie.id_mode, trie.video_uuids, trie.video_int_ids) == (0, [], [])
    assert t.fuzzy_match_video("a", 0) == []


def test_empty_inputs_build_an_empty_trie():
    for top_n in (0, 1, 2**64 - 1):
        t = PrefixSearch.from_internal_data_v2([], [], [], [], [], top_n)
        assert t.to_bytes() == bytes(8)
        assert t.fuzzy_match("") == []
        assert t.fuzzy_match("a", 3) == []
        assert t.fuzzy_match_video("a") == []
        assert t.fuzzy_match_video("", include_prefix_nodes=True, min_score=-1.0) == []


# ---------------------------------------------------------------- propagation


def propagated(node_shifts, labels, payloads, transitions, top_n=10, rows=8):
    t = PrefixSearch.from_internal_data_v2(
        node_shifts, labels, payloads, transitions, [i.to_bytes(4, "little") for i in range(rows)], top_n
    )
    return decode(t.to_bytes()).payloads


def test_worked_example_payloads():
    assert propagated(NODE_SHIFTS, CHILD_LABELS, PAYLOADS, CHILD_TRANSITIONS, 2) == [
        (8, [0, 1], [6, 2]),
        (8, [0, 1], [6, 2]),
        (5, [0], [5]),
        (3, [1, 0], [2, 1]),
    ]


def test_video_top_n_zero_keeps_counts_but_no_videos():
    t = build(video_top_n=0)
    assert decode(t.to_bytes()).payloads == [(8, [], []), (8, [], []), (5, [], []), (3, [], [])]
    assert t.fuzzy_match("ab") == [("ab", 1, 0), ("ac", 1, 1)]
    assert t.fuzzy_match_video("ab") == []
    assert t.fuzzy_match_video("ab", include_prefix_nodes=True, min_score=-1.0) == []


def test_video_top_n_one():
    # node 3 keeps only its first row, so video 0 reaches node 1 from node 2 alone
    assert propagated(NODE_SHIFTS, CHILD_LABELS, PAYLOADS, CHILD_TRANSITIONS, 1) == [
        (8, [0], [5]),
        (8, [0], [5]),
        (5, [0], [5]),
        (3, [1], [2]),
    ]


def test_counts_saturate():
    # root -> a (4294967000), root -> b (1000)
    got = propagated([0, 2, 2], ["", "a", "b"], [None, (4294967000, [], []), (1000, [], [])], [1, 2])
    assert got[0] == (4294967295, [], [])


def test_video_totals_above_u32_saturate_and_rank_by_their_full_value():
    # video 1 totals 4294967295 + 10 at the root, video 0 4294967295
    got = propagated(
        [0, 2, 2],
        ["", "a", "b"],
        [None, (1, [1], [4294967295]), (1, [1, 0], [10, 4294967295])],
        [1, 2],
    )
    assert got[0] == (2, [1, 0], [4294967295, 4294967295])


def test_equal_totals_rank_by_smallest_row_first():
    for leaf in ([7, 3, 5], [3, 5, 7], [5, 7, 3]):
        got = propagated([0, 1], ["", "a"], [None, (6, leaf, [2, 2, 2])], [1])
        assert got == [(6, [3, 5, 7], [2, 2, 2]), (6, leaf, [2, 2, 2])]


def test_equal_totals_at_the_trim_keep_the_smallest_rows():
    got = propagated([0, 1], ["", "a"], [None, (6, [6, 4, 2, 1], [1, 2, 2, 2])], [1], top_n=2)
    # the leaf keeps its first two rows; its parent sums and sorts those
    assert got == [(6, [4, 6], [2, 1]), (6, [6, 4], [1, 2])]
    got = propagated([0, 2, 2], ["", "a", "b"], [None, (3, [4, 1], [2, 1]), (3, [2, 1], [2, 1])], [1, 2], top_n=2)
    assert got[0] == (6, [1, 2], [2, 2])


def test_merging_sorts_and_sums_repeated_ids():
    # the leaf keeps its order and its repeated id; the parent sums them
    got = propagated([0, 1], ["", "a"], [None, (9, [5, 7, 5, 3], [2, 1, 3, 9])], [1])
    assert got == [(9, [3, 5, 7], [9, 5, 1]), (9, [5, 7, 5, 3], [2, 1, 3, 9])]


def test_leaf_trim_keeps_first_rows_not_largest():
    got = propagated([0, 1], ["", "a"], [None, (10, [7, 3], [1, 9])], [1], top_n=1)
    assert got == [(10, [7], [1]), (10, [7], [1])]


def test_parent_with_own_payload_and_child():
    got = propagated([0, 1, 2], ["", "a", "b"], [None, (4, [1], [4]), (11, [1, 2], [1, 10])], [1, 2])
    assert got[1] == (15, [2, 1], [10, 5])
    assert got[0] == (15, [2, 1], [10, 5])


def test_parent_without_videos_sorts_a_single_child():
    got = propagated([0, 1], ["", "a"], [(0, [], []), (10, [7, 3], [1, 9])], [1])
    assert got[0] == (10, [3, 7], [9, 1])


def test_self_edge_brings_nothing():
    # node 1 has an edge to itself and one to node 2
    got = propagated([0, 1, 3], ["", "a", "b"], [None, (2, [0], [2]), (3, [1], [3])], [1, 1, 2])
    assert got[1] == (5, [1, 0], [3, 2])
    assert got[0] == (5, [1, 0], [3, 2])


def test_node_reached_along_two_paths_counts_twice():
    # root -> a, root -> b, both -> c
    got = propagated([0, 2, 3, 4], ["", "a", "b", "c"], [None, None, None, (3, [0], [3])], [1, 2, 3, 3])
    assert got[0] == (6, [0], [6])


def test_edge_to_a_smaller_number_brings_the_unpropagated_payload():
    # root -> 1 -> 2, and node 2 has an edge back to node 1
    got = propagated([0, 1, 2], ["", "a", "b"], [None, (1, [0], [1]), (2, [1], [2])], [1, 2, 1])
    # node 2 merged node 1's build-time payload, before node 1 was processed
    assert got[2] == (3, [1, 0], [2, 1])
    assert got[1] == (4, [0, 1], [2, 2])


def test_empty_and_reversed_ranges_have_no_children():
    # node 1's range [2, 1) is reversed; node 2's [1, 2) holds only an edge to itself
    got = propagated([0, 2, 1], ["", "a", "b"], [None, (1, [0], [1]), (2, [1], [2])], [1, 2])
    assert got[1] == (1, [0], [1])
    assert got[2] == (2, [1], [2])
    assert got[0] == (3, [1, 0], [2, 1])


# ---------------------------------------------------------------- internal fault during propagation


def panic_of(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


@pytest.mark.parametrize(
    "args,message",
    [
        # node 0's range [0, 5) runs past the two edges
        (([0, 5, 5], ["", "a", "b"], [None] * 3, [1, 2], [], 1), "index out of bounds: the len is 2 but the index is 2"),
        # node 1's range [3, 5) starts past the two edges
        (([0, 3, 5], ["", "a", "b"], [None] * 3, [1, 2], [], 1), "index out of bounds: the len is 2 but the index is 3"),
        # no edges at all
        (([0, 1], ["", "a"], [None, (1, [0], [1])], [], [bytes(4)], 1), "index out of bounds: the len is 0 but the index is 0"),
    ],
)
def test_edge_range_past_the_end_faults(args, message):
    error = panic_of(lambda: PrefixSearch.from_internal_data_v2(*args))
    panic = type(error)
    assert panic.__module__ == "pyo3_runtime"
    assert panic.__name__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert not isinstance(error, Exception)
    assert str(error) == message
    assert error.args == (message,)


def test_fault_is_not_caught_by_except_exception_and_the_process_survives(ab_ac):
    caught = []
    for _ in range(3):
        try:
            try:
                PrefixSearch.from_internal_data_v2([0, 5, 5], ["", "a", "b"], [None] * 3, [1, 2], [], 1)
            except Exception:
                caught.append("Exception")
        except BaseException as e:
            caught.append(type(e).__name__)
    assert caught == ["PanicException"] * 3
    assert ab_ac.fuzzy_match("ab") == [("ab", 1, 0), ("ac", 1, 1)]
    assert build().to_bytes() == AB_AC_BYTES


def test_fault_in_a_fresh_interpreter_leaves_it_running():
    code = textwrap.dedent(
        """
        import _quorvatel
        P = _quorvatel.PrefixSearch
        for _ in range(2):
            try:
                P.from_internal_data_v2([0, 5, 5], ["", "a", "b"], [None] * 3, [1, 2], [], 1)
            except BaseException as e:
                print(type(e).__module__, type(e).__name__, e)
        print(P.from_internal_data_v2([0, 1], ["", "a"], [None, (1, [], [])], [1], [], 1).fuzzy_match("a"))
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "pyo3_runtime PanicException index out of bounds: the len is 2 but the index is 2",
        "pyo3_runtime PanicException index out of bounds: the len is 2 but the index is 2",
        "[('a', 1, 0)]",
    ]
    assert "index out of bounds: the len is 2 but the index is 2" in done.stderr
