"""Writes the seed corpora of the fuzz targets (run with the module built:
PYTHONPATH=<build>/python python3.14 fuzz/make_seeds.py). Deterministic."""

import os
import random
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))

from conftest import build_from_terms  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
rng = random.Random(2026)


def query_header(term, max_dist, limit=None):
    raw = term.encode()
    return bytes([max_dist, 255 if limit is None else 250 + limit, len(raw)]) + raw


def write(folder, name, data):
    path = os.path.join(HERE, "corpus", folder)
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, name), "wb") as f:
        f.write(data)


worked = {
    "e_acute": bytes.fromhex("020001" "0200c3a9" "0101" "02" "010301000103" "010301000103" "00" "01fbe803" "01" "020001"),
    "ab_ac": bytes.fromhex(
        "0400010303" "0400616263" "03010203" "04" "0108020001020602" "0108020001020602" "010501000105"
        "0103020100020201" "00" "020102" "01" "0400000101"
    ),
    "empty": bytes(8),
    # a node reached along many paths: each of nodes 1..3 has two edges to the next
    "diamonds": bytes.fromhex("04" "00" "02" "04" "06" "04" "00616161" "06" "010102020303" "04" "00" * 4 + "00" "00" "00"
                              "0400010101"),
    # a cycle: node 1 leads to itself
    "cycle": bytes.fromhex("02" "0001" "02" "0061" "02" "0101" "02" "00" "0103010001" "00" "00" "00" "020001"),
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
    trie = build_from_terms(terms, video_top_n=rng.randint(0, 3), id_width=rng.choice([4, 16]))
    term = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 5)))
    write("snapshot_fuzz", f"random-{i:02d}", query_header(term, rng.randint(0, 3), rng.choice([None, 0, 2])) +
          trie.to_bytes())

for i in range(40):
    write("build_fuzz", f"random-{i:02d}", bytes(rng.getrandbits(8) for _ in range(rng.randint(8, 400))))
