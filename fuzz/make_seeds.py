"""Writes the seed corpora of the fuzz targets (run with the module built:
PYTHONPATH=<build>/python python3.14 fuzz/make_seeds.py). Deterministic."""

import os
import random
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "shared"))

from snapshot_format import encode  # noqa: E402
from term_arrays import flat_arrays  # noqa: E402

from _quorvatel import PrefixSearch  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
rng = random.Random(2026)


def built(terms, video_top_n, id_width):
    """The snapshot of the trie of {term: (count, [(video row, count), ...])},
    nodes numbered breadth-first, ids of `id_width` bytes."""

    def payload(term):
        count, videos = terms[term]
        return count, [v for v, _ in videos], [c for _, c in videos]

    rows = max((v for _, videos in terms.values() for v, _ in videos), default=-1) + 1
    index = [i.to_bytes(4, "little") if id_width == 4 else bytes([i % 256]) * 16 for i in range(rows)]
    return PrefixSearch.from_internal_data_v2(*flat_arrays(terms, payload, "breadth"), index, video_top_n).to_bytes()


def query_header(term, max_dist, limit=None):
    raw = term.encode()
    return bytes([max_dist, 255 if limit is None else 250 + limit, len(raw)]) + raw


def write(folder, name, data):
    path = os.path.join(HERE, "corpus", folder)
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, name), "wb") as f:
        f.write(data)


worked = {
    "e_acute": encode([0, 1], "\0é", [1], [(3, [0], [3])] * 2, (), [1000], 1, [0, 1]),
    "ab_ac": encode([0, 1, 3, 3], "\0abc", [1, 2, 3], [(8, [0, 1], [6, 2])] * 2 + [(5, [0], [5]), (3, [1, 0], [2, 1])],
                    (), [1, 2], 1, [0, 0, 1, 1]),
    "empty": encode(),
    # a node reached along many paths: each of nodes 1..3 has two edges to the next
    "diamonds": encode([0, 2, 4, 6], "\0aaa", [1, 1, 2, 2, 3, 3], [None] * 4, flags=[0, 1, 1, 1]),
    # a cycle: node 1 leads to itself
    "cycle": encode([0, 1], "\0a", [1, 1], [None, (3, [0], [1])], flags=[0, 1]),
}
for name, snapshot in worked.items():
    for term, d in [("ab", 1), ("", 2), ("aaa", 3), ("é", 0)]:
        write("snapshot_fuzz", f"{name}-{d}-{len(term)}", query_header(term, d) + snapshot)

alphabet = "abcé😀"
for i in range(40):
    terms = {
        "".join(rng.choice(alphabet) for _ in range(rng.randint(1, 6))): (
            rng.randint(0, 50),
            [(rng.randint(0, 5), rng.randint(0, 9)) for _ in range(rng.randint(0, 3))],
        )
        for _ in range(rng.randint(1, 12))
    }
    snapshot = built(terms, video_top_n=rng.randint(0, 3), id_width=rng.choice([4, 16]))
    term = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 5)))
    write("snapshot_fuzz", f"random-{i:02d}", query_header(term, rng.randint(0, 3), rng.choice([None, 0, 2])) +
          snapshot)

for i in range(40):
    write("build_fuzz", f"random-{i:02d}", bytes(rng.getrandbits(8) for _ in range(rng.randint(8, 400))))


def record_ops(terms, rows, int_ids=True):
    """records_fuzz input after its query header: video_top_n, hash mode,
    then one operation per step (0 term, 1 integer video, 2 16-byte video,
    3 record)."""
    out = bytearray([rng.randint(0, 5), rng.randint(0, 1)])
    chars = "abcé東😀"
    for term in terms:
        out += bytes([0, len(term)]) + bytes(chars.index(c) for c in term)
    for v in range(4):
        out += bytes([1, v]) if int_ids else bytes([2, v])
    for term, video, count in rows:
        out += bytes([3, term, video, count])
    return bytes(out)


for i in range(30):
    terms = sorted({"".join(rng.choice("abcé東😀") for _ in range(rng.randint(1, 5))) for _ in range(rng.randint(1, 8))})
    rows = [(rng.randrange(len(terms)), rng.randrange(256), rng.randrange(256)) for _ in range(rng.randint(0, 12))]
    header = query_header("".join(rng.choice("abc") for _ in range(rng.randint(0, 4))), rng.randint(0, 3))
    write("records_fuzz", f"records-{i:02d}", header + record_ops(terms, rows, int_ids=i % 2 == 0))
