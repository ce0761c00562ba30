"""fuzzy_match_video: weighted, normalised and ranked videos for a term."""

import math

import numpy
import pytest
from hypothesis import given, settings, strategies as st

from _quorvatel import PrefixSearch

from term_arrays import flat_arrays
from test_match import arrays_from_terms


def test_worked_example(ab_ac):
    assert ab_ac.fuzzy_match_video("ab") == [("1", 0.9901477832512315)]
    assert ab_ac.fuzzy_match_video("ab", include_prefix_nodes=True) == [
        ("1", 0.9823641563393709),
        ("2", 0.01763584366062917),
    ]
    assert ab_ac.fuzzy_match_video("ab", include_prefix_nodes=False) == [("1", 0.9901477832512315)]


@pytest.mark.parametrize("flag", [numpy.bool_(True), numpy.True_])
def test_numpy_booleans(ab_ac, flag):
    assert ab_ac.fuzzy_match_video("ab", include_prefix_nodes=flag) == ab_ac.fuzzy_match_video(
        "ab", include_prefix_nodes=True
    )
    assert ab_ac.fuzzy_match_video("ab", include_prefix_nodes=not flag) == ab_ac.fuzzy_match_video(
        "ab", include_prefix_nodes=False
    )


@pytest.mark.parametrize(
    "min_score,expected",
    [
        (None, [("1", 0.9901477832512315)]),
        (0.009852216748768473, [("1", 0.9901477832512315), ("2", 0.009852216748768473)]),  # inclusive
        (0.9901477832512316, []),
        (math.nan, []),
        (-math.inf, [("1", 0.9901477832512315), ("2", 0.009852216748768473)]),
        (1, []),
        (0, [("1", 0.9901477832512315), ("2", 0.009852216748768473)]),
    ],
)
def test_threshold(ab_ac, min_score, expected):
    assert ab_ac.fuzzy_match_video("ab", min_score=min_score) == expected


@pytest.mark.parametrize("limit,expected", [(0, 0), (1, 1), (2, 2), (3, 2), (2**64 - 1, 2)])
def test_limit(ab_ac, limit, expected):
    got = ab_ac.fuzzy_match_video("ab", limit=limit, min_score=0.0)
    assert got == ab_ac.fuzzy_match_video("ab", min_score=0.0)[:expected]


def test_id_text_for_both_modes():
    uuid = bytes(range(16))
    args = ([0, 1], ["", "a"], [None, (3, [0, 1], [2, 1])], [1])
    by_uuid = PrefixSearch.from_internal_data_v2(*args, [uuid, b"\xff" * 16], 5)
    assert by_uuid.fuzzy_match_video("a") == [
        ("00010203-0405-0607-0809-0a0b0c0d0e0f", 2 / 3),
        ("ffffffff-ffff-ffff-ffff-ffffffffffff", 1 / 3),
    ]
    by_int = PrefixSearch.from_internal_data_v2(*args, [b"\xff\xff\xff\xff", b"\x01\x00\x00\x00"], 5)
    assert by_int.fuzzy_match_video("a") == [("4294967295", 2 / 3), ("1", 1 / 3)]


def test_rows_outside_the_table_are_dropped_after_the_limit():
    trie = PrefixSearch.from_internal_data_v2([0, 1], ["", "a"], [None, (10, [5, 0], [9, 1])], [1],
                                              [b"\x07\x00\x00\x00"], 5)
    assert trie.fuzzy_match_video("a") == [("7", 0.1)]
    assert trie.fuzzy_match_video("a", limit=1) == []


# ------------------------------------------------------------ reference model


def propagate(node_shifts, edges, payloads, top_n):
    """Aggregates payloads up the trie: sum by id, largest total first,
    equal totals by smaller id; leaves keep their order."""
    n = len(payloads)
    out = [None] * n
    current = [p if p is not None else (0, [], []) for p in payloads]
    for i in reversed(range(n)):
        count, ids, counts = current[i]
        end = node_shifts[i + 1] if i + 1 < n else len(edges)
        kids = [edges[e] for e in range(node_shifts[i], end) if edges[e] != i]
        if kids:
            totals = {}
            for c in [i] + kids:
                c_count, c_ids, c_counts = current[c] if c == i else (out[c] if c > i else current[c])
                if c != i:
                    count = min(count + c_count, 2**32 - 1)
                for v, k in zip(c_ids, c_counts):
                    totals[v] = totals.get(v, 0) + k
            ranked = sorted(totals.items(), key=lambda item: (-item[1], item[0]))
            ids, counts = [v for v, _ in ranked], [min(k, 2**32 - 1) for _, k in ranked]
        out[i] = (count, ids[:top_n], counts[:top_n])
    return out


def reference_nodes(node_shifts, labels, edges, terminal, term, max_dist, terminal_only):
    out = []

    def dfs(node, prev):
        end = node_shifts[node + 1] if node + 1 < len(node_shifts) else len(edges)
        for e in range(node_shifts[node], end):
            c = edges[e]
            if labels[c] == "":
                continue
            cur = [prev[0] + 1]
            for j, t in enumerate(term, 1):
                cur.append(min(prev[j - 1] + (t != labels[c]), prev[j] + 1, cur[j - 1] + 1))
            if min(cur) > max_dist:
                continue
            if cur[-1] <= max_dist and (not terminal_only or terminal[c]):
                out.append((c, cur[-1]))
            dfs(c, cur)

    dfs(0, list(range(len(term) + 1)))
    return out


def reference_videos(arrays, ids, top_n, term, max_dist, include_prefix_nodes, min_score, limit):
    node_shifts, labels, payloads, edges = arrays
    terminal = [p is not None for p in payloads]
    final = propagate(node_shifts, edges, payloads, top_n)
    if include_prefix_nodes is None:
        nodes = reference_nodes(node_shifts, labels, edges, terminal, term, max_dist, True)
        if not nodes:
            nodes = reference_nodes(node_shifts, labels, edges, terminal, term, max_dist, False)
    else:
        nodes = reference_nodes(node_shifts, labels, edges, terminal, term, max_dist, not include_prefix_nodes)
    total, raw = 0.0, {}
    for node, d in nodes:
        if d == 0:
            w = 1.0
        else:
            w = 0.0 if not term else 0.05 * (1.0 - d / len(term))
            if w <= 0.0:
                continue
        if not terminal[node]:
            w = w * 0.85
        count, v_ids, v_counts = final[node]
        total = total + count * w
        for v, k in zip(v_ids, v_counts):
            raw[v] = raw.get(v, 0.0) + k * w
    if not total > 0.0:
        return []
    threshold = 0.01 if min_score is None else min_score
    ranked = sorted(((v, r / total) for v, r in raw.items() if r / total >= threshold), key=lambda c: (-c[1], c[0]))
    if limit is not None:
        ranked = ranked[:limit]
    return [(str(ids[v]), s) for v, s in ranked if v < len(ids)]


@settings(max_examples=200, deadline=None)
@given(
    data=st.data(),
    terms=st.lists(st.text(alphabet="abcé", min_size=1, max_size=5), min_size=1, max_size=15, unique=True),
    query=st.text(alphabet="abcdé", max_size=6),
    max_dist=st.integers(0, 3),
    top_n=st.integers(0, 4),
    include_prefix_nodes=st.sampled_from([None, True, False]),
    min_score=st.sampled_from([None, 0.0, 0.05, -1.0]),
    limit=st.none() | st.integers(0, 4),
)
def test_matches_reference_model_bit_for_bit(data, terms, query, max_dist, top_n, include_prefix_nodes, min_score,
                                             limit):
    node_shifts, labels, payloads, edges = arrays_from_terms(terms)
    videos = st.lists(st.tuples(st.integers(0, 6), st.integers(0, 50)), max_size=4)
    for i, p in enumerate(payloads):
        if p is not None:
            drawn = data.draw(videos)
            payloads[i] = (data.draw(st.integers(0, 100)), [v for v, _ in drawn], [k for _, k in drawn])
    ids = [1000 + i for i in range(6)]  # row 6 lies outside the table
    arrays = (node_shifts, labels, payloads, edges)
    trie = PrefixSearch.from_internal_data_v2(*arrays, [i.to_bytes(4, "little") for i in ids], top_n)
    got = trie.fuzzy_match_video(query, max_dist, limit, include_prefix_nodes, min_score)
    assert got == reference_videos(arrays, ids, top_n, query, max_dist, include_prefix_nodes, min_score, limit)


# Nodes as far from the term as it is long weigh 0.05 * (1 - d/n) = 0: they
# are not scored, so their videos appear in no result, even with min_score 0.
# Here "xy" (video row 2) lies 2 edits from "ab"; "b" (row 3) lies 1 edit away.
@pytest.mark.parametrize("max_dist, include_prefix_nodes", [(2, None), (2, True), (2, False), (3, None)])
def test_nodes_as_far_as_the_term_is_long_are_not_scored(max_dist, include_prefix_nodes):
    videos = {"ab": (4, [1], [4]), "xy": (3, [2], [3]), "b": (2, [3], [2])}
    arrays = flat_arrays(videos, videos.get, "creation")
    ids = [1000 + i for i in range(4)]
    trie = PrefixSearch.from_internal_data_v2(*arrays, [i.to_bytes(4, "little") for i in ids], 10)
    got = trie.fuzzy_match_video("ab", max_dist, None, include_prefix_nodes, 0.0)
    assert "1002" not in [v for v, _ in got]
    assert got == reference_videos(arrays, ids, 10, "ab", max_dist, include_prefix_nodes, 0.0, None)
