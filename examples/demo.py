"""The quorvatel tour: build an index from the bundled records, save it, load
it back, and run typo'd queries for terms and videos, with timings.

    make demo            (or: PYTHONPATH=<build>/python:python python3.14 examples/demo.py)
"""

import pathlib
import random
import tempfile
import time

import quorvatel
from quorvatel import cli

SAMPLE = pathlib.Path(__file__).resolve().parent / "sample_records.tsv"


def timed(call, repeat=1):
    """(result, best time in seconds) over `repeat` calls."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
    return result, best


def ms(seconds):
    return f"{seconds * 1e3:.2f} ms"


KINDS = ["drop", "swap", "transpose", "double", "drop", "swap"]


def typo(term, kind, rng):
    """`term` with a typo of `kind`: a letter dropped, doubled, swapped for its
    neighbour on the keyboard, or two letters transposed (two edits)."""
    i = rng.randrange(1, len(term) - 2)
    if kind == "transpose":
        while term[i] == term[i + 1]:
            i = rng.randrange(1, len(term) - 2)
    if kind == "drop":
        return term[:i] + term[i + 1 :], "a letter dropped"
    if kind == "double":
        return term[:i] + term[i] + term[i:], "a letter doubled"
    if kind == "swap":
        row = "qwertyuiopasdfghjklzxcvbnm"
        c = term[i].lower()
        near = row[(row.index(c) + 1) % len(row)] if c in row else "e"
        return term[:i] + near + term[i + 1 :], "a letter mistyped"
    return term[:i] + term[i + 1] + term[i] + term[i + 2 :], "two letters transposed"


def main():
    print(f"quorvatel {quorvatel.__version__}: typo-tolerant search over terms and the videos they lead to\n")

    records, t_read = timed(lambda: quorvatel.read_tsv(SAMPLE))
    index, t_build = timed(lambda: quorvatel.build(records, video_top_n=10), repeat=5)
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "sample.qvx"
        _, t_save = timed(lambda: quorvatel.save(index, path))
        loaded, t_load = timed(lambda: quorvatel.load(path), repeat=5)
        _, t_unchecked = timed(lambda: quorvatel.load(path, check=False), repeat=5)
        info = quorvatel.info(path)
        size = SAMPLE.stat().st_size
        print(f"records    {len(records):,} rows from {SAMPLE.name} ({size:,} bytes), read in {ms(t_read)}")
        print(f"build      {info.terms:,} terms, {info.nodes:,} nodes, {info.videos} videos ({info.id_mode} ids) "
              f"in {ms(t_build)}")
        print(f"save       {info.bytes:,} bytes in {ms(t_save)} (written beside the target, then renamed over it)")
        print(f"load       {ms(t_load)} checked, {ms(t_unchecked)} unchecked; "
              f"{'identical' if loaded.to_bytes() == index.to_bytes() else 'DIFFERENT'} to the built index")
        print(f"\n$ python -m quorvatel info {path.name}")
        cli.main(["info", str(path)])

    rng = random.Random(7)
    long_words = sorted({t for t, _, _ in records if len(t) >= 7 and t.isalpha()})
    picks = rng.sample(long_words, 6)
    print("\nTypo'd queries (max_dist 2; terms as (term, distance), videos as (id, score)):")
    for word, kind in zip(picks, KINDS):
        query, how = typo(word, kind, rng)
        terms, t_terms = timed(lambda: index.fuzzy_match(query, 2), repeat=20)
        videos, t_videos = timed(lambda: index.fuzzy_match_video(query, 2, limit=3), repeat=20)
        best = sorted(terms, key=lambda hit: (hit[2], hit[0]))[:4]
        found = "found" if any(t == word for t, _, _ in terms) else "MISSED"
        print(f"\n  {query!r}  ({word!r} with {how}: {found})")
        print(f"    terms   {[(t, d) for t, _, d in best]}  of {len(terms)}  [{t_terms * 1e6:.0f} us]")
        print(f"    videos  {[(v[:8] + '…', round(s, 3)) for v, s in videos]}  [{t_videos * 1e6:.0f} us]")

    # A prefix is a query too: with include_prefix_nodes, partial words find videos.
    prefix = picks[0][:4]
    videos = index.fuzzy_match_video(prefix, 1, limit=3, include_prefix_nodes=True)
    shown = [(v[:8] + "…", round(s, 3)) for v, s in videos]
    print(f"\n  prefix {prefix!r} with include_prefix_nodes=True -> {shown}")


if __name__ == "__main__":
    main()
