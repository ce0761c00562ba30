"""quorvatel side by side with its peers, in one process, on the same data
and the same queries.

    python3.14 bench/bench.py [--sets 10k,100k,dense,1m] [--quick] [--json out.json]

For each data set (data.py) it builds the seeded records once, makes a
PrefixSearch from them in both id modes ("uuid" and "int"), and measures:

- fuzzy_match and fuzzy_match_video latency (limit None and limit 10), per
  query mix (queries.py), and the nodes a query visits;
- the same queries through the peers (peers.py): rapidfuzz's extract and
  batched cdist, and a pure-Python trie walk, each checked to find the same
  terms at the same distances as fuzzy_match;
- from_internal_data_v2 build time, to_bytes / from_bytes time and
  throughput, snapshot bytes per term against marisa-trie's bytes per key;
- resident memory of a loaded instance (in a fresh process, memory.py)
  against the unpickled flat arrays.

It prints markdown tables and the performance targets (report.py) marked
MET / NOT MET, and writes every figure to a JSON file (build/bench.json by
default). Any disagreement between quorvatel and a peer, or between the two
id modes, is printed as a MISMATCH and makes the run exit with status 1
after the report is written. A peer that is not installed is left out with a
note.

Timing: quorvatel calls are timed one query at a time (timing.py), each
query's latency being the median of 5 runs after one untimed call of the same
query; the four calls on both id modes are interleaved query by query. Peer
calls are timed once per query. Ratios compare medians over exactly the same
queries: where a peer ran on a sample, the sample is the first queries of
each mix and quorvatel's median is taken over those same queries.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import pickle
import platform
import re
import subprocess
import sys
import time
from dataclasses import dataclass

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(TOP, "tests", "shared"))

try:
    import numpy  # noqa: F401  (timing and the arrays need it)
except ImportError:
    raise SystemExit("bench.py needs numpy (python3-numpy)") from None

import data  # noqa: E402
import memory  # noqa: E402
import peers as peer_modules  # noqa: E402
import report  # noqa: E402
import snapshot_format  # noqa: E402
from queries import MIXES, keys_with, make_queries, mix_key  # noqa: E402
from timing import REPS, SERIES, median, median_time, ratio, summary, time_ours  # noqa: E402

try:
    from _quorvatel import PrefixSearch  # noqa: E402
except ImportError as e:
    raise SystemExit(f"cannot import _quorvatel ({e}): run through scripts/bench, or set PYTHONPATH to a build's "
                     "python/ folder") from None

SEED = 7
TOP_N = 10  # video_top_n for every build
MODES = report.MODES
DEFAULT_SETS = "10k,100k,dense,1m"


@dataclass
class Sampling:
    """How many queries each figure uses, per data set."""

    per_mix: int
    extract: dict
    cdist_batches: dict
    cdist_all_mixes: dict  # False: cdist only on the k=1 mixes
    naive: dict

    def get(self, table, label, terms):
        if label in table:
            return table[label]
        # Any other set: like the nearest size below it.
        return table["1m"] if terms >= 1_000_000 else table["100k"] if terms >= 100_000 else table["10k"]


FULL = Sampling(
    per_mix=200,
    extract={"10k": 200, "100k": 200, "dense": 200, "1m": 50},
    cdist_batches={"10k": 6, "100k": 6, "dense": 6, "1m": 2},
    cdist_all_mixes={"10k": True, "100k": True, "dense": True, "1m": True},
    naive={"10k": 200, "100k": 200, "dense": 200, "1m": 50},
)
QUICK = Sampling(
    per_mix=40,
    extract={"10k": 40, "100k": 20, "dense": 20, "1m": 5},
    cdist_batches={"10k": 1, "100k": 1, "dense": 1, "1m": 1},
    cdist_all_mixes={"10k": True, "100k": False, "dense": True, "1m": False},
    naive={"10k": 20, "100k": 8, "dense": 8, "1m": 3},
)


# ---------------------------------------------------------------- failures

MISMATCHES: list[str] = []


def mismatch(message):
    """Records a disagreement; the run goes on so that the report is complete,
    and exits with status 1 at the end."""
    MISMATCHES.append(message)
    print(f"MISMATCH: {message}", file=sys.stderr, flush=True)


def require(condition, message):
    """A check that has to hold for any figure after it to mean anything."""
    if not condition:
        raise SystemExit(f"CHECK FAILED: {message}")


def log(msg):
    print(f"[{time.strftime('%H:%M:%S')}] {msg}", file=sys.stderr, flush=True)


def as_term_map(rows, where):
    """{term: distance} of fuzzy_match rows; checks the row shape."""
    out = {}
    for row in rows:
        if len(row) != 3 or row[1] != 1:
            mismatch(f"{where}: malformed fuzzy_match row {row!r}")
        if row[0] in out:
            mismatch(f"{where}: term {row[0]!r} returned twice")
        out[row[0]] = row[2]
    return out


def compare_maps(ours, theirs, peer, label, mix, q):
    if ours != theirs:
        only_ours = sorted(set(ours) - set(theirs))[:5]
        only_theirs = sorted(set(theirs) - set(ours))[:5]
        diff = sorted(t for t in set(ours) & set(theirs) if ours[t] != theirs[t])[:5]
        mismatch(
            f"{peer} on {label} {mix} query {q!r}: quorvatel {len(ours)} hits, {peer} {len(theirs)}; "
            f"only quorvatel {only_ours}, only {peer} {only_theirs}, "
            f"different distances {[(t, ours[t], theirs[t]) for t in diff]}"
        )


UUID_TEXT = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")


# ---------------------------------------------------------------- one data set, step by step


def build_and_snapshots(res, label, count, arrays, records, term_set, work):
    """Builds both id modes, times the snapshot round trip, checks it, and
    returns the instances."""
    nodes = res["nodes"]
    # Small instances take milliseconds, so more runs keep the medians steady.
    build_reps = 15 if count <= 10_000 else 7 if count <= 200_000 else 2
    snap_reps = 25 if count <= 10_000 else 11 if count <= 200_000 else 3
    instances = {}
    for mode in MODES:
        m = res["modes"][mode] = {}
        log(f"{label}/{mode}: from_internal_data_v2 x{build_reps}")
        build_s, instances[mode] = median_time(build_reps, lambda: PrefixSearch.from_internal_data_v2(*arrays[mode],
                                                                                                      TOP_N))
        m["build"] = {"runs": build_reps, "seconds": build_s, "terms_per_s": count / build_s}
        snap = instances[mode].to_bytes()
        to_s, _ = median_time(snap_reps, instances[mode].to_bytes, collect=False)
        from_s, _ = median_time(snap_reps, lambda: PrefixSearch.from_bytes(snap), collect=False)
        back = PrefixSearch.from_bytes(snap)
        require(back.to_bytes() == snap, f"{label}/{mode}: from_bytes(to_bytes()) does not give the same snapshot")
        for q in records.terms[:50]:
            if back.fuzzy_match(q, 1) != instances[mode].fuzzy_match(q, 1):
                mismatch(f"{label}/{mode}: reloaded snapshot answers {q!r} differently")
        del back
        m["snapshot"] = {
            "bytes": len(snap), "runs": snap_reps, "to_bytes_s": to_s, "from_bytes_s": from_s,
            "to_bytes_MBps": len(snap) / to_s / 1e6, "from_bytes_MBps": len(snap) / from_s / 1e6,
            "bytes_per_term": len(snap) / count, "from_bytes_speedup_over_build": build_s / from_s,
        }
        log(f"{label}/{mode}: reading the snapshot's sections")
        t0 = time.perf_counter()
        stats = snapshot_format.layout(snap)
        stats["decode_seconds"] = time.perf_counter() - t0
        require(stats["nodes"] == nodes and stats["node_shifts"] == nodes, f"{label}/{mode}: snapshot node count")
        require(stats["edges"] == nodes - 1 and stats["terminal_flags"] == nodes, f"{label}/{mode}: snapshot lengths")
        require(stats["payload_slots"] == nodes and stats["present_payloads"] == nodes, f"{label}/{mode}: payloads")
        require(stats["terminal_nodes"] == len(term_set), f"{label}/{mode}: terminal nodes != distinct terms")
        require(stats["trailing_bytes"] == 0, f"{label}/{mode}: bytes after terminal_flags")
        require(stats["id_mode"] == (0 if mode == "uuid" else 1), f"{label}/{mode}: id_mode")
        require((stats["video_uuids"], stats["video_int_ids"])
                == ((records.video_count, 0) if mode == "uuid" else (0, records.video_count)),
                f"{label}/{mode}: video table")
        m["snapshot_stats"] = stats
        sec = stats["sections"]
        shape = sec["node_shifts"] + sec["child_labels"] + sec["child_transitions"] + sec["terminal_flags"]
        m["snapshot"]["structure_bytes_per_term"] = shape / count
        m["snapshot_path"] = os.path.join(work, f"{label}-{mode}.snapshot")
        with open(m["snapshot_path"], "wb") as f:
            f.write(snap)
    return instances


def our_queries(res, label, instances, queries):
    """Times quorvatel on every mix and checks its results; returns the
    latencies and fuzzy_match's {term: distance} per query (the truth the
    peers are checked against)."""
    ours = {mode: {} for mode in MODES}
    found = {}
    log(f"{label}: quorvatel queries, both id modes interleaved")
    for name, k, _ in MIXES:
        key = mix_key(name, k)
        qs = queries[key]
        lat, got = time_ours(instances, qs, k)
        for mode in MODES:
            ours[mode][key] = {series: lat[(mode, series)] for series, _, _ in SERIES}
            where = f"{label}/{mode} {key}"
            for q, a, a10, v, v10 in zip(qs, *(got[(mode, series)] for series, _, _ in SERIES)):
                if a10 != a[:10]:
                    mismatch(f"{where} {q!r}: fuzzy_match limit 10 is not the first 10 rows of limit None")
                scores = [s for _, s in v]
                if scores != sorted(scores, reverse=True) or any(s < 0.01 for s in scores):
                    mismatch(f"{where} {q!r}: fuzzy_match_video scores not ranked or below the default 0.01")
                if [s for _, s in v10] != scores[:10]:
                    mismatch(f"{where} {q!r}: fuzzy_match_video limit 10 scores != the best 10 of limit None")
                if len(v) > 10 and not {i for i, s in v if s > scores[9]} <= {i for i, _ in v10}:
                    mismatch(f"{where} {q!r}: fuzzy_match_video limit 10 misses a video above the cut")
                ids_ok = all(UUID_TEXT.match(i) for i, _ in v) if mode == "uuid" else all(i.isdigit() for i, _ in v)
                if not ids_ok:
                    mismatch(f"{where} {q!r}: malformed video id text in {v[:3]!r}")
        (fu, fi), (vu, vi) = (got[("uuid", "fm")], got[("int", "fm")]), (got[("uuid", "fmv")], got[("int", "fmv")])
        for q, a, b, va, vb in zip(qs, fu, fi, vu, vi):
            if a != b:
                mismatch(f"{label} {key} {q!r}: fuzzy_match differs between the uuid and int instances")
            if [s for _, s in va] != [s for _, s in vb]:
                mismatch(f"{label} {key} {q!r}: fuzzy_match_video scores differ between the id modes")
        found[key] = [as_term_map(rows, f"{label} {key} {q!r}") for q, rows in zip(qs, fu)]
    res["mixes"] = {}
    for name, k, what in MIXES:
        key = mix_key(name, k)
        entry = res["mixes"][key] = {"mix": name, "k": k, "queries": what, "modes": {}}
        for mode in MODES:
            entry["modes"][mode] = {series: summary(lat) for series, lat in ours[mode][key].items()}
        entry["mean_hits"] = sum(map(len, found[key])) / len(found[key])
    return ours, found


def peer_entry(lat, mine):
    return {**summary(lat), "ours_median_us": median(mine) / 1e3, "ratio": ratio(median(lat), median(mine)),
            "_lat": lat}


def rapidfuzz_queries(res, label, count, sampling, rf, terms, queries, ours, found):
    n_extract = min(sampling.per_mix, sampling.get(sampling.extract, label, count))
    log(f"{label}: rapidfuzz extract, {n_extract} queries a mix")
    rf.warm_up(terms)
    for key in keys_with():
        k = res["mixes"][key]["k"]
        lat = []
        for q, expect in zip(queries[key][:n_extract], found[key]):
            got, spent = rf.extract(q, terms, k)
            lat.append(spent)
            compare_maps(expect, got, "rapidfuzz extract", label, key, q)
        res["mixes"][key]["extract"] = peer_entry(lat, ours["uuid"][key]["fm"][:n_extract])

    batch = rf.BATCH
    all_mixes = sampling.get(sampling.cdist_all_mixes, label, count)
    n_cdist = min(sampling.per_mix // batch, sampling.get(sampling.cdist_batches, label, count)) * batch
    log(f"{label}: rapidfuzz cdist, {n_cdist} queries a mix")
    for key in keys_with():
        k = res["mixes"][key]["k"]
        if not n_cdist or (k != 1 and not all_mixes):
            continue
        per_query = []
        for b in range(0, n_cdist, batch):
            qs = queries[key][b : b + batch]
            got, spent = rf.cdist(qs, terms, k)
            per_query.extend([spent / len(qs)] * len(qs))
            for q, expect, theirs in zip(qs, found[key][b : b + batch], got):
                compare_maps(expect, theirs, "rapidfuzz cdist", label, key, q)
        res["mixes"][key]["cdist"] = {**peer_entry(per_query, ours["uuid"][key]["fm"][:n_cdist]),
                                      "batches": n_cdist // batch}


def naive_queries(res, label, count, sampling, terms, queries, ours, found):
    """The pure-Python walk, timed, then counting the nodes it visits (an
    untimed second pass, so the count costs the timing nothing)."""
    n_naive = min(sampling.per_mix, sampling.get(sampling.naive, label, count))
    log(f"{label}: pure-Python trie walk, {n_naive} queries a mix")
    gc.collect()
    gc.disable()  # a few million dicts: the collector would only slow the build down
    try:
        t0 = time.perf_counter()
        root = peer_modules.naive_build(terms)
        res["naive_build_s"] = time.perf_counter() - t0
        for key in keys_with():
            k = res["mixes"][key]["k"]
            lat, visited = [], []
            for q, expect in zip(queries[key][:n_naive], found[key]):
                t0 = time.perf_counter_ns()
                got = peer_modules.naive_search(root, q, k)
                lat.append(time.perf_counter_ns() - t0)
                compare_maps(expect, got, "pure-Python walk", label, key, q)
            for q in queries[key][:n_naive]:
                visited.append(peer_modules.naive_visited(root, q, k))
            res["mixes"][key]["naive"] = peer_entry(lat, ours["uuid"][key]["fm"][:n_naive])
            total = sum(visited)
            res["mixes"][key]["visited"] = {
                "n": len(visited),
                "per_query": visited,
                "mean": total / len(visited) if visited else float("nan"),
                "ns_per_node": {mode: sum(ours[mode][key]["fm"][:n_naive]) / total if total else float("nan")
                                for mode in MODES},
            }
        del root
    finally:
        gc.enable()
        gc.collect()


def pooled_figures(res, ours):
    """Pooled figures for the targets: medians over the union of the mixes'
    sampled queries, quorvatel over exactly the same queries."""

    def pooled(peer, keys, series="fm", mode="uuid"):
        theirs, mine = [], []
        for key in keys:
            got = res["mixes"][key].get(peer)
            if got is None:
                continue
            theirs += got["_lat"]
            mine += ours[mode][key][series][: len(got["_lat"])]
        if not theirs:
            return None
        return {"n": len(theirs), "peer_median_us": median(theirs) / 1e3, "ours_median_us": median(mine) / 1e3,
                "ratio": ratio(median(theirs), median(mine))}

    every = keys_with()
    res["pooled"] = {
        "extract_k0": pooled("extract", [mix_key("exact", 0)]),
        "extract_k1": pooled("extract", keys_with(1)),
        "extract_k2": pooled("extract", keys_with(2)),
        "cdist_k1": pooled("cdist", keys_with(1)),
        "cdist_k2": pooled("cdist", keys_with(2)),
        "naive_all": pooled("naive", every),
    }
    for k in (1, 2):
        lat = [x for key in keys_with(k) for x in ours["uuid"][key]["fm"]]
        res["pooled"][f"fm_k{k}"] = {"n": len(lat), "median_us": median(lat) / 1e3}
    video = {}
    for mode in MODES:
        fm_all = [x for key in every for x in ours[mode][key]["fm"]]
        fmv10_all = [x for key in every for x in ours[mode][key]["fmv10"]]
        per_mix = {key: ratio(median(ours[mode][key]["fmv10"]), median(ours[mode][key]["fm"])) for key in every}
        worst = max(per_mix, key=per_mix.get)
        video[mode] = {"n": len(fm_all), "ratio": ratio(median(fmv10_all), median(fm_all)),
                       "worst_mix": worst, "worst_ratio": per_mix[worst]}
    res["pooled"]["video10_over_fm"] = video
    for entry in res["mixes"].values():
        for peer in ("extract", "cdist", "naive"):
            if peer in entry:
                entry[peer].pop("_lat")


def memory_figures(res, label, pickle_path):
    nodes = res["nodes"]
    for mode in MODES:
        log(f"{label}/{mode}: resident memory of from_bytes in a fresh process")
        m = res["modes"][mode]
        path = m.pop("snapshot_path")
        r = memory.rss_in_fresh_process("snapshot", path, memory.copies_for(os.path.getsize(path)))
        os.remove(path)
        entries = m["snapshot_stats"]["video_entries"]
        m["memory"] = {
            **r,
            "bytes_per_node": r["growth"] / nodes,
            "bytes_per_node_after_8_per_entry": (r["growth"] - 8 * entries) / nodes,
            "video_entries": entries,
            "entries_per_node": entries / nodes,
            "budget": 25 * nodes + 8 * entries,
        }
    log(f"{label}: resident memory of the unpickled arrays in a fresh process")
    r = memory.rss_in_fresh_process("pickle", pickle_path)
    res["pickle_memory"] = {**r, "bytes_per_node": r["growth"] / nodes}
    os.remove(pickle_path)


def run_set(label, sampling, work, peers):
    log(f"{label}: making the records")
    t0 = time.perf_counter()
    records = data.Records(seed=SEED, terms=data.set_terms(label, SEED))
    terms = records.terms
    count = len(terms)
    term_set = set(terms)
    arrays = {"uuid": records.arrays()}
    arrays["int"] = arrays["uuid"][:4] + (records.video_index_for("int"),)
    res = {"label": label, "kind": "dense" if label == "dense" else "sampled", "terms": count,
           "data_seconds": time.perf_counter() - t0, "unique_terms": len(term_set), "nodes": len(arrays["uuid"][1]),
           "edges": len(arrays["uuid"][3]), "videos": records.video_count, "term_chars": sum(map(len, terms)),
           "modes": {}}

    instances = build_and_snapshots(res, label, count, arrays, records, term_set, work)
    res["video_entries"] = res["modes"]["uuid"]["snapshot_stats"]["video_entries"]
    log(f"{label}: pickling the flat arrays")
    pickle_path = os.path.join(work, f"{label}-arrays.pickle")
    with open(pickle_path, "wb") as f:
        pickle.dump(arrays["uuid"], f, protocol=pickle.HIGHEST_PROTOCOL)
    res["pickle_bytes"] = os.path.getsize(pickle_path)
    del arrays
    gc.collect()

    res["marisa"] = None
    if peers["marisa"]:
        log(f"{label}: marisa-trie")
        res["marisa"] = peers["marisa"].measure(terms, work, label)
        require(res["marisa"]["keys"] == len(term_set), f"{label}: marisa holds {res['marisa']['keys']} keys")

    queries = make_queries(terms, term_set, sampling.per_mix, SEED)
    ours, found = our_queries(res, label, instances, queries)
    if peers["rapidfuzz"]:
        rapidfuzz_queries(res, label, count, sampling, peers["rapidfuzz"], terms, queries, ours, found)
    naive_queries(res, label, count, sampling, terms, queries, ours, found)
    pooled_figures(res, ours)
    del instances, ours, found
    gc.collect()
    memory_figures(res, label, pickle_path)
    return res


# ---------------------------------------------------------------- the run


def machine(peers):
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        usable = len(os.sched_getaffinity(0))
    except AttributeError:
        usable = os.cpu_count()
    commit = None
    try:
        commit = subprocess.run(["git", "-C", TOP, "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True, timeout=10).stdout.strip() or None
    except (OSError, subprocess.SubprocessError):
        pass
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "usable_cores": usable,
        "python": sys.version.split()[0],
        "implementation": platform.python_implementation(),
        "platform": platform.platform(),
        "module": sys.modules["_quorvatel"].__file__,
        "rapidfuzz": peers["rapidfuzz"].version if peers["rapidfuzz"] else None,
        "numpy": numpy.__version__,
        "commit": commit,
        "date": time.strftime("%Y-%m-%d %H:%M:%S %Z"),
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sets", "--sizes", dest="sets", default=DEFAULT_SETS,
                    help="comma-separated data sets: 10k, 100k, 1m, dense, or a number of sampled terms "
                         f"(default {DEFAULT_SETS})")
    ap.add_argument("--quick", action="store_true", help="fewer queries per mix, smaller peer samples (a smoke run)")
    ap.add_argument("--json", default=os.path.join(TOP, "build", "bench.json"), help="where to write the figures")
    ap.add_argument("--work", default=os.path.join(TOP, "build", "bench-work"), help="scratch directory")
    args = ap.parse_args()
    sampling = QUICK if args.quick else FULL
    labels = [s.strip().lower() for s in args.sets.split(",") if s.strip()]
    for label in labels:
        try:
            data.check_set(label)
        except data.DataError as e:
            ap.error(str(e))
    peers = peer_modules.load()
    notes = [p.note for p in peers.values() if not p]
    for note in notes:
        log(f"note: {note}")
    os.makedirs(args.work, exist_ok=True)
    os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
    info = machine(peers)
    started = time.perf_counter()
    try:
        results = [run_set(label, sampling, args.work, peers) for label in labels]
    except data.DataError as e:
        raise SystemExit(f"bench.py: {e}") from None
    text = report.report(results, info, sampling, args.quick, notes)
    doc = {
        "machine": info,
        "quick": args.quick,
        "seed": SEED,
        "video_top_n": TOP_N,
        "reps": REPS,
        "mixes": [{"mix": n, "k": k, "queries": w} for n, k, w in MIXES],
        "sets": results,
        "targets": [dict(zip(("target", "set", "measured", "goal", "status", "note"), t))
                    for t in report.targets(results)],
        "notes": notes,
        "mismatches": MISMATCHES,
        "seconds": time.perf_counter() - started,
    }
    with open(args.json, "w") as f:
        json.dump(doc, f, indent=1)
    print(text)
    print(f"figures written to {args.json}; {doc['seconds']:.0f} s in all")
    if MISMATCHES:
        print(f"\n{len(MISMATCHES)} MISMATCH(ES) — the results above disagree with a peer:", file=sys.stderr)
        for m in MISMATCHES[:50]:
            print("  " + m, file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
