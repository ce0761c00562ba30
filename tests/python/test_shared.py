"""The Python helpers shared by the tests, the fuzz seed maker and the
benchmarks (tests/shared): the snapshot format and terms -> arrays. Every
other test trusts them, so they are held to the extension and to the
properties of each numbering here."""

import pytest
from hypothesis import given, settings, strategies as st

from _quorvatel import PrefixSearch

from snapshot_format import FormatError, decode, encode_fields, layout
from term_arrays import NUMBERINGS, flat_arrays, trie_shape

term_lists = st.lists(st.text("abcé東😀", min_size=1, max_size=6), max_size=30)


def children(node_shifts, edges, node):
    end = node_shifts[node + 1] if node + 1 < len(node_shifts) else len(edges)
    return edges[node_shifts[node] : end]


@settings(max_examples=200, deadline=None)
@given(terms=term_lists, numbering=st.sampled_from(NUMBERINGS))
def test_every_numbering_lays_out_the_trie_of_the_terms(terms, numbering):
    shape = trie_shape(terms, numbering)
    n = len(shape.labels)
    # a tree rooted at 0, each node reached once, spelling every prefix once
    text, parent, order = {0: ""}, {0: None}, [0]
    for node in order:
        for child in children(shape.node_shifts, shape.edges, node):
            assert child not in text
            text[child] = text[node] + shape.labels[child]
            parent[child] = node
            order.append(child)
    assert sorted(text) == list(range(n))
    assert sorted(text.values()) == sorted({""} | {t[:i] for t in terms for i in range(len(t) + 1)})
    assert [text[node] for node in shape.node_of] == terms
    # each node's children in the order the terms first reach them
    first = {}
    for t in terms:
        for i in range(1, len(t) + 1):
            first.setdefault(t[:i], len(first))
    for node in range(n):
        kids = children(shape.node_shifts, shape.edges, node)
        assert kids == sorted(kids, key=lambda c: first[text[c]])
    if numbering == "creation":
        assert sorted(range(1, n), key=lambda v: first[text[v]]) == list(range(1, n))
    elif numbering == "breadth":
        assert order == list(range(n))
    else:  # each subtree a contiguous range after its root
        size = {v: 1 for v in range(n)}
        for v in reversed(order[1:]):
            size[parent[v]] += size[v]
        for v in range(n):
            below = [w for w in range(n) if w != v and _ancestor(parent, v, w)]
            assert sorted(below) == list(range(v + 1, v + size[v]))


def _ancestor(parent, v, w):
    while w is not None:
        if w == v:
            return True
        w = parent[w]
    return False


@settings(max_examples=200, deadline=None)
@given(terms=term_lists, numbering=st.sampled_from(NUMBERINGS), top_n=st.integers(0, 3),
       width=st.sampled_from([4, 16]), data=st.data())
def test_the_snapshot_reader_and_writer_agree_with_the_extension(terms, numbering, top_n, width, data):
    videos = st.lists(st.tuples(st.integers(0, 5), st.integers(0, 2**32 - 1)), max_size=3)
    drawn = {t: data.draw(videos) for t in terms}
    node_shifts, labels, payloads, edges = flat_arrays(
        terms, lambda t: (len(t), [v for v, _ in drawn[t]], [c for _, c in drawn[t]]), numbering)
    index = [bytes([i]) * width for i in range(6)]
    built = PrefixSearch.from_internal_data_v2(node_shifts, labels, payloads, edges, index, top_n).to_bytes()
    fields = decode(built)
    assert encode_fields(fields) == built
    assert (fields.node_shifts, fields.child_labels, fields.child_transitions) == (
        node_shifts, "\0" + "".join(labels[1:]), edges)
    assert fields.terminal_flags == [p is not None for p in payloads]
    assert (fields.video_uuids, fields.video_int_ids, fields.id_mode) == (
        (index, [], 0) if width == 16 else ([], [int.from_bytes(i, "little") for i in index], 1))
    stats = layout(built)
    assert sum(stats["sections"].values()) == stats["bytes"] == len(built)
    assert (stats["nodes"], stats["edges"], stats["payload_slots"], stats["terminal_nodes"]) == (
        len(labels), len(edges), len(payloads), sum(fields.terminal_flags))
    assert stats["present_payloads"] == sum(p is not None for p in fields.payloads)
    assert stats["video_entries"] == sum(max(len(p[1]), len(p[2])) for p in fields.payloads if p is not None)


@pytest.mark.parametrize("data", [b"", b"\xff", bytes(8) + b"\x00", bytes(7) + b"\x01\x02", bytes(3) + b"\x01\x02"])
def test_the_reader_refuses_what_is_no_snapshot(data):
    with pytest.raises(FormatError):
        decode(data)
