"""Seeded data sets for benchmarks and large tests: terms from Debian's word
lists (plus two-word phrases for the large sets), Zipf-distributed counts and
1 to 5 videos per term, turned into the flat arrays that
PrefixSearch.from_internal_data_v2 takes."""

import random
import uuid

WORD_LISTS = ("/usr/share/dict/american-english-huge", "/usr/share/dict/american-english", "/usr/share/dict/words")
NON_ASCII = ["café", "naïve", "smörgåsbord", "jalapeño", "straße", "東京", "😀 smile", "señor", "façade", "über"]


def words():
    for path in WORD_LISTS:
        try:
            with open(path, encoding="utf-8") as f:
                found = sorted({w.strip() for w in f if w.strip()})
            if found:
                return found
        except OSError:
            continue
    raise SystemExit("no word list found: install wamerican (or wamerican-huge)")


def make_terms(count, seed=1):
    """`count` distinct terms: words first, then two-word phrases."""
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


class Records:
    """Terms with Zipf counts and their videos."""

    def __init__(self, count, seed=1, videos=None, id_mode="uuid"):
        rng = random.Random(seed)
        self.terms = make_terms(count, seed)
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
        nodes numbered breadth-first so that parents come before children.

        Gives exactly what arrays_plain() gives, in a fraction of its time on
        the large sets: nodes are found through one dict keyed by (parent,
        character) instead of a dict per node, and the breadth-first order is
        worked out level by level with numpy. `video_index` replaces the
        records' own index (see video_index_for)."""
        import numpy as np

        index = {}
        parent = [0]
        labels = [""]
        ends = {}
        get = index.get
        for i, term in enumerate(self.terms):
            node = 0
            for ch in term:
                key = node << 21 | ord(ch)
                nxt = get(key)
                if nxt is None:
                    nxt = len(parent)
                    index[key] = nxt
                    parent.append(node)
                    labels.append(ch)
                node = nxt
            ends[node] = i
        del index
        n = len(parent)
        par = np.array(parent, dtype=np.int64)
        del parent
        # Children of a node, in the order they were created: node ids grouped
        # by parent, ascending within a parent (a child's id is its creation).
        by_parent = np.argsort(par[1:], kind="stable") + 1
        kids = np.bincount(par[1:], minlength=n)
        first_kid = np.zeros(n, dtype=np.int64)
        np.cumsum(kids[:-1], out=first_kid[1:])
        levels = [np.zeros(1, dtype=np.int64)]
        while True:
            level = levels[-1]
            counts = kids[level]
            total = int(counts.sum())
            if total == 0:
                break
            starts = np.repeat(first_kid[level], counts)
            offsets = np.arange(total, dtype=np.int64) - np.repeat(np.cumsum(counts) - counts, counts)
            levels.append(by_parent[starts + offsets])
        order = np.concatenate(levels)
        number = np.empty(n, dtype=np.int64)
        number[order] = np.arange(n, dtype=np.int64)
        shifts = np.zeros(n, dtype=np.int64)
        np.cumsum(kids[order][:-1], out=shifts[1:])
        # Breadth-first, the children of the nodes in order are the nodes
        # after the root in order: the edges are simply 1, 2, ..., n-1.
        node_shifts = shifts.tolist()
        child_transitions = list(range(1, n))
        child_labels = [labels[i] for i in order.tolist()]
        payloads = [None] * n
        numbers = number.tolist()
        for node, t in ends.items():
            vids = self.videos[t]
            payloads[numbers[node]] = (self.counts[t], [v for v, _ in vids], [c for _, c in vids])
        if video_index is None:
            video_index = self.video_index
        return node_shifts, child_labels, payloads, child_transitions, video_index

    def arrays_plain(self):
        """arrays() written the plain way (a dict of children per node); kept
        as the reference that arrays() is checked against."""
        children = [{}]
        labels = [""]
        ends = {}
        for i, term in enumerate(self.terms):
            node = 0
            for ch in term:
                kids = children[node]
                nxt = kids.get(ch)
                if nxt is None:
                    nxt = len(labels)
                    kids[ch] = nxt
                    children.append({})
                    labels.append(ch)
                node = nxt
            ends[node] = i
        order = [0]
        for node in order:
            order.extend(children[node].values())
        number = [0] * len(order)
        for i, old in enumerate(order):
            number[old] = i
        node_shifts, edges, child_labels, payloads = [], [], [], []
        for old in order:
            node_shifts.append(len(edges))
            edges.extend(number[c] for c in children[old].values())
            child_labels.append(labels[old])
            t = ends.get(old)
            if t is None:
                payloads.append(None)
            else:
                vids = self.videos[t]
                payloads.append((self.counts[t], [v for v, _ in vids], [c for _, c in vids]))
        return node_shifts, child_labels, payloads, edges, self.video_index


def _draw_index(rng, id_mode, video_count):
    if id_mode == "uuid":
        return [uuid.UUID(int=rng.getrandbits(128)).bytes for _ in range(video_count)]
    return [rng.getrandbits(32).to_bytes(4, "little") for _ in range(video_count)]
