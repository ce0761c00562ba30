"""Puts the tables of a `make bench` report into the README's Benchmarks
section:  python3 bench/readme_table.py REPORT  (the saved output of make bench)."""
import re
import sys

log = open(sys.argv[1]).read()
log = re.sub(r"^module: `[^`]*`; ", "", log, flags=re.M)
def section(title):
    m = re.search(r"^## " + re.escape(title) + r"\n(.*?)(?=^## |\Z)", log, re.S | re.M)
    body = m.group(1)
    body = body.split("\nfigures written to")[0]  # the report's last lines are no table
    return body.strip()
core = [l for l in log.splitlines() if l.startswith("BM_")]
parts = ["## Benchmarks", "",
 "`make bench` runs the core's Google Benchmark binary and then `bench/bench.py`, which builds seeded data from Debian's",
 "word lists (10k, 100k and 1M terms; 1M adds two-word phrases; Zipf counts, 1 to 5 videos a term, both id modes) and",
 "times quorvatel beside RapidFuzz (`process.extract` and batched `process.cdist` with `Levenshtein.distance`, results",
 "checked equal), marisa-trie and the classic pure-Python trie walk, in one process. It prints the tables below and",
 "writes `build/bench.json`. The run quoted here:", "",
 section("Machine"), "", "### Targets", "", section("Targets"), "",
 "### Build, snapshots and memory", "", section("Build and snapshot"), "", section("Resident memory (fresh process)"), "",
 "### Latency on 1M terms (µs per query)", "", section("Latency, 1m (µs per query; 200 queries a mix)"), "",
 "### Against the peers on 100k and 1M terms (ms per query)", "", "100k:", "", section("Peers, 100k (ms per query; × = peer median / quorvatel fuzzy_match median on the same queries)"), "",
 "1M:", "", section("Peers, 1m (ms per query; × = peer median / quorvatel fuzzy_match median on the same queries)"), "",
 "### The core alone (core_bench, 100k words from `american-english`)", "", "```", *core, "```", ""]
text = "\n".join(parts) + "\n"
readme = open("README.md").read()
a = readme.index("## Benchmarks")
b = readme.index("## Layout")
open("README.md", "w").write(readme[:a] + text + readme[b:])
