"""Build time and peak memory of tries whose nodes are reached along many
paths (duplicate edges), each case in a fresh process:

- chain: root -> 1 -> 2, the second step by 2^15 + 1 duplicate edges, node 2
  holding 65,536 videos (every total at node 1 is 32,769);
- fan: root -> 1 by 8,000 duplicate edges, node 1 holding 8,000 videos;
- fan1: the same with one edge, for comparison.

    scripts/toolchain run env PYTHONPATH=build/<env>-release/python python3.14 bench/many_paths.py
"""

import json
import resource
import subprocess
import sys
import time

CASES = {
    "chain": (2**15 + 1, 65536, True),
    "fan": (8000, 8000, False),
    "fan1": (1, 8000, False),
}


def arrays(edges, videos, chain):
    ids = list(range(videos))
    leaf = (1, ids, [1] * videos)
    index = [i.to_bytes(4, "little") for i in range(videos)]
    if chain:
        return [0, 1, 1 + edges], ["", "a", "b"], [None, None, leaf], [1] + [2] * edges, index
    return [0, edges], ["", "a"], [None, leaf], [1] * edges, index


def run_one(name):
    from _quorvatel import PrefixSearch

    args = arrays(*CASES[name])
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    try:
        PrefixSearch.from_internal_data_v2(*args, 2**64 - 1)
        outcome = "built"
    except MemoryError as e:
        outcome = f"MemoryError {e}"
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"case": name, "outcome": outcome, "ms": seconds * 1e3, "peak_mib": (after - before) / 1024}))


def main():
    if len(sys.argv) > 1:
        run_one(sys.argv[1])
        return
    for name in CASES:
        out = subprocess.run([sys.executable, __file__, name], capture_output=True, text=True, check=False)
        if out.returncode != 0:
            print(f"{name}: exit {out.returncode} {out.stderr.strip()[-200:]}")
            continue
        r = json.loads(out.stdout)
        print(f"{r['case']:6} {r['outcome']:12} build {r['ms']:9.1f} ms, peak +{r['peak_mib']:.1f} MiB")


if __name__ == "__main__":
    main()
