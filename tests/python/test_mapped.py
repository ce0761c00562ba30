"""Mapped index files: save(index, path, format="mapped") and open(path).

A MappedIndex answers exactly as the PrefixSearch it was saved from (results,
order, scores to the bit, internal faults), writes the same snapshot, is
accepted by complete() and suggest(), and refuses a damaged file with the
ValueError of its kind."""

import copy
import gc
import os
import pickle
import random
import re
import struct

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import quorvatel
from _quorvatel import PrefixSearch
from quorvatel import MappedIndex

from conftest import AB_AC_ARGS, check_raises
from snapshot_format import encode
from term_arrays import flat_arrays

# ---------------------------------------------------------------- helpers


def mapped(index, tmp_path, name="index.qvm"):
    path = tmp_path / name
    quorvatel.save(index, path, format="mapped")
    return quorvatel.open(path, verify=True), path


def outcome(call):
    """A call's result, or the type and message of what it raised."""
    try:
        return "result", call()
    except BaseException as e:  # PanicException derives from BaseException
        return type(e).__name__, str(e)


QUERIES = [
    ("fuzzy_match", {}),
    ("fuzzy_match", {"max_dist": 0}),
    ("fuzzy_match", {"max_dist": 2}),
    ("fuzzy_match", {"max_dist": 3, "limit": 2}),
    ("fuzzy_match_video", {}),
    ("fuzzy_match_video", {"max_dist": 2}),
    ("fuzzy_match_video", {"max_dist": 2, "include_prefix_nodes": True, "min_score": 0.0}),
    ("fuzzy_match_video", {"max_dist": 1, "include_prefix_nodes": False, "limit": 1}),
]
SEARCHES = [
    (quorvatel.complete, {}),
    (quorvatel.complete, {"max_dist": 2, "limit": None}),
    (quorvatel.suggest, {"max_dist": 2}),
    (quorvatel.suggest, {"max_dist": 1, "transpositions": False, "limit": 3}),
]


def assert_same(loaded, opened, texts):
    assert opened.to_bytes() == loaded.to_bytes()
    for text in texts:
        for method, kwargs in QUERIES:
            a = outcome(lambda: getattr(loaded, method)(text, **kwargs))
            b = outcome(lambda: getattr(opened, method)(text, **kwargs))
            assert a == b, (method, text, kwargs)
            if a[0] == "result" and method == "fuzzy_match_video":  # scores to the bit
                assert [struct.pack("<d", s) for _, s in a[1]] == [struct.pack("<d", s) for _, s in b[1]]
        for search, kwargs in SEARCHES:
            assert outcome(lambda: search(loaded, text, **kwargs)) == outcome(lambda: search(opened, text, **kwargs))


words = st.text(alphabet="abcé😀", min_size=1, max_size=6)
records = st.lists(
    st.tuples(words, st.one_of(st.none(), st.integers(0, 6)), st.integers(0, 2**32 - 1)), min_size=1, max_size=40
)
texts = st.lists(st.text(alphabet="abcé😀x", max_size=7), min_size=1, max_size=6)


# ---------------------------------------------------------------- differential


@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(rows=records, queries=texts, top_n=st.integers(0, 4))
def test_a_built_index_and_its_mapped_file_answer_alike(tmp_path, rows, queries, top_n):
    index = quorvatel.build(rows, video_top_n=top_n)
    opened, _ = mapped(index, tmp_path)
    assert_same(index, opened, queries)
    assert_same(PrefixSearch.from_bytes(index.to_bytes()), opened, queries)


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(terms=st.lists(words, min_size=1, max_size=30, unique=True), queries=texts,
       numbering=st.sampled_from(["breadth", "preorder"]), seed=st.integers(0, 2**16))
def test_arrays_in_any_numbering_answer_alike(tmp_path, terms, queries, numbering, seed):
    rng = random.Random(seed)

    def payload(term):
        videos = [rng.randrange(5) for _ in range(rng.randint(0, 3))]
        return rng.randint(0, 9), videos, [rng.randint(1, 9) for _ in videos]

    shifts, labels, payloads, edges = flat_arrays(terms, payload, numbering)
    ids = [bytes([v]) * 16 for v in range(5)] if seed % 2 else [v.to_bytes(4, "little") for v in range(5)]
    index = PrefixSearch.from_internal_data_v2(shifts, labels, payloads, edges, ids, 3)
    opened, _ = mapped(index, tmp_path)
    assert_same(index, opened, queries)


def no_tree_snapshots():
    """Snapshots that load but are no tree; the last ones fault in queries."""
    empty = (0, [], [])
    return {
        "entered twice": encode([0, 2, 3], "\0ab", [1, 2, 2], [empty, (3, [0], [2]), (2, [0, 0], [1, 1])],
                                int_ids=[9], id_mode=1, flags=[0, 1, 1]),
        "cycle": encode([0, 1], "\0a", [1, 1], [empty, (1, [], [])], flags=[0, 1]),
        "back to the root": encode([0, 1], "\0a", [1, 0], [empty, (1, [], [])], flags=[0, 1]),
        "unreachable node": encode([0, 1, 1], "\0ab", [1], [empty, (1, [], []), (5, [], [])], flags=[0, 1, 1]),
        "range past the edges": encode([0, 5], "\0a", [1], [empty, (1, [], [])], flags=[0, 1]),
        "child past the nodes": encode([0, 1], "\0a", [1, 7], [empty, (1, [], [])], flags=[0, 1]),
        "flags short": encode([0, 1], "\0a", [1], [empty, (1, [], [])], flags=[0]),
        "payload lists differ": encode([0, 1], "\0a", [1], [empty, (1, [0, 0], [4])], int_ids=[1], id_mode=1,
                                       flags=[0, 1]),
        "video row past the table": encode([0, 1], "\0a", [1], [empty, (1, [3], [4])], int_ids=[1], id_mode=1,
                                           flags=[0, 1]),
    }


@pytest.mark.parametrize("name", list(no_tree_snapshots()))
def test_snapshots_that_are_no_tree_answer_and_fault_alike(tmp_path, name):
    loaded = PrefixSearch.from_bytes(no_tree_snapshots()[name])
    opened, _ = mapped(loaded, tmp_path)
    assert_same(loaded, opened, ["", "a", "ab", "b", "aaa"])


def test_a_fault_is_the_same_panic(tmp_path):
    loaded = PrefixSearch.from_bytes(no_tree_snapshots()["child past the nodes"])
    opened, _ = mapped(loaded, tmp_path)
    a = outcome(lambda: loaded.fuzzy_match("a", 1))
    assert a[0] == "PanicException"
    assert outcome(lambda: opened.fuzzy_match("a", 1)) == a
    assert opened.fuzzy_match("", 0) == []  # the instance stays usable


def test_a_mapped_index_saves_again(tmp_path):
    index = quorvatel.build([("python", 1, 30), ("pythons", 1, 4), ("jython", 2, 7)])
    opened, path = mapped(index, tmp_path)
    quorvatel.save(opened, tmp_path / "again.qvm", format="mapped")
    assert (tmp_path / "again.qvm").read_bytes() == path.read_bytes()
    quorvatel.save(opened, tmp_path / "again.qvx")
    assert quorvatel.load(tmp_path / "again.qvx").to_bytes() == index.to_bytes()


# ---------------------------------------------------------------- the object


def test_same_argument_rules_as_prefix_search(tmp_path):
    loaded = PrefixSearch.from_internal_data_v2(*AB_AC_ARGS)
    opened, _ = mapped(loaded, tmp_path)
    calls = [
        ("fuzzy_match", (), {}),
        ("fuzzy_match", ("a", 1, None, 4), {}),
        ("fuzzy_match", (b"a",), {}),
        ("fuzzy_match", ("a",), {"max_dist": -1}),
        ("fuzzy_match", ("a",), {"max_dist": 2**32}),
        ("fuzzy_match", ("a",), {"limit": "x"}),
        ("fuzzy_match", ("a",), {"nope": 1}),
        ("fuzzy_match", ("a",), {"term": "b"}),
        ("fuzzy_match", ("\ud800",), {}),
        ("fuzzy_match_video", ("a",), {"include_prefix_nodes": 1}),
        ("fuzzy_match_video", ("a",), {"min_score": "high"}),
        ("fuzzy_match_video", ("ab", 0, 1, True, 0.5), {}),
    ]
    for method, args, kwargs in calls:
        a = outcome(lambda: getattr(loaded, method)(*args, **kwargs))
        b = outcome(lambda: getattr(opened, method)(*args, **kwargs))
        expected = a if a[0] == "result" else (a[0], a[1].replace("PrefixSearch", "MappedIndex"))
        assert b == expected, (method, args, kwargs)
    assert opened.fuzzy_match.__text_signature__ == loaded.fuzzy_match.__text_signature__
    assert opened.fuzzy_match_video.__text_signature__ == loaded.fuzzy_match_video.__text_signature__


def test_refuses_pickling_copying_construction_and_changes(tmp_path):
    opened, _ = mapped(quorvatel.build([("a", 1, 1)]), tmp_path)
    message = ("a MappedIndex cannot be pickled or copied; pass the path of its file and open it again in the "
               "other process")
    check_raises(lambda: pickle.dumps(opened), TypeError, message)
    check_raises(lambda: copy.copy(opened), TypeError, message)
    check_raises(lambda: copy.deepcopy(opened), TypeError, message)
    check_raises(MappedIndex, TypeError,
                 "cannot create 'MappedIndex' instances; quorvatel.open(path) maps a file saved with "
                 'format="mapped"')
    with pytest.raises(AttributeError):
        opened.extra = 1
    with pytest.raises(TypeError):
        MappedIndex.fuzzy_match = None
    with pytest.raises(TypeError):
        type("Sub", (MappedIndex,), {})
    assert MappedIndex.__module__ == "quorvatel"


def test_a_call_keeps_the_mapping_alive(tmp_path):
    opened, _ = mapped(quorvatel.build([("python", 1, 30)]), tmp_path)
    method = opened.fuzzy_match_video
    del opened
    gc.collect()
    assert method("pyton") == [("1", 1.0)]


def test_a_file_replaced_by_save_keeps_the_old_mapping(tmp_path):
    path = tmp_path / "index.qvm"
    old = quorvatel.build([("python", 1, 30), ("java", 2, 3)])
    quorvatel.save(old, path, format="mapped")
    opened = quorvatel.open(path)
    new = quorvatel.build([("rust", 3, 5)] * 3 + [(f"w{i}", i, i) for i in range(500)])
    quorvatel.save(new, path, format="mapped")
    assert opened.fuzzy_match("pyton") == [("python", 1, 1)]
    assert quorvatel.complete(opened, "ja") == [quorvatel.Completion("java", 3, 0)]
    assert opened.to_bytes() == old.to_bytes()
    assert quorvatel.open(path).to_bytes() == new.to_bytes()
    assert [p.name for p in tmp_path.iterdir()] == ["index.qvm"]  # no temporary left


def test_save_and_open_argument_errors(tmp_path):
    index = quorvatel.build([("a", 1, 1)])
    check_raises(lambda: quorvatel.save(index, tmp_path / "x", format="zip"), ValueError,
                 "format must be 'snapshot' or 'mapped', not 'zip'")
    check_raises(lambda: quorvatel.save(b"", tmp_path / "x", format="mapped"), TypeError,
                 "index must be a PrefixSearch or a MappedIndex, not bytes")
    with pytest.raises(FileNotFoundError):
        quorvatel.save(index, tmp_path / "missing" / "x", format="mapped")
    with pytest.raises(FileNotFoundError):
        quorvatel.open(tmp_path / "nothing.qvm")
    with pytest.raises(IsADirectoryError):
        quorvatel.open(tmp_path)
    check_raises(lambda: quorvatel.open(tmp_path / "x", verify=1), TypeError, "verify must be True or False, not int")
    check_raises(lambda: quorvatel.open("a\0b"), ValueError, "a\0b: embedded null byte")
    import _quorvatel_records

    check_raises(lambda: _quorvatel_records.write_mapped([], 1), TypeError,
                 "index must be a PrefixSearch or a MappedIndex, not list")
    with pytest.raises(OSError):
        _quorvatel_records.write_mapped(index, 10**6)  # no such descriptor


# ---------------------------------------------------------------- damaged files

SECTIONS = 80  # the section table: 16 (offset, size) pairs of 8-byte integers


def section(data, number):
    return struct.unpack_from("<QQ", data, SECTIONS + 16 * number)


def poke(fmt, at, value):
    def change(data):
        struct.pack_into(fmt, data, at, value)
    return change


def set_section_size(number, delta):
    def change(data):
        offset, size = section(data, number)
        struct.pack_into("<QQ", data, SECTIONS + 16 * number, offset, size + delta)
    return change


def first_child(node):
    def change(data):
        offset, _ = section(data, 2)  # child_transitions
        struct.pack_into("<I", data, offset, node)
    return change


DAMAGE = [
    ("short", lambda d: d.__delitem__(slice(100, None)), False,
     "not a mapped index: 100 bytes, shorter than the header"),
    ("magic", poke("<B", 0, 0), False,
     re.escape('not a mapped index: no magic number at its start (save(index, path, format="mapped") writes one)')),
    ("version", poke("<I", 8, 7), False, "mapped index of format version 7; this quorvatel reads version 1"),
    ("byte order", poke("<I", 12, 0x04030201), False,
     re.escape("mapped index written on a machine of the other byte order (mark 0x04030201)")),
    ("cut short", lambda d: d.__delitem__(slice(-1, None)), False,
     r"mapped index cut short or extended: its header says \d+ bytes, the file \d+"),
    ("flags", poke("<I", 16, 0x10), False, "mapped index with a header that no writer writes: flags 0x10"),
    ("section", set_section_size(0, 1 << 40), False,
     r"mapped index with a section that does not fit: node_shifts at \d+ \(\d+ bytes\) lies outside the \d+-byte "
     r"file"),
    ("slot width", poke("<B", 72, 9), False,
     "mapped index with an inconsistent payload table: slot width 9 is not 1 to 4"),
    ("structure", first_child(1 << 30), False,
     r"mapped index whose arrays contradict its header: flagged a tree, but edge 0 leads to node 1073741824, past "
     r"the \d+ nodes"),
    ("checksum", lambda d: d.__setitem__(slice(-1, None), b"\x07"), True,
     r"mapped index whose contents fail the checksum: the header says [0-9a-f]{16}, the contents [0-9a-f]{16}"),
]


@pytest.mark.parametrize("name, damage, verify, message", DAMAGE, ids=[d[0] for d in DAMAGE])
def test_each_damage_has_its_message(tmp_path, name, damage, verify, message):
    _, path = mapped(quorvatel.build([("python", 1, 30), ("java", 2, 3)]), tmp_path)
    data = bytearray(path.read_bytes())
    damage(data)
    path.write_bytes(bytes(data))
    with pytest.raises(ValueError) as info:
        quorvatel.open(path, verify=verify)
    assert type(info.value) is ValueError
    assert str(info.value).startswith(f"{path}: ")
    assert re.fullmatch(message, str(info.value)[len(f"{path}: "):]), str(info.value)


def test_an_edge_back_is_walked_but_not_searched(tmp_path):
    index = quorvatel.build([("python", 1, 30), ("java", 2, 3)])
    _, path = mapped(index, tmp_path)
    data = bytearray(path.read_bytes())
    first_child(0)(data)
    path.write_bytes(bytes(data))
    opened = quorvatel.open(path)
    assert isinstance(opened.fuzzy_match("java", 1), list)
    assert PrefixSearch.from_bytes(opened.to_bytes()).to_bytes() == opened.to_bytes()
    message = ("the index cannot be searched by complete() or suggest(): the file gives a tree, but edge 0 leads "
               "from node 0 back to node 0")
    for _ in range(2):  # proved once, refused every time
        check_raises(lambda: quorvatel.complete(opened, "ja"), ValueError, message)
    with pytest.raises(ValueError, match="fail the checksum"):
        quorvatel.open(path, verify=True)


def test_a_snapshot_is_no_mapped_file_and_the_reverse(tmp_path):
    index = quorvatel.build([("python", 1, 30)])
    quorvatel.save(index, tmp_path / "a.qvx")
    with pytest.raises(ValueError, match="no magic number"):
        quorvatel.open(tmp_path / "a.qvx")
    quorvatel.save(index, tmp_path / "a.qvm", format="mapped")
    with pytest.raises(ValueError, match="decode error"):
        quorvatel.load(tmp_path / "a.qvm")


def test_random_damage_opens_or_is_refused_never_crashes(tmp_path):
    _, path = mapped(quorvatel.build([(w, i % 3, i) for i, w in enumerate(["ab", "abc", "b😀", "ba", "c"])]),
                     tmp_path)
    clean = path.read_bytes()
    rng = random.Random(3)
    for _ in range(300):
        data = bytearray(clean)
        for _ in range(rng.randint(1, 3)):
            data[rng.randrange(len(data))] = rng.randrange(256)
        path.write_bytes(bytes(data))
        try:
            opened = quorvatel.open(path)
        except ValueError:
            continue
        for text in ["ab", "x", ""]:
            outcome(lambda: opened.fuzzy_match(text, 2))
            outcome(lambda: opened.fuzzy_match_video(text, 2, include_prefix_nodes=True))
            outcome(lambda: quorvatel.complete(opened, text))
        opened.to_bytes()
