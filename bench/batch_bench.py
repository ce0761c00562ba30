"""Batches on the bench data: fuzzy_match_many, fuzzy_match_video_many and
complete_many with one worker and with two, beside the one-by-one calls, in
one process, on the same texts.

    PYTHONPATH=build/<env>-release/python:python python3.14 bench/batch_bench.py \
        [--terms 1000000] [--queries 1000] [--max-dist 2] [--repeats 5] [--arrays] [--json FILE]

The index is quorvatel.build over the seeded records of bench/data.py (or,
with --arrays, from_internal_data_v2 on their breadth-first arrays). The
texts are stored terms with one or two random edits (substitution,
insertion, deletion or swap of neighbours). Each round times, in turn, the
one-by-one loop and the batch with 1 and with 2 workers; a row gives the
median over the rounds of the throughput (queries a second) and its range,
and the median of the per-round ratio of 2 workers to 1 (the target is 1.8
on a 2-core machine), with the CPU time the process used per second of the
batch with 2 workers ("cores busy": 2.0 when both threads had a core to
themselves), and the CPU time of the batch with 2 workers over that with
1 (1.0 when the threads add no work of their own: then two free cores give
twice the throughput). The machine's load average is printed before and after: other
work on the machine lowers both. Every batch's results
are checked against the one-by-one calls; a difference exits with status 1.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import resource
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from data import Records  # noqa: E402
from queries import one_edit  # noqa: E402

import quorvatel  # noqa: E402
from _quorvatel import PrefixSearch  # noqa: E402

SEED = 7


def log(message):
    print(message, file=sys.stderr, flush=True)




def texts(terms, count, rng):
    out = []
    for _ in range(count):
        text = rng.choice(terms)
        for _ in range(rng.randint(1, 2)):
            text = one_edit(rng, text, swaps=True)
        out.append(text)
    return out


def load_average():
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def timed(call):
    """(wall seconds, CPU seconds of the process, result)."""
    gc.collect()
    cpu = cpu_seconds()
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, cpu_seconds() - cpu, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--terms", type=int, default=1_000_000)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--max-dist", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--arrays", action="store_true", help="build from the breadth-first arrays")
    parser.add_argument("--json", help="also write the rows to this file")
    args = parser.parse_args()

    log(f"load average before: {load_average()} on {os.cpu_count()} cores")
    records = Records(args.terms, seed=SEED)
    start = time.perf_counter()
    if args.arrays:
        index = PrefixSearch.from_internal_data_v2(*records.arrays(), 10)
    else:
        index = quorvatel.build(records.rows())
    log(f"index of {args.terms} terms built in {time.perf_counter() - start:.1f} s")
    rng = random.Random(SEED)
    queries = texts(records.terms, args.queries, rng)
    completions = [q[:128] for q in queries]
    k = args.max_dist

    kinds = {
        "fuzzy_match": (
            lambda: [index.fuzzy_match(q, k) for q in queries],
            lambda w: quorvatel.fuzzy_match_many(index, queries, max_dist=k, workers=w),
        ),
        "fuzzy_match_video": (
            lambda: [index.fuzzy_match_video(q, k) for q in queries],
            lambda w: quorvatel.fuzzy_match_video_many(index, queries, max_dist=k, workers=w),
        ),
        "complete": (
            lambda: [quorvatel.complete(index, q, max_dist=k) for q in completions],
            lambda w: quorvatel.complete_many(index, completions, max_dist=k, workers=w),
        ),
    }
    rows = []
    failed = False
    for name, (one_by_one, many) in kinds.items():
        times = {"one by one": [], "workers=1": [], "workers=2": []}
        cores = {mode: [] for mode in times}
        cpu_of = {mode: [] for mode in times}
        ratios = []
        expected = None
        for _ in range(args.repeats):
            seconds, cpu, expected = timed(one_by_one)
            times["one by one"].append(seconds)
            cores["one by one"].append(cpu / seconds)
            cpu_of["one by one"].append(cpu)
            for workers in (1, 2):
                seconds, cpu, got = timed(lambda: many(workers))
                times[f"workers={workers}"].append(seconds)
                cores[f"workers={workers}"].append(cpu / seconds)
                cpu_of[f"workers={workers}"].append(cpu)
                if got != expected:
                    failed = True
                    log(f"MISMATCH: {name} with {workers} workers differs from the one-by-one calls")
            ratios.append(times["workers=1"][-1] / times["workers=2"][-1])
        row = {"query": name, "k": k, "queries": args.queries}
        for mode, values in times.items():
            rates = sorted(args.queries / s for s in values)
            row[mode] = {"median": statistics.median(rates), "min": rates[0], "max": rates[-1],
                         "cores": statistics.median(cores[mode])}
        row["ratio"] = {"median": statistics.median(ratios), "min": min(ratios), "max": max(ratios)}
        row["cpu ratio"] = statistics.median(cpu_of["workers=2"]) / statistics.median(cpu_of["workers=1"])
        rows.append(row)
        log(f"{name}: done")
    log(f"load average after: {load_average()}")

    print(f"{args.queries} queries, k = {k}, {args.terms} terms ({'arrays' if args.arrays else 'build'}), "
          f"{args.repeats} rounds: queries/s median (min..max)")
    print("| query | one by one | workers=1 | workers=2 | 2 workers / 1 | cores busy with 2 workers "
          "| CPU time, 2 workers / 1 |")
    print("|---|---|---|---|---|---|---|")
    for row in rows:
        cells = [f"{row[m]['median']:,.0f} ({row[m]['min']:,.0f}..{row[m]['max']:,.0f})"
                 for m in ("one by one", "workers=1", "workers=2")]
        r = row["ratio"]
        print(f"| {row['query']} | {' | '.join(cells)} | {r['median']:.2f}× ({r['min']:.2f}..{r['max']:.2f}) "
              f"| {row['workers=2']['cores']:.2f} | {row['cpu ratio']:.2f} |")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
