"""Memory of several worker processes serving one index: each opens the same
mapped file (or, for comparison, loads its own copy of the snapshot) and
answers a query mix that touches the whole index; the proportional set size
(Pss, from /proc/PID/smaps_rollup) of the workers is summed and compared with
as many bare interpreters (the same imports, no index).

    PYTHONPATH=build/<env>-release/python:python python3.14 bench/mapped_memory.py \\
        [--terms 1000000] [--workers 8] [--dir build/mapped_bench]

Reported per kind: what 1 worker adds beyond 1 bare interpreter, what N
workers add beyond N bare interpreters, and their ratio (a shared mapping
should add the index once: a ratio near 1; private copies add it N times).
The files are those of bench/mapped_bench.py (built there when missing).
"""

from __future__ import annotations

import argparse
import os
import random
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def worker(kind: str, path: str, terms_file: str) -> None:
    import quorvatel

    index = None
    if kind == "mapped":
        index = quorvatel.open(path)
    elif kind == "private":
        index = quorvatel.load(path, check=False)
    with open(terms_file, encoding="utf-8") as f:
        terms = f.read().split("\n")  # the same in the bare interpreters
    if index is not None:
        rng = random.Random(os.getpid())
        index.to_bytes()  # every array once, then a mix of queries
        for q in rng.sample(terms, 2000):
            index.fuzzy_match(q, 1)
            index.fuzzy_match_video(q[:-1], 2)
            quorvatel.complete(index, q[:4])
    print("ready", flush=True)
    sys.stdin.read()  # until the parent closes the pipe


def pss_kib(pid: int) -> int:
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            if line.startswith("Pss:"):
                return int(line.split()[1])
    raise RuntimeError(f"no Pss for {pid}")


def run(kind: str, count: int, path: str, terms_file: str) -> int:
    """Summed Pss (KiB) of `count` workers of `kind`, all alive at once."""
    procs = [
        subprocess.Popen([sys.executable, __file__, "--worker", kind, path, terms_file], stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, text=True)
        for _ in range(count)
    ]
    try:
        for p in procs:
            if p.stdout.readline().strip() != "ready":
                raise RuntimeError(f"worker {p.pid} failed")
        return sum(pss_kib(p.pid) for p in procs)
    finally:
        for p in procs:
            p.stdin.close()
        for p in procs:
            p.wait()


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        worker(*sys.argv[2:5])
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("--terms", type=int, default=1_000_000)
    parser.add_argument("--workers", type=int, default=8)
    parser.add_argument("--dir", default="build/mapped_bench")
    args = parser.parse_args()
    sys.path.insert(0, HERE)
    from mapped_bench import build_files

    snapshot, mapped, terms = build_files(args.terms, args.dir)
    terms_file = os.path.join(args.dir, f"queries{args.terms}.txt")
    # A sample of the terms: a worker holds its queries only, not the vocabulary.
    sample = random.Random(5).sample([t for t in terms if len(t) > 2], 20_000)
    with open(terms_file, "w", encoding="utf-8") as f:
        f.write("\n".join(sample))
    n = args.workers
    bare1 = run("bare", 1, "", terms_file)
    baren = run("bare", n, "", terms_file)
    print(f"{args.terms:,} terms; bare interpreters: 1 = {bare1 / 1024:.1f} MiB, {n} = {baren / 1024:.1f} MiB Pss")
    for kind, path in (("mapped", mapped), ("private", snapshot)):
        one = run(kind, 1, path, terms_file) - bare1
        many = run(kind, n, path, terms_file) - baren
        print(f"{kind}: 1 worker adds {one / 1024:.1f} MiB, {n} workers add {many / 1024:.1f} MiB: "
              f"{many / one:.2f}x")


if __name__ == "__main__":
    main()
