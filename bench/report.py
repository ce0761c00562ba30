"""The report: markdown tables of a run's figures, and the performance
targets, kept as one table of data (TARGETS) and marked MET / NOT MET."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Callable

from queries import MIXES, mix_key
from timing import REPS

MODES = ("uuid", "int")


# ---------------------------------------------------------------- formatting


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


# ---------------------------------------------------------------- targets
#
# A measure takes one data set's results and an id mode and gives
# (value, shown, note), or None when the run did not measure it (a peer
# missing, a sample left out by --quick).


def _pooled_ratio(name):
    def measure(res, mode):
        p = res["pooled"].get(name)
        if p is None:
            return None
        return p["ratio"], f"{p['ratio']:,.0f}×", f"median over {p['n']} queries"

    return measure


def _median_us(k):
    def measure(res, mode):
        p = res["pooled"][f"fm_k{k}"]
        return p["median_us"], f"{p['median_us']:.1f} µs", f"median over {p['n']} queries of the k={k} mixes (uuid)"

    return measure


def _video_over_match(res, mode):
    v = res["pooled"]["video10_over_fm"][mode]
    return v["ratio"], f"{v['ratio']:.2f}×", f"{v['n']} queries; worst mix {v['worst_mix']} {v['worst_ratio']:.2f}×"


def _build_rate(res, mode):
    b = res["modes"][mode]["build"]["terms_per_s"]
    return b, f"{b / 1e6:.2f} M terms/s", ""


def _from_bytes_rate(res, mode):
    s = res["modes"][mode]["snapshot"]
    return s["from_bytes_MBps"] / 1e3, f"{s['from_bytes_MBps'] / 1e3:.2f} GB/s", ""


def _to_bytes_rate(res, mode):
    s = res["modes"][mode]["snapshot"]
    return s["to_bytes_MBps"] / 1e3, f"{s['to_bytes_MBps'] / 1e3:.2f} GB/s", ""


def _load_over_build(res, mode):
    s = res["modes"][mode]["snapshot"]
    return s["from_bytes_speedup_over_build"], f"{s['from_bytes_speedup_over_build']:.1f}×", ""


def _from_bytes_ms(res, mode):
    ms = res["modes"][mode]["snapshot"]["from_bytes_s"] * 1e3
    return ms, f"{ms:.0f} ms", ""


def _memory_over_budget(res, mode):
    mem = res["modes"][mode]["memory"]
    shown = f"{mem['growth'] / 1e6:.1f} MB = {mem['bytes_per_node_after_8_per_entry']:.1f} B/node + 8 B/entry"
    note = f"{mem['entries_per_node']:.2f} entries/node; mean of {mem.get('copies', 1)} loaded copies"
    # value 1.0 means exactly the budget of 25 B/node + 8 B/entry
    return mem["growth"] / mem["budget"], shown, f"budget {mem['budget'] / 1e6:.1f} MB; {note}"


def _memory_per_node(res, mode):
    mem = res["modes"][mode]["memory"]
    return mem["bytes_per_node"], f"{mem['bytes_per_node']:.1f} B/node", f"{mem['growth'] / 1e6:.1f} MB all in"


@dataclass(frozen=True)
class Target:
    name: str
    sets: tuple | None  # the data sets it applies to; None: every set
    measure: Callable
    goal: float
    shown_goal: str
    at_most: bool = False  # the value must be at most the goal (else at least)
    per_mode: bool = False  # one row per id mode

    def applies(self, label):
        return self.sets is None or label in self.sets


TARGETS = [
    # queries against the peers
    Target("fuzzy_match k=1 vs rapidfuzz extract", ("100k",), _pooled_ratio("extract_k1"), 300, "≥ 300×"),
    Target("fuzzy_match k=1 vs rapidfuzz extract", ("dense",), _pooled_ratio("extract_k1"), 800, "≥ 800×"),
    Target("fuzzy_match k=1 vs rapidfuzz extract", ("1m",), _pooled_ratio("extract_k1"), 3000, "≥ 3000×"),
    Target("fuzzy_match k=2 vs rapidfuzz extract", ("100k",), _pooled_ratio("extract_k2"), 60, "≥ 60×"),
    Target("fuzzy_match k=2 vs rapidfuzz extract", ("dense",), _pooled_ratio("extract_k2"), 90, "≥ 90×"),
    Target("fuzzy_match k=2 vs rapidfuzz extract", ("1m",), _pooled_ratio("extract_k2"), 1000, "≥ 1000×"),
    Target("fuzzy_match exact k=0 vs rapidfuzz extract", ("100k",), _pooled_ratio("extract_k0"), 1000, "≥ 1000×"),
    Target("fuzzy_match k=1 vs batched cdist per query", ("100k",), _pooled_ratio("cdist_k1"), 50, "≥ 50×"),
    Target("fuzzy_match k=1 vs batched cdist per query", ("dense",), _pooled_ratio("cdist_k1"), 150, "≥ 150×"),
    Target("fuzzy_match k=2 vs batched cdist per query", ("dense",), _pooled_ratio("cdist_k2"), 20, "≥ 20×"),
    Target("fuzzy_match vs pure-Python trie walk", None, _pooled_ratio("naive_all"), 200, "≥ 200×"),
    # latency
    Target("fuzzy_match k=1 median", ("1m",), _median_us(1), 8, "≤ 8 µs", at_most=True),
    Target("fuzzy_match k=2 median", ("1m",), _median_us(2), 150, "≤ 150 µs", at_most=True),
    Target("fuzzy_match_video limit 10 / fuzzy_match ({mode})", None, _video_over_match, 1.5, "≤ 1.5×",
           at_most=True, per_mode=True),
    Target("fuzzy_match_video limit 10 / fuzzy_match ({mode})", ("1m",), _video_over_match, 1.3, "≤ 1.3×",
           at_most=True, per_mode=True),
    # building and snapshots
    Target("from_internal_data_v2 ({mode})", None, _build_rate, 1e6, "≥ 1 M terms/s", per_mode=True),
    Target("from_bytes ({mode})", None, _from_bytes_rate, 1.0, "≥ 1 GB/s", per_mode=True),
    Target("from_bytes ({mode})", ("1m",), _from_bytes_ms, 200, "≤ 200 ms", at_most=True, per_mode=True),
    Target("from_bytes vs from_internal_data_v2 ({mode})", None, _load_over_build, 10, "≥ 10×", per_mode=True),
    Target("to_bytes ({mode})", None, _to_bytes_rate, 1.0, "≥ 1 GB/s", per_mode=True),
    # memory
    Target("memory of a loaded instance ({mode})", None, _memory_over_budget, 1.0, "≤ 25 B/node + 8 B/entry",
           at_most=True, per_mode=True),
    Target("memory of a loaded instance, all in ({mode})", ("1m",), _memory_per_node, 30, "≤ 30 B/node",
           at_most=True, per_mode=True),
    Target("memory of a loaded instance, all in ({mode})", ("dense",), _memory_per_node, 35, "≤ 35 B/node",
           at_most=True, per_mode=True),
]


def targets(results):
    """[(target, set, measured, goal, status, note)] for every target that
    applies to a set of the run."""
    out = []
    for res in results:
        for target in TARGETS:
            if not target.applies(res["label"]):
                continue
            for mode in MODES if target.per_mode else ("uuid",):
                name = target.name.format(mode=mode)
                got = target.measure(res, mode)
                if got is None:
                    out.append((name, res["label"], "–", target.shown_goal, "NOT MEASURED",
                                "a peer or sample this run left out"))
                    continue
                value, shown, note = got
                met = value <= target.goal if target.at_most else value >= target.goal
                out.append((name, res["label"], shown, target.shown_goal, "MET" if met else "NOT MET", note))
    return out


# ---------------------------------------------------------------- the report


def peer_row(entry, peer):
    p = entry.get(peer)
    if p is None:
        return ["–", "–", "–"]
    return [p["n"], f"{fmt(p['median_us'] / 1e3)} / {fmt(p['p99_us'] / 1e3)}", f"{p['ratio']:,.0f}×"]


def report(results, info, sampling, quick, notes):
    out = ["## Machine\n"]
    out.append(table(["cpu", "cores (usable)", "python", "rapidfuzz", "commit", "date"],
                     [[info["cpu"], f"{info['cores']} ({info['usable_cores']})", info["python"],
                       info["rapidfuzz"] or "–", info["commit"] or "?", info["date"]]]))
    out.append(f"\nmodule: `{info['module']}`; {'--quick' if quick else 'full'} run; per query: median of {REPS} runs "
               f"for quorvatel (after an untimed call of the same query; all quorvatel calls interleaved query by "
               f"query), one run for peers; ratios are medians over the same queries.\n")
    for note in notes:
        out.append(f"Note: {note}\n")

    out.append("## Data\n")
    out.append(table(
        ["set", "kind", "terms (distinct)", "nodes", "video rows", "video entries (after propagation)",
         "entries/node", "records + arrays s"],
        [[r["label"], r["kind"], f"{r['terms']:,} ({r['unique_terms']:,})", f"{r['nodes']:,}", f"{r['videos']:,}",
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
                f"{r['marisa']['bytes_per_key']:.2f}" if r["marisa"] else "–",
            ])
    out.append(table(["set", "ids", "from_internal_data_v2 s", "M terms/s", "snapshot MB", "to_bytes ms",
                      "to_bytes MB/s", "from_bytes ms", "from_bytes MB/s", "from_bytes vs build",
                      "snapshot B/term", "of which trie shape B/term", "marisa B/key"], rows))
    marisa = ", ".join(f"{r['label']} {r['marisa']['keys_per_s'] / 1e6:.2f} M keys/s" for r in results if r["marisa"])
    out.append("\nruns: build " + ", ".join(f"{r['label']} ×{r['modes']['uuid']['build']['runs']}" for r in results)
               + "; snapshot " + ", ".join(f"{r['label']} ×{r['modes']['uuid']['snapshot']['runs']}" for r in results)
               + " (median). \"trie shape\" = node_shifts + child_labels + child_transitions + terminal_flags,"
               " the part comparable to marisa's keys-only trie; the rest is payloads and the video table."
               + (f" marisa build: {marisa}." if marisa else "") + "\n")

    out.append("## Resident memory (fresh process)\n")
    rows = []
    for r in results:
        for mode in MODES:
            mem = r["modes"][mode]["memory"]
            rows.append([r["label"], mode, f"{mem['growth'] / 1e6:.1f}", f"{mem['bytes_per_node']:.1f}",
                         f"{mem['bytes_per_node_after_8_per_entry']:.1f}", f"{mem['budget'] / 1e6:.1f}",
                         f"{r['pickle_memory']['growth'] / 1e6:.0f}", f"{r['pickle_memory']['bytes_per_node']:.0f}"])
    out.append(table(["set", "ids", "from_bytes RSS growth MB", "B/node (all)", "B/node after 8 B/entry",
                      "budget MB (25/node + 8/entry)", "unpickled arrays RSS MB", "arrays B/node"], rows))
    out.append("\n\"after 8 B/entry\" charges every listed video entry 8 bytes, as an index that stored each node's "
               "list in full would; a node whose list equals its only child's shares the child's, and entries are "
               "packed in 2 to 8 bytes, so the remainder can be negative: the figure to read is B/node (all).\n")

    for r in results:
        out.append(f"\n## Latency, {r['label']} (µs per query; {sampling.per_mix} queries a mix)\n")
        rows = []
        for name, k, _ in MIXES:
            e = r["mixes"][mix_key(name, k)]
            v = e.get("visited")
            for mode in MODES:
                s = e["modes"][mode]
                rows.append([name, k, mode, fmt(e["mean_hits"]),
                             f"{fmt(s['fm']['median_us'])} / {fmt(s['fm']['p99_us'])}",
                             f"{fmt(s['fm10']['median_us'])} / {fmt(s['fm10']['p99_us'])}",
                             f"{fmt(s['fmv']['median_us'])} / {fmt(s['fmv']['p99_us'])}",
                             f"{fmt(s['fmv10']['median_us'])} / {fmt(s['fmv10']['p99_us'])}",
                             fmt(v["mean"]) if v else "–", fmt(v["ns_per_node"][mode]) if v else "–"])
        out.append(table(["mix", "k", "ids", "hits (mean)", "fuzzy_match med / p99", "limit 10 med / p99",
                          "fuzzy_match_video med / p99", "video limit 10 med / p99", "nodes visited (mean)",
                          "ns / visited node"], rows))
        n_visited = max((e["visited"]["n"] for e in r["mixes"].values() if e.get("visited")), default=0)
        out.append(f"\nnodes visited: the nodes whose edit-distance row the walk fills (every child of a node it "
                   f"enters), counted by the pure-Python walk, which prunes as the native walk does, on the first "
                   f"{n_visited} queries of each mix; ns / visited node = fuzzy_match time / nodes visited over "
                   f"those queries.")
        out.append(f"\n## Peers, {r['label']} (ms per query; × = peer median / quorvatel fuzzy_match median on the"
                   " same queries)\n")
        rows = [[name, k, *peer_row(e, "extract"), *peer_row(e, "cdist"), *peer_row(e, "naive")]
                for name, k, _ in MIXES for e in [r["mixes"][mix_key(name, k)]]]
        out.append(table(["mix", "k", "extract n", "extract med / p99", "×", "cdist n", "cdist med / p99", "×",
                          "py walk n", "py walk med / p99", "×"], rows))
        out.append(f"\npure-Python trie built in {r['naive_build_s']:.1f} s. cdist: 32 queries a call, time per"
                   " query = call time / 32. Small samples: p99 of n < 100 is close to the maximum.")
    out.append("\n## Targets\n")
    out.append(table(["target", "set", "measured", "goal", "", "note"], targets(results)))
    return "\n".join(out) + "\n"
