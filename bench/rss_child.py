"""Run by memory.py in a fresh interpreter: the resident memory that loading
one thing adds, as JSON on standard output.

    python3.14 bench/rss_child.py snapshot PATH COPIES   PrefixSearch.from_bytes, COPIES times
    python3.14 bench/rss_child.py pickle PATH 1          the pickled flat arrays
"""

import gc
import json
import os
import pickle
import sys


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main():
    kind, path, copies = sys.argv[1], sys.argv[2], int(sys.argv[3])
    if kind == "snapshot":
        from _quorvatel import PrefixSearch

        with open(path, "rb") as f:
            data = f.read()
        gc.collect()
        before = rss()
        objs = [PrefixSearch.from_bytes(data) for _ in range(copies)]
        after = rss()
        if objs[-1].to_bytes() != data:
            raise SystemExit("the reloaded snapshot differs")
    else:
        gc.collect()
        before = rss()
        with open(path, "rb") as f:
            obj = pickle.load(f)  # noqa: F841 (held while measuring)
        after = rss()
    print(json.dumps({"before": before, "after": after, "growth": (after - before) / copies, "copies": copies}))


if __name__ == "__main__":
    main()
