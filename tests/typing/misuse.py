"""Each line marked `# wrong` must be reported by mypy --strict."""

import quorvatel
from _quorvatel import PrefixSearch

index = quorvatel.build([("a", 1, 1)])
index.fuzzy_match(5)  # wrong
index.fuzzy_match("a", max_dist="1")  # wrong
index.fuzzy_match_video("a", include_prefix_nodes=1)  # wrong
text: str = index.to_bytes()  # wrong
PrefixSearch.from_bytes(bytearray(b""))  # wrong
distance: str = index.fuzzy_match("a")[0][2]  # wrong
quorvatel.save(b"", "x")  # wrong
quorvatel.build([("a", 1, 1)], video_top_n=None)  # wrong
quorvatel.complete(index, "a", 5)  # wrong
quorvatel.suggest(index, "a", max_dist="two")  # wrong
quorvatel.complete(index, b"a")  # wrong
completed: str = quorvatel.complete(index, "a")[0].count  # wrong
quorvatel.fuzzy_match_many(index, ["a"], 1)  # wrong
quorvatel.complete_many(index, [b"a"])  # wrong
quorvatel.fuzzy_match_video_many(index, ["a"], workers="2")  # wrong
