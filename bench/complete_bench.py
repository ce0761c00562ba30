"""Search as you type on the bench data: quorvatel.complete and
quorvatel.suggest beside plain approaches, in one process, on the same texts.

    PYTHONPATH=build/<env>-release/python:python python3.14 bench/complete_bench.py \
        [--terms 1000000] [--queries 400] [--sample 12] [--json build/complete_bench.json]

It builds the seeded records of bench/data.py twice: once through
PrefixSearch.from_internal_data_v2 on their breadth-first arrays (siblings
in first-seen order, so the index keeps a text rank per node) and once
through quorvatel.build (node numbers in text order). Per query the latency
is the median of 5 runs after an untimed call; a table gives the median and
the 99th percentile over the queries of each mix. Texts:

- prefix: stored terms cut to 2 to 8 characters;
- prefix+1: stored terms cut to 4 to 8 characters, then one random edit
  (substitution, insertion, deletion or swap of neighbours);
- prefix+2: stored terms cut to 6 to 10 characters, then two such edits;
- term+1, term+2: whole stored terms with one or two edits.

Beside them, on the same texts:
- marisa-trie's predictive search (exact prefix only, not ranked), and the
  same followed by a sort by count (the plain ranked completion at k = 0);
- suggest against fuzzy_match at the same k (fuzzy_match lists every term
  within k, unranked), and fuzzy_match followed by a sort by count (the
  plain ranked suggestion);
- a brute force over every stored term with RapidFuzz (OSA distance of the
  term's prefixes of length L - k .. L + k, batched with cdist) on a sample.

Every plain approach's top 10 is checked against complete / suggest; a
disagreement is printed as MISMATCH and makes the run exit with status 1.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import marisa  # noqa: E402
import numpy as np  # noqa: E402
from rapidfuzz import process as rf_process  # noqa: E402
from rapidfuzz.distance import OSA  # noqa: E402

from data import Records  # noqa: E402
from queries import one_edit  # noqa: E402
from timing import REPS, median_latencies  # noqa: E402

import quorvatel  # noqa: E402
from _quorvatel import PrefixSearch  # noqa: E402

SEED = 7
LIMIT = 10
MISMATCHES: list[str] = []


def log(message):
    print(message, file=sys.stderr, flush=True)




def make_texts(terms, per_mix):
    out = {}
    shapes = {  # per mix: cut length from, to; edits; whether the term is cut
        "prefix": (2, 8, 0, True),
        "prefix+1": (4, 8, 1, True),
        "prefix+2": (6, 10, 2, True),
        "term+1": (0, 0, 1, False),
        "term+2": (0, 0, 2, False),
    }
    for name, (lo, hi, edits, cut) in shapes.items():
        rng = random.Random(f"{SEED}-{name}")
        texts = []
        while len(texts) < per_mix:
            t = rng.choice(terms)
            if cut:
                if len(t) < lo:
                    continue
                t = t[: rng.randint(lo, min(hi, len(t)))]
            for _ in range(edits):
                t = one_edit(rng, t, swaps=True)
            texts.append(t)
        out[name] = texts
    return out




def stats(lat_ns):
    a = np.asarray(lat_ns, dtype=np.float64) / 1e3
    return {"n": len(lat_ns), "median_us": float(statistics.median(a)), "p99_us": float(np.percentile(a, 99))}


def check(label, text, expect, got):
    if expect != got:
        MISMATCHES.append(f"{label} {text!r}: {expect[:4]} != {got[:4]}")
        print(f"MISMATCH {MISMATCHES[-1]}", file=sys.stderr)


def rows(found):
    return [(c.term, c.count, c.distance) for c in found]


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * (os.sysconf("SC_PAGE_SIZE") // 1024)


LOAD_PROBE = """
import sys, time
from _quorvatel import PrefixSearch
data = open(sys.argv[1], 'rb').read()
def rss():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * 4096
before = rss()
t0 = time.perf_counter()
index = PrefixSearch.from_bytes(data)
spent = time.perf_counter() - t0
print(rss() - before, spent)
"""


def load_probe(path):
    out = subprocess.run([sys.executable, "-c", LOAD_PROBE, path], capture_output=True, text=True, check=True)
    grown, spent = out.stdout.split()
    return int(grown), float(spent)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--terms", type=int, default=1_000_000)
    ap.add_argument("--queries", type=int, default=400, help="texts per mix")
    ap.add_argument("--sample", type=int, default=12, help="texts per mix for the brute force")
    ap.add_argument("--json", default=os.path.join(TOP, "build", "complete_bench.json"))
    ap.add_argument("--arrays", action=argparse.BooleanOptionalAction, default=True,
                    help="also build through from_internal_data_v2 (slow at 1M; default on)")
    args = ap.parse_args()

    log(f"records: {args.terms:,} terms")
    records = Records(args.terms, seed=SEED)
    terms = records.terms
    own = dict(zip(terms, records.counts))

    indexes = {}
    if args.arrays:
        t0 = time.perf_counter()
        arrays = records.arrays()
        indexes["arrays"] = PrefixSearch.from_internal_data_v2(*arrays, 10)
        log(f"from_internal_data_v2: {time.perf_counter() - t0:.1f} s")
        del arrays
        gc.collect()
    t0 = time.perf_counter()
    rows_in = [(t, None, c) for t, c in zip(terms, records.counts)]
    by_build = indexes["build"] = quorvatel.build(rows_in)
    del rows_in
    gc.collect()
    nodes = quorvatel._inspect(by_build.to_bytes()).nodes
    log(f"quorvatel.build: {time.perf_counter() - t0:.1f} s, {nodes:,} nodes")

    workdir = os.path.join(TOP, "build")
    os.makedirs(workdir, exist_ok=True)
    memory = {}
    for label, index in indexes.items():
        path = os.path.join(workdir, f"complete_bench_{label}.snapshot")
        with open(path, "wb") as f:
            f.write(index.to_bytes())
        grown, spent = load_probe(path)
        os.remove(path)
        memory[label] = {"rss_bytes": grown, "bytes_per_node": grown / nodes, "from_bytes_s": spent}
        log(f"{label}: from_bytes {spent * 1e3:.0f} ms, RSS +{grown / 2**20:.0f} MB = {grown / nodes:.1f} B/node")

    texts = make_texts(terms, args.queries)
    results: dict = {"terms": args.terms, "nodes": nodes, "memory": memory, "runs": {}}

    # -- complete
    complete_runs = [
        ("prefix", 0), ("prefix", 1), ("prefix", 2), ("prefix", "auto"),
        ("prefix+1", 1), ("prefix+1", 2), ("prefix+2", 2),
    ]
    for label, index in indexes.items():
        for mix, k in complete_runs:
            log(f"{label}: complete {mix} k={k}")
            lat, found = median_latencies(lambda q: quorvatel.complete(index, q, limit=LIMIT, max_dist=k), texts[mix])
            results["runs"][f"{label} complete {mix} k={k}"] = {**stats(lat), "_found": [rows(f) for f in found]}
    for mix in ("term+1", "term+2"):
        for label, index in indexes.items():
            log(f"{label}: suggest / fuzzy_match {mix} k=2")
            lat, found = median_latencies(lambda q: quorvatel.suggest(index, q, limit=LIMIT, max_dist=2), texts[mix])
            results["runs"][f"{label} suggest {mix} k=2"] = {**stats(lat), "_found": [rows(f) for f in found]}
            lat, found = median_latencies(lambda q: quorvatel.suggest(index, q, limit=LIMIT, max_dist=2, transpositions=False),
                               texts[mix])
            results["runs"][f"{label} suggest-lev {mix} k=2"] = {**stats(lat), "_found": [rows(f) for f in found]}
            lat, _ = median_latencies(lambda q: index.fuzzy_match(q, 2), texts[mix])
            results["runs"][f"{label} fuzzy_match {mix} k=2"] = stats(lat)

    # -- the two indexes rank alike
    for key, run in list(results["runs"].items()):
        if key.startswith("arrays ") and "_found" in run and "build" in indexes:
            other = results["runs"]["build " + key[len("arrays "):]]
            for q, a, b in zip(texts[key.split()[2]], run["_found"], other["_found"]):
                check(f"arrays vs build {key}", q, a, b)

    # -- plain: fuzzy_match, then a sort by count
    def fuzzy_sorted(q):
        hits = by_build.fuzzy_match(q, 2)
        return sorted(((t, own[t], d) for t, _, d in hits), key=lambda r: (r[2], -r[1], r[0]))[:LIMIT]

    for mix in ("term+1", "term+2"):
        lat, found = median_latencies(fuzzy_sorted, texts[mix])
        results["runs"][f"plain fuzzy_match+sort {mix} k=2"] = stats(lat)
        for q, a, b in zip(texts[mix], found, results["runs"][f"build suggest-lev {mix} k=2"]["_found"]):
            check("fuzzy_match+sort vs suggest", q, a, b)

    # -- marisa-trie: predictive search, and predictive search + sort
    log("marisa-trie")
    keyset = marisa.Keyset()
    for t in terms:
        keyset.push_back(t)
    mtrie = marisa.Trie()
    mtrie.build(keyset)
    agent = marisa.Agent()

    def predictive(q):
        agent.set_query(q)
        out = []
        while mtrie.predictive_search(agent):
            out.append(agent.key_str())
        return out

    def predictive_ranked(q):
        return sorted(((t, own[t], 0) for t in predictive(q)), key=lambda r: (-r[1], r[0]))[:LIMIT]

    lat, found = median_latencies(predictive, texts["prefix"])
    results["runs"]["marisa predictive prefix k=0"] = {**stats(lat), "keys_mean": float(np.mean([len(f) for f in found]))}
    lat, found = median_latencies(predictive_ranked, texts["prefix"])
    results["runs"]["marisa predictive+sort prefix k=0"] = stats(lat)
    for q, a, b in zip(texts["prefix"], found, results["runs"]["build complete prefix k=0"]["_found"]):
        check("marisa+sort vs complete", q, a, b)

    # -- brute force over every term (RapidFuzz OSA on the prefixes that can be within k)
    def brute(q, k):
        lengths = range(max(0, len(q) - k), len(q) + k + 1)
        best = np.full(len(terms), k + 1, dtype=np.int64)
        for n in lengths:
            prefixes = [t[:n] if len(t) >= n else None for t in terms]
            keep = [i for i, p in enumerate(prefixes) if p is not None]
            d = rf_process.cdist([q], [prefixes[i] for i in keep], scorer=OSA.distance, score_cutoff=k, workers=1)[0]
            np.minimum.at(best, np.asarray(keep), d)
        hits = np.flatnonzero(best <= k)
        found = sorted(((terms[i], own[terms[i]], int(best[i])) for i in hits), key=lambda r: (r[2], -r[1], r[0]))
        return found[:LIMIT]

    for mix, k in (("prefix", 1), ("prefix+1", 1), ("prefix+2", 2)):
        sample = texts[mix][: args.sample]
        log(f"brute force {mix} k={k} on {len(sample)} texts")
        lat = []
        for q in sample:
            t0 = time.perf_counter_ns()
            got = brute(q, k)
            lat.append(time.perf_counter_ns() - t0)
            # the two builds keep equal counts, so build's ranking applies
            expect = quorvatel.complete(by_build, q, limit=LIMIT, max_dist=k)
            check(f"brute force vs complete {mix} k={k}", q, got, rows(expect))
        results["runs"][f"brute force {mix} k={k}"] = stats(lat)

    report(results)
    os.makedirs(os.path.dirname(args.json), exist_ok=True)
    with open(args.json, "w") as f:
        json.dump({k: v for k, v in results.items()}, f, default=lambda o: None, indent=1)
    if MISMATCHES:
        print(f"{len(MISMATCHES)} MISMATCHES", file=sys.stderr)
        return 1
    return 0


def report(results):
    runs = results["runs"]
    print(f"\n{results['terms']:,} terms, {results['nodes']:,} nodes; per text: median of {REPS} runs; "
          "µs over the texts of each mix\n")
    print("| run | n | median µs | p99 µs |")
    print("|---|---|---|---|")
    for key, r in runs.items():
        print(f"| {key} | {r['n']} | {r['median_us']:.3g} | {r['p99_us']:.3g} |")
    print("\n| index | from_bytes ms | RSS B/node all in | of which the ranking's per-node data |")
    print("|---|---|---|---|")
    for label, m in results["memory"].items():
        # the bound: 4 bytes a node; text ranks (4 more) where node numbers do not follow text order
        extra = "4 B (bound)" if label == "build" else "8 B (bound + text rank)"
        print(f"| {label} | {m['from_bytes_s'] * 1e3:.0f} | {m['bytes_per_node']:.1f} | {extra} |")
    targets = [
        ("complete top-10 exact prefix k=0", runs["build complete prefix k=0"], 5),
        ("complete top-10 k=1 (prefix+1)", runs["build complete prefix+1 k=1"], 20),
        ("complete top-10 k=2 (prefix+2)", runs["build complete prefix+2 k=2"], 100),
    ]
    print("\n| target | median µs | p99 µs | p99 / median | goal |  |")
    print("|---|---|---|---|---|---|")
    for name, r, goal in targets:
        ratio = r["p99_us"] / r["median_us"]
        ok = r["median_us"] <= goal and ratio <= 5
        print(f"| {name} | {r['median_us']:.3g} | {r['p99_us']:.3g} | {ratio:.1f}× | ≤ {goal} µs, p99 ≤ 5× | "
              f"{'MET' if ok else 'NOT MET'} |")
    for mix in ("term+1", "term+2"):
        s = runs[f"build suggest {mix} k=2"]["median_us"]
        f = runs[f"build fuzzy_match {mix} k=2"]["median_us"]
        print(f"| suggest top-10 k=2 / fuzzy_match k=2 ({mix}) | {s:.3g} / {f:.3g} | | {s / f:.2f}× | ≤ 1× | "
              f"{'MET' if s <= f else 'NOT MET'} |")


if __name__ == "__main__":
    sys.exit(main())
