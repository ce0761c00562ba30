"""quorvatel.build() from records against PrefixSearch.from_internal_data_v2
on the same trie, in one process.

    PYTHONPATH=<build>/python:python python3.14 bench/build_records.py [COUNT] [--repeat N]

The records are one (term, video id, count) row per (term, video) pair of
data.Records(COUNT, seed=7), video ids as 16-byte bytes and as uuid.UUID.
The flat arrays for from_internal_data_v2 are computed from the same records
in plain Python (not timed), numbered as build() numbers them, so both calls
build exactly the same trie; the script checks that their snapshots are equal.
"""

import argparse
import gc
import os
import sys
import time
import uuid

sys.path.insert(0, os.path.dirname(__file__))

from data import Records  # noqa: E402

import quorvatel  # noqa: E402
from _quorvatel import PrefixSearch  # noqa: E402

MAX = 2**32 - 1


def flat_arrays(records):
    """The arguments of from_internal_data_v2 for `records`, laid out as
    build() lays them out: children by code point, nodes in pre-order, videos
    in order of first appearance, rows summed, each term's videos ranked."""
    terms = {}
    rows = {}
    for term, video, count in records:
        entry = terms.get(term)
        if entry is None:
            entry = terms[term] = [0, {}]
        entry[0] = min(entry[0] + count, MAX)
        row = rows.setdefault(video, len(rows))
        entry[1][row] = min(entry[1].get(row, 0) + count, MAX)
    labels = [""]
    parent = [0]
    payloads = [None]
    path = [0]
    previous = ""
    for term in sorted(terms):
        common = 0
        for a, b in zip(previous, term):
            if a != b:
                break
            common += 1
        del path[common + 1 :]
        for ch in term[common:]:
            parent.append(path[-1])
            path.append(len(labels))
            labels.append(ch)
            payloads.append(None)
        count, videos = terms[term]
        ranked = sorted(videos.items(), key=lambda item: (-item[1], item[0]))
        payloads[path[-1]] = (count, [r for r, _ in ranked], [c for _, c in ranked])
        previous = term
    n = len(labels)
    kids = [0] * n
    for c in range(1, n):
        kids[parent[c]] += 1
    shifts = [0] * n
    for i in range(1, n):
        shifts[i] = shifts[i - 1] + kids[i - 1]
    cursor = shifts[:]
    edges = [0] * (n - 1)
    for c in range(1, n):
        p = parent[c]
        edges[cursor[p]] = c
        cursor[p] += 1
    index = [v.bytes if isinstance(v, uuid.UUID) else v for v in rows]
    return shifts, labels, payloads, edges, index


def best(repeat, call):
    times = []
    result = None
    for _ in range(repeat):
        result = None
        gc.collect()
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return min(times), result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("count", nargs="?", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    data = Records(args.count, seed=7)
    records = [
        (term, data.video_index[row], count)
        for term, videos in zip(data.terms, data.videos)
        for row, count in videos
    ]
    as_uuids = {b: uuid.UUID(bytes=b) for b in data.video_index}
    uuid_records = [(t, as_uuids[v], c) for t, v, c in records]
    del as_uuids
    arrays = flat_arrays(records)
    print(f"terms {args.count:,}, records {len(records):,}, nodes {len(arrays[1]):,}, videos {len(arrays[4]):,}")

    t_flat, flat = best(args.repeat, lambda: PrefixSearch.from_internal_data_v2(*arrays, 10))
    expected = flat.to_bytes()
    del flat
    print(f"from_internal_data_v2 (flat arrays)      {t_flat:6.2f} s")
    for label, rows in (("bytes ids", records), ("uuid.UUID ids", uuid_records)):
        t_build, built = best(args.repeat, lambda rows=rows: quorvatel.build(rows, video_top_n=10))
        same = built.to_bytes() == expected
        del built
        print(
            f"quorvatel.build (records, {label:13}) {t_build:6.2f} s  = {t_build / t_flat:.2f} x, "
            f"snapshot {'identical' if same else 'DIFFERENT'}"
        )
        if not same:
            sys.exit(1)
    print(f"snapshot {len(expected) / 1e6:.1f} MB; best of {args.repeat} runs each")


if __name__ == "__main__":
    main()
