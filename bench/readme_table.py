"""Puts the tables of a `make bench` report into the README's Benchmarks
section:

    python3 bench/readme_table.py REPORT [README]

REPORT is the saved output of `make bench` (core_bench's lines, then
bench.py's report); README defaults to README.md. The section between
"## Benchmarks" and the next "## Layout" heading is replaced. Any problem
(a file that cannot be read, a report without a table the section needs, a
README without the headings) is one line on standard error and status 1.
"""

import re
import sys

LATENCY_SET = "1m"
PEER_SETS = ("100k", "dense", "1m")


class ReportError(Exception):
    pass


def read(path, what):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except OSError as e:
        raise ReportError(f"cannot read the {what} {path}: {e.strerror}") from None


def section(log, title):
    """The body of the report section whose heading starts with `title`."""
    m = re.search(r"^## " + re.escape(title) + r"[^\n]*\n(.*?)(?=^## |\Z)", log, re.S | re.M)
    if m is None:
        raise ReportError(f"the report has no section '## {title}': is it the output of a full `make bench` "
                          f"with the sets {', '.join(sorted({LATENCY_SET, *PEER_SETS}))}?")
    return m.group(1).split("\nfigures written to")[0].strip()  # the report's last lines are no table


def readme_text(log):
    log = re.sub(r"^module: `[^`]*`; ", "", log, flags=re.M)
    core = [line for line in log.splitlines() if line.startswith("BM_")]
    if not core:
        raise ReportError("the report holds no core_bench lines (BM_...): save the whole output of `make bench`")
    parts = [
        "## Benchmarks", "",
        "`make bench` runs the core's Google Benchmark binary and then `bench/bench.py`, which builds seeded data "
        "from Debian's",
        "word lists (10k, 100k and 1M terms sampled from the largest list, 1M adding two-word phrases, and the dense "
        "set: every",
        "word of `american-english`; Zipf counts, 1 to 5 videos a term, both id modes) and times quorvatel beside "
        "RapidFuzz",
        "(`process.extract` and batched `process.cdist` with `Levenshtein.distance`, results checked equal), "
        "marisa-trie and the",
        "classic pure-Python trie walk, in one process. It prints the tables below and writes `build/bench.json`. "
        "The run quoted here:", "",
        section(log, "Machine"), "", "### Targets", "", section(log, "Targets"), "",
        "### Build, snapshots and memory", "", section(log, "Build and snapshot"), "",
        section(log, "Resident memory (fresh process)"), "",
        f"### Latency on {LATENCY_SET.upper()} terms (µs per query)", "", section(log, f"Latency, {LATENCY_SET} "), "",
        "### Against the peers (ms per query)", "",
    ]
    for name in PEER_SETS:
        parts += [f"{name}:", "", section(log, f"Peers, {name} "), ""]
    parts += ["### The core alone (core_bench)", "", "```", *core, "```", ""]
    return "\n".join(parts) + "\n"


def main(argv):
    if len(argv) not in (2, 3):
        raise ReportError("usage: python3 bench/readme_table.py REPORT [README]")
    readme_path = argv[2] if len(argv) == 3 else "README.md"
    text = readme_text(read(argv[1], "report"))
    readme = read(readme_path, "README")
    start, end = readme.find("## Benchmarks"), readme.find("## Layout")
    if start < 0 or end < start:
        raise ReportError(f"{readme_path} has no '## Benchmarks' section followed by '## Layout'")
    try:
        with open(readme_path, "w", encoding="utf-8") as f:
            f.write(readme[:start] + text + readme[end:])
    except OSError as e:
        raise ReportError(f"cannot write {readme_path}: {e.strerror}") from None


if __name__ == "__main__":
    try:
        main(sys.argv)
    except ReportError as e:
        print(f"readme_table: {e}", file=sys.stderr)
        sys.exit(1)
