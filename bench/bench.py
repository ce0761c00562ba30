"""quorvatel side by side with its peers, in one process, on the same data
and the same queries.

    python3.14 bench/bench.py [--sizes 10k,100k,1m] [--quick] [--json out.json]

For each size it builds the seeded records of bench/data.py once, makes a
PrefixSearch from them in both id modes ("uuid" and "int"), and measures:

- fuzzy_match and fuzzy_match_video latency (limit None and limit 10), per
  query mix;
- the same queries through rapidfuzz.process.extract and, 32 queries a
  batch, rapidfuzz.process.cdist, checking that they find the same terms at
  the same distances as fuzzy_match;
- a plain pure-Python trie walk (dict-of-dicts trie, one Levenshtein row per
  depth) on the same queries, also checked;
- from_internal_data_v2 build time, to_bytes / from_bytes time and
  throughput, snapshot bytes per term against marisa-trie's bytes per key;
- resident memory of a loaded instance (in a fresh process) against the
  unpickled flat arrays.

It prints markdown tables, ratios against the performance targets marked
MET / NOT MET, and writes every figure to a JSON file (build/bench.json by
default). Any disagreement between quorvatel and a peer, or between the two
id modes, is printed as a MISMATCH and makes the run exit with status 1
after the report is written.

Timing: quorvatel calls are timed one query at a time, each query's latency
being the median of 5 runs after one untimed call of the same query; the
four calls (fuzzy_match and fuzzy_match_video, limit None and 10) on both
id modes are interleaved query by query. Peer calls are timed once per
query (they take milliseconds to seconds). Ratios compare
medians over exactly the same queries: where a peer ran on a sample, the
sample is the first queries of each mix and quorvatel's median is taken
over those same queries.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import pickle
import platform
import random
import re
import statistics
import string
import subprocess
import sys
import time
from dataclasses import dataclass

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import marisa  # noqa: E402
import numpy as np  # noqa: E402
from rapidfuzz import process as rf_process  # noqa: E402
from rapidfuzz.distance import Levenshtein as rf_levenshtein  # noqa: E402

from data import Records  # noqa: E402

from _quorvatel import PrefixSearch  # noqa: E402

SEED = 7
TOP_N = 10  # video_top_n for every build
REPS = 5  # timed runs per quorvatel query; the median is kept
BATCH = 32  # queries per cdist call
MODES = ("uuid", "int")
SIZES = {"10k": 10_000, "100k": 100_000, "1m": 1_000_000}

# (name, max_dist, what the queries are)
MIXES = [
    ("exact", 0, "stored terms"),
    ("exact", 1, "stored terms"),
    ("edit1", 1, "stored terms with one random substitution, insertion or deletion"),
    ("edit1", 2, "stored terms with one random edit"),
    ("edit2", 2, "stored terms with two random edits"),
    ("prefix", 1, "prefixes of 3 to 6 characters of stored terms"),
    ("miss", 1, "random lowercase strings of 4 to 12 characters that are not stored terms"),
    ("long", 1, "40 to 80 characters: random stored terms joined by spaces, cut to length"),
]


def mix_key(name, k):
    return f"{name}/k{k}"


@dataclass
class Sampling:
    """How many queries each figure uses, per size."""

    per_mix: int
    extract: dict
    cdist_batches: dict
    cdist_all_mixes: dict  # False: cdist only on the k=1 mixes
    naive: dict


FULL = Sampling(
    per_mix=200,
    extract={"10k": 200, "100k": 200, "1m": 50},
    cdist_batches={"10k": 6, "100k": 6, "1m": 2},
    cdist_all_mixes={"10k": True, "100k": True, "1m": True},
    naive={"10k": 200, "100k": 200, "1m": 50},
)
QUICK = Sampling(
    per_mix=40,
    extract={"10k": 40, "100k": 20, "1m": 5},
    cdist_batches={"10k": 1, "100k": 1, "1m": 1},
    cdist_all_mixes={"10k": True, "100k": False, "1m": False},
    naive={"10k": 20, "100k": 8, "1m": 3},
)


def sample_size(table, label, default_count):
    if label in table:
        return table[label]
    # A size outside the table: scale like the nearest one below it.
    return table["1m"] if default_count >= 1_000_000 else table["100k"] if default_count >= 100_000 else table["10k"]


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


# ---------------------------------------------------------------- queries

LETTERS = string.ascii_lowercase


def one_edit(rng, s):
    ops = ["sub", "ins", "del"] if len(s) > 1 else ["sub", "ins"] if s else ["ins"]
    op = rng.choice(ops)
    if op == "ins":
        i = rng.randrange(len(s) + 1)
        return s[:i] + rng.choice(LETTERS) + s[i:]
    i = rng.randrange(len(s))
    if op == "del":
        return s[:i] + s[i + 1 :]
    c = rng.choice(LETTERS)
    while c == s[i]:
        c = rng.choice(LETTERS)
    return s[:i] + c + s[i + 1 :]


def make_queries(terms, term_set, per_mix, seed):
    """Seeded queries per mix, the same for every engine."""
    out = {}
    for name, k, _ in MIXES:
        rng = random.Random(f"{seed}-{name}-{k}")
        qs = []
        while len(qs) < per_mix:
            if name == "exact":
                q = rng.choice(terms)
            elif name == "edit1":
                q = one_edit(rng, rng.choice(terms))
            elif name == "edit2":
                q = one_edit(rng, one_edit(rng, rng.choice(terms)))
            elif name == "prefix":
                t = rng.choice(terms)
                if len(t) < 3:
                    continue
                q = t[: min(len(t), rng.randint(3, 6))]
            elif name == "miss":
                q = "".join(rng.choice(LETTERS) for _ in range(rng.randint(4, 12)))
                if q in term_set:
                    continue
            else:  # long
                length = rng.randint(40, 80)
                parts = []
                while sum(len(p) + 1 for p in parts) < length + 1:
                    parts.append(rng.choice(terms))
                q = " ".join(parts)[:length]
            qs.append(q)
        out[mix_key(name, k)] = qs
    return out


# ---------------------------------------------------------------- stats


def median(xs):
    return statistics.median(xs) if xs else float("nan")


def p99(xs):
    return float(np.percentile(np.asarray(xs, dtype=np.float64), 99)) if xs else float("nan")


def summary(lat_ns):
    return {"n": len(lat_ns), "median_us": median(lat_ns) / 1e3, "p99_us": p99(lat_ns) / 1e3}


def ratio(slow, fast):
    return slow / fast if fast > 0 else float("inf")


# ---------------------------------------------------------------- snapshot stats
#
# The snapshot is read from the front, field by field: node_shifts,
# child_labels, child_transitions, payloads, video_uuids, video_int_ids,
# id_mode, terminal_flags. Vectors are a u64 varint length and their
# elements; u32 varints are one marker byte 0..250 (the value), 251 + 2 bytes,
# 252 + 4 bytes; u64 lengths may also be 253 + 8 bytes. A payload is a tag
# byte (0 absent, 1 present), then count, video_ids and video_counts.
# Runs of items are skipped with possessive regular expressions, so that
# reading the payloads of a million-term trie takes seconds, not minutes.

_V32 = rb"(?:[\x00-\xfa]|\xfb[\x00-\xff]{2}|\xfc[\x00-\xff]{4})"
_CHAR = rb"(?:[\x00-\x7f]|[\xc2-\xdf][\x80-\xbf]|[\xe0-\xef][\x80-\xbf]{2}|[\xf0-\xf4][\x80-\xbf]{3})"
# One vector of u32 varints whose length fits in one byte (0 to 250).
_SHORT_VEC = b"|".join(
    b"\\x%02x" % n + (b"(?:%s){%d}+" % (_V32, n) if n else b"") for n in range(251)
)
# One optional payload whose two lists have the same one-byte length; the
# group captures that length byte (empty for an absent payload).
_PAYLOAD = (
    rb"\x00|\x01" + _V32 + rb"(?=([\x00-\xfa]))(?:" + _SHORT_VEC + rb")(?=\1)(?:" + _SHORT_VEC + rb")"
)
_PATTERNS: dict = {}
_RUN = 4096


def _run_pattern(item, n):
    key = (item, n)
    pat = _PATTERNS.get(key)
    if pat is None:
        pat = _PATTERNS[key] = re.compile(b"(?:%s){%d}+" % (item, n), re.DOTALL)
    return pat


class SnapshotError(Exception):
    pass


def _varint(buf, pos, wide):
    if pos >= len(buf):
        raise SnapshotError(f"input ends at {pos}")
    m = buf[pos]
    if m <= 250:
        return m, pos + 1
    width = {251: 2, 252: 4, 253: 8}.get(m)
    if width is None or (width == 8 and not wide):
        raise SnapshotError(f"marker {m} at {pos}")
    if pos + 1 + width > len(buf):
        raise SnapshotError(f"input ends inside the varint at {pos}")
    return int.from_bytes(buf[pos + 1 : pos + 1 + width], "little"), pos + 1 + width


def _skip(buf, pos, count, item, what):
    while count:
        n = min(count, _RUN)
        m = _run_pattern(item, n).match(buf, pos)
        if m is None:
            raise SnapshotError(f"{what}: malformed item near byte {pos}")
        pos = m.end()
        count -= n
    return pos


def _payloads_slow(buf, pos, count):
    """Any payload section, one record at a time."""
    present = entries = 0
    for _ in range(count):
        tag = buf[pos]
        pos += 1
        if tag == 0:
            continue
        if tag != 1:
            raise SnapshotError(f"payload tag {tag} at {pos - 1}")
        present += 1
        _, pos = _varint(buf, pos, False)
        ids, pos = _varint(buf, pos, True)
        pos = _skip(buf, pos, ids, _V32, "video_ids")
        counts, pos = _varint(buf, pos, True)
        pos = _skip(buf, pos, counts, _V32, "video_counts")
        entries += max(ids, counts)
    return pos, present, entries


def snapshot_stats(buf):
    """Counts and section sizes of a snapshot written by to_bytes."""
    sections = {}
    pos = 0

    def vector(name, item):
        nonlocal pos
        start = pos
        n, pos = _varint(buf, pos, True)
        pos = _skip(buf, pos, n, item, name)
        sections[name] = pos - start
        return n

    node_shifts = vector("node_shifts", _V32)
    labels = vector("child_labels", _CHAR)
    edges = vector("child_transitions", _V32)
    start = pos
    slots, pos = _varint(buf, pos, True)
    body = pos
    try:
        end = _skip(buf, pos, slots, _PAYLOAD, "payloads")
        lengths = re.compile(_PAYLOAD, re.DOTALL).findall(buf, body, end)
        if len(lengths) != slots:
            raise SnapshotError("payload records were not read one after the other")
        joined = b"".join(lengths)
        present, entries = len(joined), sum(joined)
        pos = end
    except SnapshotError:
        # Lists of 251 entries or more, or of unequal lengths: the slow road.
        pos, present, entries = _payloads_slow(buf, body, slots)
    sections["payloads"] = pos - start
    start = pos
    uuids, pos = _varint(buf, pos, True)
    pos += 16 * uuids
    if pos > len(buf):
        raise SnapshotError("input ends inside video_uuids")
    sections["video_uuids"] = pos - start
    int_ids = vector("video_int_ids", _V32)
    start = pos
    id_mode, pos = _varint(buf, pos, False)
    sections["id_mode"] = pos - start
    start = pos
    flags, pos = _varint(buf, pos, True)
    ones = buf.count(b"\x01", pos, pos + flags)
    zeros = buf.count(b"\x00", pos, pos + flags)
    if ones + zeros != flags or pos + flags > len(buf):
        raise SnapshotError("terminal_flags are not all 0 or 1")
    pos += flags
    sections["terminal_flags"] = pos - start
    return {
        "bytes": len(buf),
        "trailing_bytes": len(buf) - pos,
        "node_shifts": node_shifts,
        "nodes": labels,
        "edges": edges,
        "payload_slots": slots,
        "present_payloads": present,
        "video_entries": entries,
        "video_uuids": uuids,
        "video_int_ids": int_ids,
        "id_mode": id_mode,
        "terminal_flags": flags,
        "terminal_nodes": ones,
        "sections": sections,
    }


# ---------------------------------------------------------------- fresh-process memory

_RSS_CHILD = r"""
import gc, json, os, pickle, sys
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
kind, path, copies = sys.argv[1], sys.argv[2], int(sys.argv[3])
from _quorvatel import PrefixSearch
if kind == "snapshot":
    with open(path, "rb") as f:
        data = f.read()
    gc.collect()
    before = rss()
    objs = [PrefixSearch.from_bytes(data) for _ in range(copies)]
    after = rss()
    assert objs[-1].to_bytes() == data, "reloaded snapshot differs"
else:
    gc.collect()
    before = rss()
    with open(path, "rb") as f:
        obj = pickle.load(f)
    after = rss()
print(json.dumps({"before": before, "after": after, "growth": (after - before) / copies, "copies": copies}))
"""


def rss_in_fresh_process(kind, path, copies=1):
    """Resident growth per loaded copy. Small instances are loaded several
    times over, so page and arena granularity do not dominate the figure."""
    out = subprocess.run(
        [sys.executable, "-c", _RSS_CHILD, kind, path, str(copies)],
        check=True,
        capture_output=True,
        text=True,
    )
    return json.loads(out.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------- the naive baseline


def naive_build(terms):
    """The classic dict-of-dicts trie; the key "" holds the term ending there."""
    root = {}
    for t in terms:
        node = root
        for ch in t:
            nxt = node.get(ch)
            if nxt is None:
                nxt = node[ch] = {}
            node = nxt
        node[""] = t
    return root


def naive_search(root, word, k):
    """One Levenshtein row per depth; a subtree is pruned when its row minimum
    exceeds k. Returns {term: distance}."""
    n = len(word)
    found = {}

    def walk(node, ch, prev):
        cur = [prev[0] + 1]
        for j in range(1, n + 1):
            cur.append(min(cur[j - 1] + 1, prev[j] + 1, prev[j - 1] + (word[j - 1] != ch)))
        if cur[n] <= k and "" in node:
            found[node[""]] = cur[n]
        if min(cur) <= k:
            for c, child in node.items():
                if c:
                    walk(child, c, cur)

    first = list(range(n + 1))
    for c, child in root.items():
        if c:
            walk(child, c, first)
    return found


# ---------------------------------------------------------------- timing helpers


# The four quorvatel calls timed per query, with their extra arguments.
SERIES = (
    ("fm", "fuzzy_match", ()),
    ("fm10", "fuzzy_match", (10,)),
    ("fmv", "fuzzy_match_video", ()),
    ("fmv10", "fuzzy_match_video", (10,)),
)


def time_ours(instances, queries, k):
    """Per-query latency in ns of every (mode, series), and each call's result.

    The calls are interleaved query by query, so that a burst of load from
    elsewhere on the machine hits every series alike rather than one of them:
    for each query every call runs once untimed (its result is kept), then
    REPS rounds of all calls, each latency being the median of its rounds."""
    calls = [((mode, series), getattr(instances[mode], method), extra)
             for mode in MODES for series, method, extra in SERIES]
    lat = {key: [] for key, _, _ in calls}
    results = {key: [] for key, _, _ in calls}
    clock = time.perf_counter_ns
    for q in queries:
        runs = {key: [] for key, _, _ in calls}
        for key, fn, extra in calls:
            results[key].append(fn(q, k, *extra))
        for _ in range(REPS):
            for key, fn, extra in calls:
                t0 = clock()
                fn(q, k, *extra)
                runs[key].append(clock() - t0)
        for key, r in runs.items():
            r.sort()
            lat[key].append(r[len(r) // 2])
    return lat, results


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


def compare_maps(ours, theirs, peer, size, mix, q):
    if ours != theirs:
        only_ours = sorted(set(ours) - set(theirs))[:5]
        only_theirs = sorted(set(theirs) - set(ours))[:5]
        diff = sorted(t for t in set(ours) & set(theirs) if ours[t] != theirs[t])[:5]
        mismatch(
            f"{peer} on {size} {mix} query {q!r}: quorvatel {len(ours)} hits, {peer} {len(theirs)}; "
            f"only quorvatel {only_ours}, only {peer} {only_theirs}, "
            f"different distances {[(t, ours[t], theirs[t]) for t in diff]}"
        )


# ---------------------------------------------------------------- one size

UUID_TEXT = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")


def log(msg):
    print(f"[{time.strftime('%H:%M:%S')}] {msg}", file=sys.stderr, flush=True)


def run_size(label, count, sampling, work):
    res = {"label": label, "terms": count}
    log(f"{label}: making {count} records")
    t0 = time.perf_counter()
    records = Records(count, seed=SEED)
    terms = records.terms
    term_set = set(terms)
    arrays = {"uuid": records.arrays()}
    res["data_seconds"] = time.perf_counter() - t0
    if count <= 10_000:
        require(arrays["uuid"] == records.arrays_plain(), "Records.arrays() differs from arrays_plain()")
    arrays["int"] = arrays["uuid"][:4] + (records.video_index_for("int"),)
    nodes = len(arrays["uuid"][1])
    res.update(
        unique_terms=len(term_set),
        nodes=nodes,
        edges=len(arrays["uuid"][3]),
        videos=records.video_count,
        term_chars=sum(map(len, terms)),
    )

    # -- build and snapshots
    # Small instances take milliseconds, so more runs keep the medians steady.
    build_reps = 15 if count <= 10_000 else 7 if count <= 100_000 else 2
    snap_reps = 25 if count <= 10_000 else 11 if count <= 100_000 else 3
    inst = {}
    res["modes"] = {}
    for mode in MODES:
        m = res["modes"][mode] = {}
        log(f"{label}/{mode}: from_internal_data_v2 x{build_reps}")
        times = []
        for _ in range(build_reps):
            gc.collect()
            t0 = time.perf_counter()
            obj = PrefixSearch.from_internal_data_v2(*arrays[mode], TOP_N)
            times.append(time.perf_counter() - t0)
            inst[mode] = obj
        build_s = median(times)
        m["build"] = {"runs": build_reps, "seconds": build_s, "terms_per_s": count / build_s}
        snap = inst[mode].to_bytes()
        to_times, from_times = [], []
        for _ in range(snap_reps):
            t0 = time.perf_counter()
            b = inst[mode].to_bytes()
            to_times.append(time.perf_counter() - t0)
            del b
        for _ in range(snap_reps):
            t0 = time.perf_counter()
            back = PrefixSearch.from_bytes(snap)
            from_times.append(time.perf_counter() - t0)
            del back
        back = PrefixSearch.from_bytes(snap)
        require(back.to_bytes() == snap, f"{label}/{mode}: from_bytes(to_bytes()) does not give the same snapshot")
        for q in terms[:50]:
            if back.fuzzy_match(q, 1) != inst[mode].fuzzy_match(q, 1):
                mismatch(f"{label}/{mode}: reloaded snapshot answers {q!r} differently")
        del back
        to_s, from_s = median(to_times), median(from_times)
        m["snapshot"] = {
            "bytes": len(snap),
            "runs": snap_reps,
            "to_bytes_s": to_s,
            "from_bytes_s": from_s,
            "to_bytes_MBps": len(snap) / to_s / 1e6,
            "from_bytes_MBps": len(snap) / from_s / 1e6,
            "bytes_per_term": len(snap) / count,
            "from_bytes_speedup_over_build": build_s / from_s,
        }
        log(f"{label}/{mode}: reading the snapshot's payload section")
        t0 = time.perf_counter()
        stats = snapshot_stats(snap)
        stats["decode_seconds"] = time.perf_counter() - t0
        require(stats["nodes"] == nodes and stats["node_shifts"] == nodes, f"{label}/{mode}: snapshot node count")
        require(stats["edges"] == nodes - 1 and stats["terminal_flags"] == nodes, f"{label}/{mode}: snapshot lengths")
        require(stats["payload_slots"] == nodes and stats["present_payloads"] == nodes, f"{label}/{mode}: payloads")
        require(stats["terminal_nodes"] == len(term_set), f"{label}/{mode}: terminal nodes != distinct terms")
        require(stats["trailing_bytes"] == 0, f"{label}/{mode}: bytes after terminal_flags")
        require(stats["id_mode"] == (0 if mode == "uuid" else 1), f"{label}/{mode}: id_mode")
        require(
            (stats["video_uuids"], stats["video_int_ids"])
            == ((records.video_count, 0) if mode == "uuid" else (0, records.video_count)),
            f"{label}/{mode}: video table",
        )
        m["snapshot_stats"] = stats
        sec = stats["sections"]
        structure = sec["node_shifts"] + sec["child_labels"] + sec["child_transitions"] + sec["terminal_flags"]
        m["snapshot"]["structure_bytes_per_term"] = structure / count
        path = os.path.join(work, f"{label}-{mode}.snapshot")
        with open(path, "wb") as f:
            f.write(snap)
        m["snapshot_path"] = path
        del snap
    res["video_entries"] = res["modes"]["uuid"]["snapshot_stats"]["video_entries"]

    log(f"{label}: pickling the flat arrays")
    pickle_path = os.path.join(work, f"{label}-arrays.pickle")
    with open(pickle_path, "wb") as f:
        pickle.dump(arrays["uuid"], f, protocol=pickle.HIGHEST_PROTOCOL)
    res["pickle_bytes"] = os.path.getsize(pickle_path)
    del arrays
    gc.collect()

    # -- marisa-trie over the same terms
    log(f"{label}: marisa-trie")
    t0 = time.perf_counter()
    keyset = marisa.Keyset()
    for t in terms:
        keyset.push_back(t)
    mtrie = marisa.Trie()
    mtrie.build(keyset)
    marisa_s = time.perf_counter() - t0
    mpath = os.path.join(work, f"{label}.marisa")
    mtrie.save(mpath)
    require(mtrie.num_keys() == len(term_set), f"{label}: marisa holds {mtrie.num_keys()} keys")
    agent = marisa.Agent()
    for t in terms[:100]:
        agent.set_query(t)
        require(mtrie.lookup(agent), f"{label}: marisa cannot find {t!r}")
    msize = os.path.getsize(mpath)
    os.remove(mpath)
    res["marisa"] = {
        "file_bytes": msize,
        "io_size": mtrie.io_size(),
        "bytes_per_key": msize / mtrie.num_keys(),
        "build_s": marisa_s,
        "keys_per_s": count / marisa_s,
    }
    del keyset, mtrie, agent

    # -- quorvatel queries
    queries = make_queries(terms, term_set, sampling.per_mix, SEED)
    ours = {mode: {} for mode in MODES}
    fm_results = {}
    log(f"{label}: quorvatel queries, both id modes interleaved")
    for name, k, _ in MIXES:
        key = mix_key(name, k)
        qs = queries[key]
        lat, got = time_ours(inst, qs, k)
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
                if len(v) > 10:
                    above = {i for i, s in v if s > scores[9]}
                    if not above <= {i for i, _ in v10}:
                        mismatch(f"{where} {q!r}: fuzzy_match_video limit 10 misses a video above the cut")
                ids_ok = all(UUID_TEXT.match(i) for i, _ in v) if mode == "uuid" else all(i.isdigit() for i, _ in v)
                if not ids_ok:
                    mismatch(f"{where} {q!r}: malformed video id text in {v[:3]!r}")
            fm_results.setdefault(key, {})[mode] = (got[(mode, "fm")], got[(mode, "fmv")])
    for key, by_mode in fm_results.items():
        (fu, vu), (fi, vi) = by_mode["uuid"], by_mode["int"]
        for q, a, b, va, vb in zip(queries[key], fu, fi, vu, vi):
            if a != b:
                mismatch(f"{label} {key} {q!r}: fuzzy_match differs between the uuid and int instances")
            if [s for _, s in va] != [s for _, s in vb]:
                mismatch(f"{label} {key} {q!r}: fuzzy_match_video scores differ between the id modes")
    truth = {key: [as_term_map(rows, f"{label} {key} {q!r}") for q, rows in zip(queries[key], by_mode["uuid"][0])]
             for key, by_mode in fm_results.items()}
    del fm_results
    res["mixes"] = {}
    for name, k, what in MIXES:
        key = mix_key(name, k)
        entry = res["mixes"][key] = {"mix": name, "k": k, "queries": what, "modes": {}}
        for mode in MODES:
            entry["modes"][mode] = {series: summary(lat) for series, lat in ours[mode][key].items()}
        entry["mean_hits"] = sum(map(len, truth[key])) / len(truth[key])

    # -- rapidfuzz extract
    n_extract = min(sampling.per_mix, sample_size(sampling.extract, label, count))
    log(f"{label}: rapidfuzz extract, {n_extract} queries a mix")
    rf_process.extract(terms[0], terms, scorer=rf_levenshtein.distance, score_cutoff=1, limit=None)  # warm-up
    for name, k, _ in MIXES:
        key = mix_key(name, k)
        lat = []
        for q, expect in zip(queries[key][:n_extract], truth[key]):
            t0 = time.perf_counter_ns()
            got = rf_process.extract(q, terms, scorer=rf_levenshtein.distance, score_cutoff=k, limit=None)
            lat.append(time.perf_counter_ns() - t0)
            compare_maps(expect, {c: int(s) for c, s, _ in got}, "rapidfuzz extract", label, key, q)
        mine = ours["uuid"][key]["fm"][:n_extract]
        res["mixes"][key]["extract"] = {
            **summary(lat),
            "ours_median_us": median(mine) / 1e3,
            "ratio": ratio(median(lat), median(mine)),
            "_lat": lat,
        }

    # -- rapidfuzz cdist, 32 queries a batch
    batches = sample_size(sampling.cdist_batches, label, count)
    all_mixes = sample_size(sampling.cdist_all_mixes, label, count)
    n_cdist = min(sampling.per_mix // BATCH, batches) * BATCH
    log(f"{label}: rapidfuzz cdist, {n_cdist} queries a mix")
    for name, k, _ in MIXES:
        key = mix_key(name, k)
        if not n_cdist or (k != 1 and not all_mixes):
            continue
        per_query = []
        for b in range(0, n_cdist, BATCH):
            batch = queries[key][b : b + BATCH]
            t0 = time.perf_counter_ns()
            matrix = rf_process.cdist(batch, terms, scorer=rf_levenshtein.distance, score_cutoff=k, workers=1)
            spent = time.perf_counter_ns() - t0
            per_query.extend([spent / len(batch)] * len(batch))
            for row, q, expect in zip(matrix, batch, truth[key][b : b + BATCH]):
                hits = np.flatnonzero(row <= k)
                compare_maps(expect, {terms[i]: int(row[i]) for i in hits}, "rapidfuzz cdist", label, key, q)
            del matrix
        mine = ours["uuid"][key]["fm"][:n_cdist]
        res["mixes"][key]["cdist"] = {
            **summary(per_query),
            "batches": n_cdist // BATCH,
            "ours_median_us": median(mine) / 1e3,
            "ratio": ratio(median(per_query), median(mine)),
            "_lat": per_query,
        }

    # -- pure-Python trie walk
    n_naive = min(sampling.per_mix, sample_size(sampling.naive, label, count))
    log(f"{label}: pure-Python trie walk, {n_naive} queries a mix")
    gc.collect()
    gc.disable()  # a few million dicts: the collector would only slow the build down
    t0 = time.perf_counter()
    root = naive_build(terms)
    res["naive_build_s"] = time.perf_counter() - t0
    for name, k, _ in MIXES:
        key = mix_key(name, k)
        lat = []
        for q, expect in zip(queries[key][:n_naive], truth[key]):
            t0 = time.perf_counter_ns()
            got = naive_search(root, q, k)
            lat.append(time.perf_counter_ns() - t0)
            compare_maps(expect, got, "pure-Python walk", label, key, q)
        mine = ours["uuid"][key]["fm"][:n_naive]
        res["mixes"][key]["naive"] = {
            **summary(lat),
            "ours_median_us": median(mine) / 1e3,
            "ratio": ratio(median(lat), median(mine)),
            "_lat": lat,
        }
    del root
    gc.enable()
    gc.collect()

    # Pooled figures for the targets: medians over the union of the mixes'
    # sampled queries, quorvatel over exactly the same queries.
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

    k1 = [mix_key(n, k) for n, k, _ in MIXES if k == 1]
    k2 = [mix_key(n, k) for n, k, _ in MIXES if k == 2]
    every = [mix_key(n, k) for n, k, _ in MIXES]
    res["pooled"] = {
        "extract_k1": pooled("extract", k1),
        "extract_k2": pooled("extract", k2),
        "extract_k0": pooled("extract", [mix_key("exact", 0)]),
        "cdist_k1": pooled("cdist", k1),
        "naive_all": pooled("naive", every),
    }
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
    del inst, ours, truth
    gc.collect()

    # -- memory, each in a fresh process
    for mode in MODES:
        log(f"{label}/{mode}: resident memory of from_bytes in a fresh process")
        m = res["modes"][mode]
        snapshot_bytes = os.path.getsize(m["snapshot_path"])
        copies = max(1, min(32, (64 << 20) // max(1, 2 * snapshot_bytes)))
        r = rss_in_fresh_process("snapshot", m["snapshot_path"], copies)
        entries = m["snapshot_stats"]["video_entries"]
        budget = 25 * nodes + 8 * entries
        os.remove(m.pop("snapshot_path"))
        m["memory"] = {
            **r,
            "bytes_per_node": r["growth"] / nodes,
            "bytes_per_node_after_8_per_entry": (r["growth"] - 8 * entries) / nodes,
            "video_entries": entries,
            "entries_per_node": entries / nodes,
            "budget": budget,
        }
    log(f"{label}: resident memory of the unpickled arrays in a fresh process")
    r = rss_in_fresh_process("pickle", pickle_path)
    res["pickle_memory"] = {**r, "bytes_per_node": r["growth"] / nodes}
    os.remove(pickle_path)
    return res


# ---------------------------------------------------------------- report


def machine():
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
    import rapidfuzz

    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "usable_cores": usable,
        "python": sys.version.split()[0],
        "implementation": platform.python_implementation(),
        "platform": platform.platform(),
        "module": sys.modules["_quorvatel"].__file__,
        "rapidfuzz": rapidfuzz.__version__,
        "numpy": np.__version__,
        "commit": commit,
        "date": time.strftime("%Y-%m-%d %H:%M:%S %Z"),
    }


def fmt(x, digits=3):
    if x is None or (isinstance(x, float) and x != x):
        return "–"
    if isinstance(x, int):
        return f"{x:,}"
    if abs(x) >= 1000:
        return f"{x:,.0f}"
    if abs(x) >= 100:
        return f"{x:.0f}"
    if abs(x) >= 10:
        return f"{x:.1f}"
    return f"{x:.{digits}g}" if abs(x) < 1 else f"{x:.2f}"


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


def targets(results):
    """[(target, size, measured, goal, met)] for every target a run measured."""
    out = []

    def add(name, size, measured, goal, met, note=""):
        out.append((name, size, measured, goal, "MET" if met else "NOT MET", note))

    for res in results:
        size = res["label"]
        pooled = res["pooled"]
        goals = {"100k": (300, 60, 1000), "1m": (3000, 1000, None)}.get(size)
        if goals:
            g1, g2, g0 = goals
            p = pooled["extract_k1"]
            add("fuzzy_match k=1 vs rapidfuzz extract", size, f"{p['ratio']:.0f}×", f"≥ {g1}×", p["ratio"] >= g1,
                f"median over {p['n']} queries")
            p = pooled["extract_k2"]
            add("fuzzy_match k=2 vs rapidfuzz extract", size, f"{p['ratio']:.0f}×", f"≥ {g2}×", p["ratio"] >= g2,
                f"median over {p['n']} queries")
            if g0:
                p = pooled["extract_k0"]
                add("fuzzy_match exact k=0 vs rapidfuzz extract", size, f"{p['ratio']:.0f}×", f"≥ {g0}×",
                    p["ratio"] >= g0, f"median over {p['n']} queries")
        if size == "100k" and pooled["cdist_k1"]:
            p = pooled["cdist_k1"]
            add("fuzzy_match k=1 vs batched cdist per query", size, f"{p['ratio']:.0f}×", "≥ 50×", p["ratio"] >= 50,
                f"median over {p['n']} queries")
        p = pooled["naive_all"]
        add("fuzzy_match vs pure-Python trie walk", size, f"{p['ratio']:.0f}×", "≥ 200×", p["ratio"] >= 200,
            f"median over {p['n']} queries, all mixes")
        for mode in MODES:
            v = pooled["video10_over_fm"][mode]
            add(f"fuzzy_match_video limit 10 / fuzzy_match ({mode})", size, f"{v['ratio']:.2f}×", "≤ 1.5×",
                v["ratio"] <= 1.5, f"{v['n']} queries; worst mix {v['worst_mix']} {v['worst_ratio']:.2f}×")
        for mode in MODES:
            m = res["modes"][mode]
            b = m["build"]["terms_per_s"]
            add(f"from_internal_data_v2 ({mode})", size, f"{b / 1e6:.2f} M terms/s", "≥ 1 M terms/s", b >= 1e6)
            s = m["snapshot"]
            add(f"from_bytes ({mode})", size, f"{s['from_bytes_MBps'] / 1e3:.2f} GB/s", "≥ 1 GB/s",
                s["from_bytes_MBps"] >= 1000)
            add(f"from_bytes vs from_internal_data_v2 ({mode})", size, f"{s['from_bytes_speedup_over_build']:.1f}×",
                "≥ 10×", s["from_bytes_speedup_over_build"] >= 10)
            add(f"to_bytes ({mode})", size, f"{s['to_bytes_MBps'] / 1e3:.2f} GB/s", "≥ 1 GB/s",
                s["to_bytes_MBps"] >= 1000)
            mem = m["memory"]
            add(f"memory of a loaded instance ({mode})", size,
                f"{mem['growth'] / 1e6:.1f} MB = {mem['bytes_per_node_after_8_per_entry']:.1f} B/node + 8 B/entry",
                f"≤ {mem['budget'] / 1e6:.1f} MB (25 B/node + 8 B/entry)", mem["growth"] <= mem["budget"],
                f"{mem['entries_per_node']:.2f} entries/node; mean of {mem.get('copies', 1)} loaded copies")
    return out


def report(results, info, sampling, quick):
    out = []
    out.append("## Machine\n")
    out.append(table(["cpu", "cores (usable)", "python", "rapidfuzz", "commit", "date"],
                     [[info["cpu"], f"{info['cores']} ({info['usable_cores']})", info["python"], info["rapidfuzz"],
                       info["commit"] or "?", info["date"]]]))
    out.append(f"\nmodule: `{info['module']}`; {'--quick' if quick else 'full'} run; per query: median of {REPS} runs "
               f"for quorvatel (after an untimed call of the same query; all quorvatel calls interleaved query by "
               f"query), one run for peers; ratios are medians over the same queries.\n")

    out.append("## Data\n")
    out.append(table(
        ["size", "terms (distinct)", "nodes", "video rows", "video entries (after propagation)", "entries/node",
         "records + arrays s"],
        [[r["label"], f"{r['terms']:,} ({r['unique_terms']:,})", f"{r['nodes']:,}", f"{r['videos']:,}",
          f"{r['video_entries']:,}", f"{r['video_entries'] / r['nodes']:.2f}", fmt(r["data_seconds"])]
         for r in results]))

    out.append("\n## Build and snapshot\n")
    rows = []
    for r in results:
        for mode in MODES:
            m = r["modes"][mode]
            s = m["snapshot"]
            rows.append([
                r["label"], mode, fmt(m["build"]["seconds"]), f"{m['build']['terms_per_s'] / 1e6:.2f}",
                f"{s['bytes'] / 1e6:.1f}", fmt(s["to_bytes_s"] * 1e3), fmt(s["to_bytes_MBps"]),
                fmt(s["from_bytes_s"] * 1e3), fmt(s["from_bytes_MBps"]), f"{s['from_bytes_speedup_over_build']:.1f}×",
                f"{s['bytes_per_term']:.1f}", f"{s['structure_bytes_per_term']:.1f}",
                f"{r['marisa']['bytes_per_key']:.2f}",
            ])
    out.append(table(["size", "ids", "from_internal_data_v2 s", "M terms/s", "snapshot MB", "to_bytes ms",
                      "to_bytes MB/s", "from_bytes ms", "from_bytes MB/s", "from_bytes vs build",
                      "snapshot B/term", "of which trie shape B/term", "marisa B/key"], rows))
    out.append("\nruns: build " + ", ".join(f"{r['label']} ×{r['modes']['uuid']['build']['runs']}" for r in results)
               + "; snapshot " + ", ".join(f"{r['label']} ×{r['modes']['uuid']['snapshot']['runs']}" for r in results)
               + " (median). \"trie shape\" = node_shifts + child_labels + child_transitions + terminal_flags,"
               " the part comparable to marisa's keys-only trie; the rest is payloads and the video table."
               " marisa build: " + ", ".join(f"{r['label']} {r['marisa']['keys_per_s'] / 1e6:.2f} M keys/s"
                                            for r in results) + ".\n")

    out.append("## Resident memory (fresh process)\n")
    rows = []
    for r in results:
        for mode in MODES:
            mem = r["modes"][mode]["memory"]
            rows.append([r["label"], mode, f"{mem['growth'] / 1e6:.1f}", f"{mem['bytes_per_node']:.1f}",
                         f"{mem['bytes_per_node_after_8_per_entry']:.1f}", f"{mem['budget'] / 1e6:.1f}",
                         f"{r['pickle_memory']['growth'] / 1e6:.0f}", f"{r['pickle_memory']['bytes_per_node']:.0f}"])
    out.append(table(["size", "ids", "from_bytes RSS growth MB", "B/node (all)", "B/node after 8 B/entry",
                      "budget MB (25/node + 8/entry)", "unpickled arrays RSS MB", "arrays B/node"], rows))

    for r in results:
        out.append(f"\n## Latency, {r['label']} (µs per query; {sampling.per_mix} queries a mix)\n")
        rows = []
        for name, k, _ in MIXES:
            key = mix_key(name, k)
            e = r["mixes"][key]
            for mode in MODES:
                s = e["modes"][mode]
                rows.append([name, k, mode, fmt(e["mean_hits"]),
                             f"{fmt(s['fm']['median_us'])} / {fmt(s['fm']['p99_us'])}",
                             f"{fmt(s['fm10']['median_us'])} / {fmt(s['fm10']['p99_us'])}",
                             f"{fmt(s['fmv']['median_us'])} / {fmt(s['fmv']['p99_us'])}",
                             f"{fmt(s['fmv10']['median_us'])} / {fmt(s['fmv10']['p99_us'])}"])
        out.append(table(["mix", "k", "ids", "hits (mean)", "fuzzy_match med / p99", "limit 10 med / p99",
                          "fuzzy_match_video med / p99", "video limit 10 med / p99"], rows))
        out.append(f"\n## Peers, {r['label']} (ms per query; × = peer median / quorvatel fuzzy_match median on the"
                   " same queries)\n")
        rows = []
        for name, k, _ in MIXES:
            e = r["mixes"][mix_key(name, k)]
            row = [name, k]
            for peer in ("extract", "cdist", "naive"):
                p = e.get(peer)
                if p is None:
                    row += ["–", "–", "–"]
                else:
                    row += [p["n"], f"{fmt(p['median_us'] / 1e3)} / {fmt(p['p99_us'] / 1e3)}", f"{p['ratio']:,.0f}×"]
            rows.append(row)
        out.append(table(["mix", "k", "extract n", "extract med / p99", "×", "cdist n", "cdist med / p99", "×",
                          "py walk n", "py walk med / p99", "×"], rows))
        out.append(f"\npure-Python trie built in {r['naive_build_s']:.1f} s. cdist: {BATCH} queries a call, time per"
                   " query = call time / 32. Small samples: p99 of n < 100 is close to the maximum.")
    out.append("\n## Targets\n")
    out.append(table(["target", "size", "measured", "goal", "", "note"], targets(results)))
    return "\n".join(out) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", default="10k,100k,1m", help="comma-separated: 10k, 100k, 1m or a number")
    ap.add_argument("--quick", action="store_true", help="fewer queries per mix, smaller peer samples")
    ap.add_argument("--json", default=os.path.join(TOP, "build", "bench.json"), help="where to write the figures")
    ap.add_argument("--work", default=os.path.join(TOP, "build", "bench-work"), help="scratch directory")
    args = ap.parse_args()
    sampling = QUICK if args.quick else FULL
    sizes = []
    for s in args.sizes.split(","):
        s = s.strip().lower()
        if not s:
            continue
        sizes.append((s, SIZES[s]) if s in SIZES else (s, int(s.replace("_", ""))))
    os.makedirs(args.work, exist_ok=True)
    os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
    info = machine()
    started = time.perf_counter()
    results = [run_size(label, count, sampling, args.work) for label, count in sizes]
    text = report(results, info, sampling, args.quick)
    doc = {
        "machine": info,
        "quick": args.quick,
        "seed": SEED,
        "video_top_n": TOP_N,
        "reps": REPS,
        "mixes": [{"mix": n, "k": k, "queries": w} for n, k, w in MIXES],
        "sizes": results,
        "targets": [dict(zip(("target", "size", "measured", "goal", "status", "note"), t)) for t in targets(results)],
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
