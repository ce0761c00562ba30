"""Type-checked with mypy --strict against the package's stubs (not run).
Lines ending in "# numpy" are left out where numpy is not installed."""

import uuid

import numpy  # numpy

import quorvatel
from _quorvatel import PrefixSearch

records: list[tuple[str, uuid.UUID | None, int]] = [("python", uuid.UUID(int=1), 3), ("pythons", None, 1)]
index: PrefixSearch = quorvatel.build(records, video_top_n=5)
terms: list[tuple[str, int, int]] = index.fuzzy_match("pyton", max_dist=2, limit=None)
videos: list[tuple[str, float]] = index.fuzzy_match_video("pyton", 1, 10, include_prefix_nodes=True, min_score=0.5)
index.fuzzy_match_video("pyton", include_prefix_nodes=numpy.bool_(False))  # numpy
first_term, terminal, distance = terms[0]
video_id, score = videos[0]
index = quorvatel.build([["java", 7, 1], ("go", 8, 2)])
snapshot: bytes = index.to_bytes()
again: PrefixSearch = PrefixSearch.from_bytes(snapshot)
flat = PrefixSearch.from_internal_data_v2([0, 1], ["", "a"], [None, (1, [0], [1])], [1], [b"\1\0\0\0"], 2)
quorvatel.save(flat, "index.qvx")
loaded = quorvatel.load("index.qvx", check=False)
found: quorvatel.IndexInfo = quorvatel.info("index.qvx")
nodes: int = found.nodes
problem: str | None = found.problem
read: list[tuple[str, bytes | int | None, int]] = quorvatel.read_tsv("records.tsv")
completions: list[quorvatel.Completion] = quorvatel.complete(index, "pyt", limit=5, max_dist="auto")
suggested = quorvatel.suggest(index, "pyhton", max_dist=2, prefix_length=1, transpositions=False, limit=None)
best_term: str = completions[0].term
own_count: int = suggested[0].count
term_text, term_count, term_distance = completions[0]
many: list[list[tuple[str, int, int]]] = quorvatel.fuzzy_match_many(index, ["pyton", "jav"], max_dist=2, workers=2)
many_videos: list[list[tuple[str, float]]] = quorvatel.fuzzy_match_video_many(index, iter(["pyton"]), min_score=0.1)
many_completions: list[list[quorvatel.Completion]] = quorvatel.complete_many(index, ("pyt",), limit=None, workers=None)
