"""The mapped index file beside the snapshot, on the bench data: file size,
open and load times, the first query after open, and query latency of a
MappedIndex against a PrefixSearch of the same trie.

    PYTHONPATH=build/<env>-release/python:python python3.14 bench/mapped_bench.py \\
        [--terms 1000000] [--queries 300] [--dir build/mapped_bench]

The index is built with quorvatel.build from the seeded records of
bench/data.py (Records(terms)); the snapshot and the mapped file are kept in
--dir and reused when they are there (delete them to build again). Every
timing is on a warm page cache (the files were just written or read).
Latency: per query the median of timing.REPS runs after one untimed call; the rows
give the median over the queries, and the ratio of the summed medians.
Results of both indexes are compared for every query.
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))

from data import Records  # noqa: E402
from queries import one_edit  # noqa: E402
from timing import median_latencies  # noqa: E402

import quorvatel  # noqa: E402



def build_files(terms: int, directory: str) -> tuple[str, str, list[str]]:
    os.makedirs(directory, exist_ok=True)
    snapshot = os.path.join(directory, f"bench{terms}.qvx")
    mapped = os.path.join(directory, f"bench{terms}.qvm")
    records = Records(terms, seed=7)
    if not (os.path.exists(snapshot) and os.path.exists(mapped)):
        start = time.perf_counter()
        index = quorvatel.build(records.rows())
        print(f"build: {time.perf_counter() - start:.1f} s", file=sys.stderr)
        quorvatel.save(index, snapshot)
        quorvatel.save(index, mapped, format="mapped")
        del index
    return snapshot, mapped, records.terms


def best_of(fn, runs: int) -> float:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times)




def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--terms", type=int, default=1_000_000)
    parser.add_argument("--queries", type=int, default=300)
    parser.add_argument("--dir", default="build/mapped_bench")
    args = parser.parse_args()

    snapshot, mapped, terms = build_files(args.terms, args.dir)
    snapshot_bytes = os.path.getsize(snapshot)
    mapped_bytes = os.path.getsize(mapped)
    with open(snapshot, "rb") as f:
        data = f.read()
    start = time.perf_counter()
    loaded = quorvatel.PrefixSearch.from_bytes(data)
    from_bytes_s = time.perf_counter() - start
    info = quorvatel._inspect(data)
    nodes = info.nodes
    del data

    # Warm the page cache, then time opens.
    quorvatel.open(mapped, verify=True)
    open_min, open_med = best_of(lambda: quorvatel.open(mapped), 21)
    verify_min, verify_med = best_of(lambda: quorvatel.open(mapped, verify=True), 5)

    rng = random.Random(11)
    chosen = [rng.choice(terms) for _ in range(args.queries)]
    edited = [one_edit(rng, t) for t in chosen]

    # First query after open: a fresh mapping each time (its pages are in the
    # page cache, not yet in this process's page tables), against the same
    # query asked for the first time of an index that has served the whole
    # query set before (a serving process's steady state).
    served = quorvatel.open(mapped)
    for q in edited[50:]:
        served.fuzzy_match(q, 1)
    firsts, warms = [], []
    for q in edited[:50]:
        index = quorvatel.open(mapped)
        t0 = time.perf_counter_ns()
        index.fuzzy_match(q, 1)
        firsts.append(time.perf_counter_ns() - t0)
        del index
        for other in edited[50:150]:
            served.fuzzy_match(other, 1)
        t0 = time.perf_counter_ns()
        served.fuzzy_match(q, 1)
        warms.append(time.perf_counter_ns() - t0)
    del served

    index = quorvatel.open(mapped)
    assert index.to_bytes() == loaded.to_bytes(), "to_bytes differs"
    print(f"terms {args.terms:,}, nodes {nodes:,}")
    print(f"snapshot: {snapshot_bytes:,} bytes, {snapshot_bytes / nodes:.1f} bytes/node")
    print(f"mapped file: {mapped_bytes:,} bytes, {mapped_bytes / nodes:.1f} bytes/node")
    print(f"from_bytes: {from_bytes_s * 1e3:.1f} ms")
    print(f"open: {open_min * 1e3:.2f} ms best, {open_med * 1e3:.2f} ms median of 21")
    print(f"open(verify=True): {verify_min * 1e3:.1f} ms best, {verify_med * 1e3:.1f} ms median of 5")
    print(f"first fuzzy_match k=1 after open: median {statistics.median(firsts) / 1e3:.1f} us, "
          f"on a serving index {statistics.median(warms) / 1e3:.1f} us, ratio of sums {sum(firsts) / sum(warms):.2f}")
    print("latency (median over queries, us): PrefixSearch / MappedIndex / ratio of summed medians")
    mismatches = 0
    for name, k, fn in [
        ("fuzzy_match", 1, lambda ix, q: ix.fuzzy_match(q, 1)),
        ("fuzzy_match", 2, lambda ix, q: ix.fuzzy_match(q, 2)),
        ("fuzzy_match_video", 1, lambda ix, q: ix.fuzzy_match_video(q, 1)),
        ("fuzzy_match_video", 2, lambda ix, q: ix.fuzzy_match_video(q, 2)),
    ]:
        for q in edited[:20]:
            mismatches += fn(loaded, q) != fn(index, q)
        a, _ = median_latencies(lambda q, fn=fn: fn(loaded, q), edited)
        b, _ = median_latencies(lambda q, fn=fn: fn(index, q), edited)
        print(f"  {name} k={k}: {statistics.median(a) / 1e3:.1f} / {statistics.median(b) / 1e3:.1f} / "
              f"{sum(b) / sum(a):.3f}")
    print(f"result mismatches: {mismatches}")


if __name__ == "__main__":
    main()
