"""Builds a trie of one million terms (words and two-word phrases) with
from_internal_data_v2 and reports its time and the process's peak memory."""

import resource
import sys
import time

sys.path.insert(0, __import__("os").path.dirname(__file__))

from data import Records  # noqa: E402

from _quorvatel import PrefixSearch  # noqa: E402

count = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
records = Records(count, seed=7)
arrays = records.arrays()
peak_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
trie = PrefixSearch.from_internal_data_v2(*arrays, 10)
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(f"terms {count}, nodes {len(arrays[1])}, videos {len(arrays[4])}")
print(f"from_internal_data_v2: {seconds:.2f} s ({count / seconds / 1e6:.2f} M terms/s)")
print(f"peak RSS: {peak / 1024:.0f} MiB (before the build, with the host's lists: {peak_before / 1024:.0f} MiB)")
print(f"snapshot: {len(trie.to_bytes()) / 1e6:.1f} MB")
print("query 'hello', k=1:", trie.fuzzy_match("hello", 1)[:5])
