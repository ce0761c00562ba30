"""The query mixes: seeded queries of each kind, the same for every engine."""

from __future__ import annotations

import random
import string

# (name, max_dist, what the queries are)
MIXES = [
    ("exact", 0, "stored terms"),
    ("exact", 1, "stored terms"),
    ("edit1", 1, "stored terms with one random substitution, insertion or deletion"),
    ("edit1", 2, "stored terms with one random edit"),
    ("edit2", 2, "stored terms with two random edits"),
    ("prefix", 1, "prefixes of 3 to 6 characters of stored terms"),
    ("miss", 1, "random lowercase strings of 4 to 12 characters that are not stored terms"),
    ("long", 1, "40 to 80 characters: random stored terms joined by spaces, cut to length"),
]

LETTERS = string.ascii_lowercase


def mix_key(name, k):
    return f"{name}/k{k}"


def keys_with(k=None):
    """The mix keys, all or those of one max_dist."""
    return [mix_key(name, d) for name, d, _ in MIXES if k is None or d == k]


def one_edit(rng, s, swaps=False):
    """`s` with one random edit: a substitution (by another letter), an
    insertion or a deletion, and with `swaps` also a swap of two neighbours."""
    ops = ["sub", "ins", "del"] if len(s) > 1 else ["sub", "ins"] if s else ["ins"]
    if swaps and len(s) > 1:
        ops.append("swap")
    op = rng.choice(ops)
    if op == "ins":
        i = rng.randrange(len(s) + 1)
        return s[:i] + rng.choice(LETTERS) + s[i:]
    if op == "swap":
        i = rng.randrange(len(s) - 1)
        return s[:i] + s[i + 1] + s[i] + s[i + 2 :]
    i = rng.randrange(len(s))
    if op == "del":
        return s[:i] + s[i + 1 :]
    c = rng.choice(LETTERS)
    while c == s[i]:
        c = rng.choice(LETTERS)
    return s[:i] + c + s[i + 1 :]


def make_queries(terms, term_set, per_mix, seed):
    """{mix key: [query, ...]}, `per_mix` seeded queries a mix."""
    out = {}
    for name, k, _ in MIXES:
        rng = random.Random(f"{seed}-{name}-{k}")
        qs = []
        while len(qs) < per_mix:
            if name == "exact":
                q = rng.choice(terms)
            elif name == "edit1":
                q = one_edit(rng, rng.choice(terms))
            elif name == "edit2":
                q = one_edit(rng, one_edit(rng, rng.choice(terms)))
            elif name == "prefix":
                t = rng.choice(terms)
                if len(t) < 3:
                    continue
                q = t[: min(len(t), rng.randint(3, 6))]
            elif name == "miss":
                q = "".join(rng.choice(LETTERS) for _ in range(rng.randint(4, 12)))
                if q in term_set:
                    continue
            else:  # long
                length = rng.randint(40, 80)
                parts = []
                while sum(len(p) + 1 for p in parts) < length + 1:
                    parts.append(rng.choice(terms))
                q = " ".join(parts)[:length]
            qs.append(q)
        out[mix_key(name, k)] = qs
    return out
