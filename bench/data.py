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
        if id_mode == "uuid":
            self.video_index = [uuid.UUID(int=rng.getrandbits(128)).bytes for _ in range(self.video_count)]
        else:
            self.video_index = [rng.getrandbits(32).to_bytes(4, "little") for _ in range(self.video_count)]

    def arrays(self):
        """(node_shifts, child_labels, payloads, child_transitions, video_index),
        nodes numbered breadth-first so that parents come before children."""
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
