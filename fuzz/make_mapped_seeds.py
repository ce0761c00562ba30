"""Writes the seed corpus of mapped_fuzz (run with the package importable:
PYTHONPATH=<build>/python:python python3.14 fuzz/make_mapped_seeds.py).
Deterministic. Each seed is the query header of the snapshot target (max_dist
byte, limit byte, text length, text), a verify byte, and a mapped file that
quorvatel.save wrote: of a build (a tree), and of snapshots that are no tree
(a node entered twice, an edge back to the root)."""

import os
import random
import tempfile

import quorvatel
from _quorvatel import PrefixSearch

HERE = os.path.dirname(os.path.abspath(__file__))
rng = random.Random(2028)
folder = os.path.join(HERE, "corpus", "mapped_fuzz")
os.makedirs(folder, exist_ok=True)


def mapped_bytes(index):
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "index.qvm")
        quorvatel.save(index, path, format="mapped")
        with open(path, "rb") as f:
            return f.read()


def header():
    text = "".join(rng.choice("abcé") for _ in range(rng.randint(0, 6))).encode()
    return bytes([rng.randint(0, 3), rng.choice([255, 250, 251, 253]), len(text)]) + text + bytes([rng.randint(0, 1)])


indexes = []
for i in range(16):
    words = {"".join(rng.choice("abcé😀") for _ in range(rng.randint(1, 5))) for _ in range(rng.randint(1, 12))}
    records = [(w, rng.choice([None, rng.randint(0, 5)]), rng.randint(0, 4)) for w in sorted(words)]
    if all(video is None for _, video, _ in records):
        records.append(("zz", 1, 1))
    indexes.append(quorvatel.build(records))
# No tree: node 2 entered by two edges; an edge back to the root.
indexes.append(PrefixSearch.from_internal_data_v2([0, 2, 3], ["", "a", "b"], [None, (1, [0], [2]), (2, [], [])],
                                                  [1, 2, 2], [(7).to_bytes(4, "little")], 2))
indexes.append(PrefixSearch.from_internal_data_v2([0, 1], ["", "a"], [None, (1, [], [])], [1, 0], [], 2))
for i, index in enumerate(indexes):
    with open(os.path.join(folder, f"seed{i:02}"), "wb") as f:
        f.write(header() + mapped_bytes(index))
