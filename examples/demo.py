"""A short tour of _quorvatel: build a trie from flat arrays, query it,
write a snapshot and load it back."""

import time

import _quorvatel
from _quorvatel import PrefixSearch

print("module _quorvatel exports:", _quorvatel.__all__)
for name in ("from_internal_data_v2", "from_bytes", "to_bytes", "fuzzy_match", "fuzzy_match_video"):
    print(f"  PrefixSearch.{name}{getattr(PrefixSearch, name).__text_signature__}")

# The terms "ab" and "ac" in four nodes, parents before children.
trie = PrefixSearch.from_internal_data_v2(
    node_shifts=[0, 1, 3, 3],
    child_labels=["", "a", "b", "c"],
    payloads=[None, None, (5, [0], [5]), (3, [1, 0], [2, 1])],
    child_transitions=[1, 2, 3],
    video_index=[(1).to_bytes(4, "little"), (2).to_bytes(4, "little")],
    video_top_n=2,
)
print("fuzzy_match('ab')            ->", trie.fuzzy_match("ab"))
print("fuzzy_match_video('ab')      ->", trie.fuzzy_match_video("ab"))
print("fuzzy_match_video('ab', include_prefix_nodes=True) ->",
      trie.fuzzy_match_video("ab", include_prefix_nodes=True))
snapshot = trie.to_bytes()
start = time.perf_counter()
again = PrefixSearch.from_bytes(snapshot)
print(f"snapshot: {len(snapshot)} bytes, reloaded in {(time.perf_counter() - start) * 1e6:.1f} us,",
      "identical" if again.to_bytes() == snapshot else "DIFFERENT")
