"""A tree is walked through its layout, any other trie through its plain
arrays: both give the same results."""

import random

import pytest

from conftest import PrefixSearch


def with_unreachable_node(args):
    """The same arrays plus one node that no edge enters: no tree any more,
    so the trie keeps its plain arrays, yet every query is unchanged."""
    shifts, labels, payloads, edges, index, top_n = args
    return shifts + [len(edges)], labels + ["z"], payloads + [(1, [], [])], edges, index, top_n


@pytest.mark.parametrize("seed", range(20))
def test_tree_and_plain_arrays_answer_alike(seed):
    rng = random.Random(seed)
    alphabet = "abcé😀"
    terms = sorted({"".join(rng.choice(alphabet) for _ in range(rng.randint(1, 70))) for _ in range(40)})
    args = (*plain_arrays(terms), [bytes([r, 0, 0, 0]) for r in range(3)], 10)
    tree = PrefixSearch.from_internal_data_v2(*args)
    twin = PrefixSearch.from_internal_data_v2(*with_unreachable_node(args))
    snapshot = tree.to_bytes()
    assert PrefixSearch.from_bytes(snapshot).to_bytes() == snapshot
    for _ in range(15):
        base = rng.choice(terms)
        query = "".join(c for c in base if rng.random() > 0.1) + rng.choice(["", "a", "x"])
        for k in range(4):
            assert tree.fuzzy_match(query, k) == twin.fuzzy_match(query, k)
            assert tree.fuzzy_match(query, k, 2) == twin.fuzzy_match(query, k, 2)
            assert tree.fuzzy_match_video(query, k, 5) == twin.fuzzy_match_video(query, k, 5)


def plain_arrays(terms):
    """The arrays build_from_terms makes for `terms` with one video per term."""
    children = [{}]
    labels = [""]
    payload_of = {}
    for i, term in enumerate(terms):
        node = 0
        for ch in term:
            nxt = children[node].get(ch)
            if nxt is None:
                nxt = len(labels)
                children[node][ch] = nxt
                children.append({})
                labels.append(ch)
            node = nxt
        payload_of[node] = (1, [i % 3], [1])
    order = [0]
    for node in order:
        order.extend(children[node].values())
    number = {old: new for new, old in enumerate(order)}
    shifts, edges, out_labels, payloads = [], [], [], []
    for old in order:
        shifts.append(len(edges))
        edges.extend(number[c] for c in children[old].values())
        out_labels.append(labels[old])
        payloads.append(payload_of.get(old))
    return shifts, out_labels, payloads, edges
