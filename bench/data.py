"""The benchmark's data sets: seeded terms with Zipf-distributed counts and 1
to 5 videos each, turned into the flat arrays PrefixSearch.from_internal_data_v2
takes.

Two kinds of set:
- sampled ("10k", "100k", "1m", or any count): words drawn at random from the
  largest word list there is, then two-word phrases once the words run out.
  A sample of a huge list is sparse: few stored terms lie near any other.
- dense ("dense"): every word of /usr/share/dict/american-english, as real
  vocabularies (search logs) are: many terms a letter or two apart.
Both add the same few non-ASCII terms.
"""

from __future__ import annotations

import os
import random
import sys
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "shared"))

from term_arrays import flat_arrays  # noqa: E402

WORD_LISTS = ("/usr/share/dict/american-english-huge", "/usr/share/dict/american-english", "/usr/share/dict/words")
DENSE_LIST = "/usr/share/dict/american-english"
NON_ASCII = ["café", "naïve", "smörgåsbord", "jalapeño", "straße", "東京", "😀 smile", "señor", "façade", "über"]
SAMPLED = {"10k": 10_000, "100k": 100_000, "1m": 1_000_000}


class DataError(Exception):
    """A data set cannot be made on this machine (a word list is missing)."""


def read_words(path):
    try:
        with open(path, encoding="utf-8") as f:
            return sorted({w.strip() for w in f if w.strip()})
    except OSError as e:
        raise DataError(f"cannot read the word list {path}: {e.strerror} (install wamerican)") from None


def words():
    """The largest word list available."""
    for path in WORD_LISTS:
        if os.path.exists(path):
            found = read_words(path)
            if found:
                return found
    raise DataError(f"no word list found ({', '.join(WORD_LISTS)}): install wamerican (or wamerican-huge)")


def sampled_terms(count, seed=1):
    """`count` distinct terms: the non-ASCII ones, words, then two-word phrases."""
    rng = random.Random(seed)
    vocabulary = words()
    terms = list(NON_ASCII)
    pool = vocabulary[:]
    rng.shuffle(pool)
    terms.extend(pool[: max(0, count - len(terms))])
    seen = set(terms)
    while len(terms) < count:
        phrase = f"{rng.choice(vocabulary)} {rng.choice(vocabulary)}"
        if phrase not in seen:
            seen.add(phrase)
            terms.append(phrase)
    return terms[:count]


def dense_terms(seed=1):
    """Every word of the dense list and the non-ASCII terms, shuffled."""
    terms = list(dict.fromkeys(NON_ASCII + read_words(DENSE_LIST)))
    random.Random(seed).shuffle(terms)
    return terms


def check_set(name):
    """The number of terms of a sampled set, or None for the dense one;
    DataError for a name that is neither."""
    if name == "dense":
        return None
    count = SAMPLED.get(name)
    if count is None:
        try:
            count = int(name.replace("_", ""))
        except ValueError:
            raise DataError(f"unknown data set {name!r}: dense, {', '.join(SAMPLED)} or a number of terms") from None
        if count <= 0:
            raise DataError(f"a data set needs at least one term, not {count}")
    return count


def set_terms(name, seed):
    """The terms of a named set: "dense", a sampled size, or a number."""
    count = check_set(name)
    return dense_terms(seed) if count is None else sampled_terms(count, seed)


class Records:
    """Terms with Zipf counts and their videos."""

    def __init__(self, count=None, seed=1, videos=None, id_mode="uuid", terms=None):
        rng = random.Random(seed)
        self.terms = terms if terms is not None else sampled_terms(count, seed)
        count = len(self.terms)
        self.video_count = videos or max(1, count // 4)
        self.counts = [max(1, int(1_000_000 / (rank + 1) ** 1.1)) for rank in range(count)]
        rng.shuffle(self.counts)
        self.videos = [
            [(rng.randrange(self.video_count), rng.randint(1, 1000)) for _ in range(rng.randint(1, 5))]
            for _ in range(count)
        ]
        # The index is drawn last, from this state, so that video_index_for()
        # can give the other mode's index without drawing everything again.
        self._index_state = rng.getstate()
        self.id_mode = id_mode
        self.video_index = _draw_index(rng, id_mode, self.video_count)

    def video_index_for(self, id_mode):
        """The video_index that Records(count, seed, videos, id_mode) would
        have: same terms, counts and videos, ids of the other width."""
        if id_mode == self.id_mode:
            return self.video_index
        rng = random.Random()
        rng.setstate(self._index_state)
        return _draw_index(rng, id_mode, self.video_count)

    def arrays(self, video_index=None):
        """(node_shifts, child_labels, payloads, child_transitions, video_index),
        nodes numbered breadth-first. `video_index` replaces the records' own
        index (see video_index_for)."""
        position = {term: i for i, term in enumerate(self.terms)}

        def payload(term):
            i = position[term]
            vids = self.videos[i]
            return self.counts[i], [v for v, _ in vids], [c for _, c in vids]

        node_shifts, labels, payloads, edges = flat_arrays(self.terms, payload, "breadth")
        return node_shifts, labels, payloads, edges, self.video_index if video_index is None else video_index

    def rows(self):
        """One (term, video id bytes, count) record per (term, video) pair."""
        return [(term, self.video_index[row], count) for term, vids in zip(self.terms, self.videos)
                for row, count in vids]


def _draw_index(rng, id_mode, video_count):
    if id_mode == "uuid":
        return [uuid.UUID(int=rng.getrandbits(128)).bytes for _ in range(video_count)]
    return [rng.getrandbits(32).to_bytes(4, "little") for _ in range(video_count)]
