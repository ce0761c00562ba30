"""Writes the seed corpus of complete_fuzz (run with the package importable:
PYTHONPATH=<build>/python:python python3.14 fuzz/make_complete_seeds.py).
Deterministic. Each seed is the query header of the snapshot target (max_dist
byte, limit byte, text length, text) and a snapshot that quorvatel.build
wrote; the target also replays the snapshot target's corpus."""

import os
import random

import quorvatel

HERE = os.path.dirname(os.path.abspath(__file__))
rng = random.Random(2027)
folder = os.path.join(HERE, "corpus", "complete_fuzz")
os.makedirs(folder, exist_ok=True)
for i in range(24):
    words = {"".join(rng.choice("abcé") for _ in range(rng.randint(1, 6))) for _ in range(rng.randint(1, 30))}
    index = quorvatel.build([(w, None, rng.randint(0, 4)) for w in sorted(words)])
    text = "".join(rng.choice("abcd") for _ in range(rng.randint(0, 6))).encode()
    header = bytes([rng.randint(0, 3), rng.choice([255, 250, 251, 253]), len(text)]) + text
    with open(os.path.join(folder, f"seed{i:02}"), "wb") as f:
        f.write(header + index.to_bytes())
