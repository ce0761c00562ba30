"""Terms to the flat arrays of PrefixSearch.from_internal_data_v2, written
once for the tests, the fuzz seed maker and the benchmarks.

trie_shape() lays out the trie of a list of terms: one node per distinct
prefix, each node's children in the order the terms first reach them, and
the nodes numbered one of three ways:
- "creation": in the order the nodes are first reached (parents before
  children, but a subtree need not be contiguous);
- "breadth": breadth-first (level by level);
- "preorder": depth-first pre-order, each subtree a contiguous range.
flat_arrays() adds a payload per term; record_arrays() gives the arrays
that quorvatel.build() lays out for (term, video id, count) records.

The numbering is vectorised with numpy, so a million terms (seven million
nodes) take seconds, not minutes.
"""

from __future__ import annotations

import collections
import uuid

import numpy as np

MAX_U32 = 2**32 - 1
NUMBERINGS = ("creation", "breadth", "preorder")

Shape = collections.namedtuple("Shape", "node_shifts labels edges node_of")
Shape.__doc__ = """node_shifts, labels (the root's is "") and edges of the trie, and
node_of[i], the node that ends terms[i]."""


def trie_shape(terms, numbering="preorder"):
    if numbering not in NUMBERINGS:
        raise ValueError(f"numbering must be one of {NUMBERINGS}, not {numbering!r}")
    # Nodes in creation order, found through one dict keyed by (parent, code point).
    index = {}
    parent = [0]
    labels = [""]
    ends = []
    get = index.get
    for term in terms:
        node = 0
        for ch in term:
            key = node << 21 | ord(ch)
            nxt = get(key)
            if nxt is None:
                nxt = len(parent)
                index[key] = nxt
                parent.append(node)
                labels.append(ch)
            node = nxt
        ends.append(node)
    del index
    n = len(parent)
    par = np.array(parent, dtype=np.int64)
    del parent
    # Each node's children in creation order: node ids grouped by parent,
    # ascending within a parent (a child's id is its creation).
    by_parent = np.argsort(par[1:], kind="stable") + 1
    kids = np.bincount(par[1:], minlength=n)
    first_kid = np.zeros(n, dtype=np.int64)
    np.cumsum(kids[:-1], out=first_kid[1:])

    def children_of(nodes):
        """The children of `nodes`, concatenated in their order, and how many each has."""
        counts = kids[nodes]
        total = int(counts.sum())
        starts = np.repeat(first_kid[nodes], counts)
        offsets = np.arange(total, dtype=np.int64) - np.repeat(np.cumsum(counts) - counts, counts)
        return by_parent[starts + offsets], counts

    levels = [np.zeros(1, dtype=np.int64)]
    while True:
        below, _ = children_of(levels[-1])
        if not len(below):
            break
        levels.append(below)

    number = np.empty(n, dtype=np.int64)
    if numbering == "creation":
        order = np.arange(n, dtype=np.int64)
    elif numbering == "breadth":
        order = np.concatenate(levels)
    else:
        # A node's pre-order number is its parent's, plus one, plus the sizes
        # of the subtrees of the siblings before it. Sizes go up the levels,
        # numbers down them; each level is its nodes' sibling groups in order.
        size = np.ones(n, dtype=np.int64)
        for level in reversed(levels[1:]):
            np.add.at(size, par[level], size[level])
        number[0] = 0
        for above, level in zip(levels, levels[1:]):
            sizes = size[level]
            before = np.cumsum(sizes) - sizes
            _, counts = children_of(above)
            group_start = np.repeat(np.cumsum(counts) - counts, counts)
            number[level] = number[par[level]] + 1 + before - before[group_start]
        order = np.empty(n, dtype=np.int64)
        order[number] = np.arange(n, dtype=np.int64)
    number[order] = np.arange(n, dtype=np.int64)
    edges, counts = children_of(order)
    node_shifts = np.zeros(n, dtype=np.int64)
    np.cumsum(counts[:-1], out=node_shifts[1:])
    order_list = order.tolist()
    return Shape(
        node_shifts.tolist(),
        [labels[i] for i in order_list],
        number[edges].tolist(),
        number[np.array(ends, dtype=np.int64)].tolist() if ends else [],
    )


def flat_arrays(terms, payload=lambda term: (1, [], []), numbering="preorder"):
    """(node_shifts, child_labels, payloads, child_transitions) of the trie
    of `terms`: the node that ends a term gets payload(term), every other
    node None. A term given twice gets the payload of its last place."""
    terms = list(terms)
    shape = trie_shape(terms, numbering)
    payloads = [None] * len(shape.labels)
    for term, node in zip(terms, shape.node_of):
        payloads[node] = payload(term)
    return shape.node_shifts, shape.labels, payloads, shape.edges


def id_bytes(video):
    """A video id's entry in video_index: a UUID's 16 bytes, 16 bytes as they
    are, an int as 4 little-endian bytes."""
    if isinstance(video, uuid.UUID):
        return video.bytes
    if isinstance(video, bytes):
        return video
    return video.to_bytes(4, "little")


def record_arrays(records):
    """(node_shifts, child_labels, payloads, child_transitions, video_index)
    as quorvatel.build() lays out `records`, (term, video id, count) rows:
    rows of a term summed into its count and rows of a term and video into
    that video's count, both saturated at 2**32 - 1; each term's videos
    ranked by their full totals, largest first, equal totals by row; video
    rows in order of first appearance; children by code point, nodes in
    pre-order."""
    totals = {}
    rows = {}
    for term, video, count in records:
        entry = totals.get(term)
        if entry is None:
            entry = totals[term] = [0, {}]
        entry[0] = min(entry[0] + count, MAX_U32)
        if video is not None:
            row = rows.setdefault(id_bytes(video), len(rows))
            entry[1][row] = entry[1].get(row, 0) + count

    def payload(term):
        count, videos = totals[term]
        ranked = sorted(videos.items(), key=lambda item: (-item[1], item[0]))
        return count, [r for r, _ in ranked], [min(c, MAX_U32) for _, c in ranked]

    node_shifts, labels, payloads, edges = flat_arrays(sorted(totals), payload, "preorder")
    return node_shifts, labels, payloads, edges, list(rows)
