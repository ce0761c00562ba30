"""The peers quorvatel is measured against. Each is optional: a peer that is
not installed is skipped with a note in the report, and the figures that
need it are left out.

- rapidfuzz: process.extract and batched process.cdist with
  Levenshtein.distance, a scan of every term per query;
- marisa: marisa-trie's keys-only trie, for bytes per key;
- the classic pure-Python trie walk (a dict-of-dicts trie, one Levenshtein
  row per depth), always present. Its walk prunes exactly as quorvatel's
  does, so the nodes it examines are the nodes the native walk visits.
"""

from __future__ import annotations

import importlib
import os
import time


class Missing:
    """A peer that could not be imported."""

    def __init__(self, name, error):
        self.name, self.note = name, f"{name} is not installed ({error}); its figures are left out"

    def __bool__(self):
        return False


def _load(module):
    try:
        return importlib.import_module(module)
    except ImportError as e:
        return Missing(module.split(".")[0], e)


class RapidFuzz:
    name = "rapidfuzz"
    BATCH = 32  # queries per cdist call

    def __init__(self):
        import numpy
        from rapidfuzz import process
        from rapidfuzz.distance import Levenshtein

        self.np, self.process, self.scorer = numpy, process, Levenshtein.distance
        self.version = importlib.import_module("rapidfuzz").__version__

    def warm_up(self, terms):
        self.process.extract(terms[0], terms, scorer=self.scorer, score_cutoff=1, limit=None)

    def extract(self, q, terms, k):
        """({term: distance}, ns) of one query."""
        t0 = time.perf_counter_ns()
        got = self.process.extract(q, terms, scorer=self.scorer, score_cutoff=k, limit=None)
        spent = time.perf_counter_ns() - t0
        return {c: int(s) for c, s, _ in got}, spent

    def cdist(self, batch, terms, k):
        """([{term: distance} per query], ns of the call)."""
        t0 = time.perf_counter_ns()
        matrix = self.process.cdist(batch, terms, scorer=self.scorer, score_cutoff=k, workers=1)
        spent = time.perf_counter_ns() - t0
        found = []
        for row in matrix:
            hits = self.np.flatnonzero(row <= k)
            found.append({terms[i]: int(row[i]) for i in hits})
        return found, spent


class Marisa:
    name = "marisa"

    def __init__(self):
        self.marisa = importlib.import_module("marisa")

    def measure(self, terms, work, label):
        """Build time and file bytes per key of marisa-trie over `terms`."""
        t0 = time.perf_counter()
        keyset = self.marisa.Keyset()
        for t in terms:
            keyset.push_back(t)
        trie = self.marisa.Trie()
        trie.build(keyset)
        seconds = time.perf_counter() - t0
        path = os.path.join(work, f"{label}.marisa")
        trie.save(path)
        agent = self.marisa.Agent()
        for t in terms[:100]:
            agent.set_query(t)
            if not trie.lookup(agent):
                raise AssertionError(f"marisa cannot find {t!r}")
        size = os.path.getsize(path)
        os.remove(path)
        keys = trie.num_keys()
        return {"keys": keys, "file_bytes": size, "bytes_per_key": size / keys, "build_s": seconds,
                "keys_per_s": len(terms) / seconds}


def load():
    """{"rapidfuzz": RapidFuzz or Missing, "marisa": Marisa or Missing}."""
    peers = {}
    for name, make, module in (("rapidfuzz", RapidFuzz, "rapidfuzz.process"), ("marisa", Marisa, "marisa")):
        found = _load(module)
        peers[name] = make() if found else found
    return peers


# ---------------------------------------------------------------- the pure-Python trie walk


def naive_build(terms):
    """The classic dict-of-dicts trie; the key "" holds the term ending there."""
    root = {}
    for t in terms:
        node = root
        for ch in t:
            nxt = node.get(ch)
            if nxt is None:
                nxt = node[ch] = {}
            node = nxt
        node[""] = t
    return root


def naive_search(root, word, k):
    """One Levenshtein row per depth; a subtree is pruned when its row minimum
    exceeds k. Returns {term: distance}."""
    n = len(word)
    found = {}

    def walk(node, ch, prev):
        cur = [prev[0] + 1]
        for j in range(1, n + 1):
            cur.append(min(cur[j - 1] + 1, prev[j] + 1, prev[j - 1] + (word[j - 1] != ch)))
        if cur[n] <= k and "" in node:
            found[node[""]] = cur[n]
        if min(cur) <= k:
            for c, child in node.items():
                if c:
                    walk(child, c, cur)

    first = list(range(n + 1))
    for c, child in root.items():
        if c:
            walk(child, c, first)
    return found


def naive_visited(root, word, k):
    """The nodes naive_search examines for `word`: every child of a node it
    enters gets a row, pruned or not. The native walk examines the same ones
    (core_bench counts them the same way), so this is the count by which
    time per visited node is reckoned."""
    n = len(word)
    visited = 0
    stack = [(child, c, list(range(n + 1))) for c, child in root.items() if c]
    while stack:
        node, ch, prev = stack.pop()
        visited += 1
        cur = [prev[0] + 1]
        for j in range(1, n + 1):
            cur.append(min(cur[j - 1] + 1, prev[j] + 1, prev[j - 1] + (word[j - 1] != ch)))
        if min(cur) <= k:
            stack.extend((child, c, cur) for c, child in node.items() if c)
    return visited
