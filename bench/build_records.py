"""quorvatel.build() from records against PrefixSearch.from_internal_data_v2
on the same trie, in one process.

    PYTHONPATH=<build>/python:python python3.14 bench/build_records.py [COUNT] [--repeat N]

The records are one (term, video id, count) row per (term, video) pair of
data.Records(COUNT, seed=7), video ids as 16-byte bytes and as uuid.UUID.
The flat arrays for from_internal_data_v2 are computed from the same records
in plain Python (tests/shared/term_arrays.record_arrays, not timed), laid out
as build() lays them out, so both calls build exactly the same trie; the
script checks that their snapshots are equal.
"""

import argparse
import gc
import os
import sys
import time
import uuid

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "shared"))

from data import Records  # noqa: E402
from term_arrays import record_arrays  # noqa: E402

import quorvatel  # noqa: E402
from _quorvatel import PrefixSearch  # noqa: E402

def best(repeat, call):
    times = []
    result = None
    for _ in range(repeat):
        result = None
        gc.collect()
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return min(times), result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("count", nargs="?", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    data = Records(args.count, seed=7)
    records = data.rows()
    as_uuids = {b: uuid.UUID(bytes=b) for b in data.video_index}
    uuid_records = [(t, as_uuids[v], c) for t, v, c in records]
    del as_uuids
    arrays = record_arrays(records)
    print(f"terms {args.count:,}, records {len(records):,}, nodes {len(arrays[1]):,}, videos {len(arrays[4]):,}")

    t_flat, flat = best(args.repeat, lambda: PrefixSearch.from_internal_data_v2(*arrays, 10))
    expected = flat.to_bytes()
    del flat
    print(f"from_internal_data_v2 (flat arrays)      {t_flat:6.2f} s")
    for label, rows in (("bytes ids", records), ("uuid.UUID ids", uuid_records)):
        t_build, built = best(args.repeat, lambda rows=rows: quorvatel.build(rows, video_top_n=10))
        same = built.to_bytes() == expected
        del built
        print(
            f"quorvatel.build (records, {label:13}) {t_build:6.2f} s  = {t_build / t_flat:.2f} x, "
            f"snapshot {'identical' if same else 'DIFFERENT'}"
        )
        if not same:
            sys.exit(1)
    print(f"snapshot {len(expected) / 1e6:.1f} MB; best of {args.repeat} runs each")


if __name__ == "__main__":
    main()
