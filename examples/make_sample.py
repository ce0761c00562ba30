"""Writes examples/sample_records.tsv, the demo's bundled records: a few
thousand terms from Debian's word list (wamerican), single words and some
two-word phrases, each leading to one to three of 400 videos, with counts that
fall off like real search logs. Seeded, so the same word list always gives the
same file.

    python3 examples/make_sample.py [WORDLIST] [-o OUT]
"""

import argparse
import pathlib
import random
import uuid

HERE = pathlib.Path(__file__).resolve().parent


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("wordlist", nargs="?", default="/usr/share/dict/american-english")
    parser.add_argument("-o", "--output", default=HERE / "sample_records.tsv", type=pathlib.Path)
    args = parser.parse_args()

    with open(args.wordlist, encoding="utf-8") as f:
        words = sorted({w.strip() for w in f if len(w.strip()) >= 3 and "'" not in w})
    rng = random.Random(20251210)
    chosen = rng.sample(words, 2600)
    phrases = {f"{rng.choice(chosen).lower()} {rng.choice(chosen).lower()}" for _ in range(300)}
    terms = chosen + sorted(phrases - set(chosen))
    rng.shuffle(terms)
    videos = [uuid.UUID(int=rng.getrandbits(128), version=4) for _ in range(400)]

    lines = []
    for rank, term in enumerate(terms):
        total = max(1, int(20000 / (rank + 1) ** 0.9))
        for _ in range(rng.choice((1, 1, 2, 2, 3))):
            # popular videos are shared by many terms
            video = videos[min(int(rng.paretovariate(1.2)) - 1, len(videos) - 1) if rng.random() < 0.5
                           else rng.randrange(len(videos))]
            count = max(1, total // rng.randint(1, 4))
            lines.append(f"{term}\t{video}\t{count}\n")
            if rng.random() < 0.02:  # the same record logged twice: build() sums them
                lines.append(f"{term}\t{video}\t{count}\n")

    with open(args.output, "w", encoding="utf-8") as out:
        out.write("# term\tvideo_id\tcount -- quorvatel sample records, made by examples/make_sample.py\n")
        out.writelines(lines)
    print(f"{args.output}: {len(terms)} terms, {len(lines)} records")


if __name__ == "__main__":
    main()
