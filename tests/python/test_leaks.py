"""Every method and function of both extensions, on success and on each kind
of failure, run thousands of times: the interpreter's reference total (debug
interpreter) or its count of allocated blocks, and the process's resident
memory, must not grow."""

import gc
import os
import sys
import uuid

import numpy
import pytest

import _quorvatel_records as records
from _quorvatel import PrefixSearch

from conftest import AB_AC_ARGS, IndexOrRaise as Index

ROUNDS = 2000

ab_ac = PrefixSearch.from_internal_data_v2(*AB_AC_ARGS)
snapshot = ab_ac.to_bytes()
shared = PrefixSearch.from_internal_data_v2([0, 2, 3], ["", "a", "b"], [None, None, (1, [], [])], [1, 2, 2], [], 1)
broken = PrefixSearch.from_bytes(bytes.fromhex("0400010303040061626303010209040000000000000004000001" "01"))


class UuidWithoutInt(uuid.UUID):
    @property
    def int(self):
        return 2**200


class RaisingRow:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        raise KeyError(i)


def fresh_rows(n):
    return ((f"t{i:03d}", i % 7, 1) for i in range(n))


def rows(*last):
    """Two good rows, then `last`."""
    return [("ab", 1, 2), ("ac", 2, 1), *last]


def raising_rows():
    yield ("a", 1, 1)
    raise KeyError("from the iterator")


U = uuid.UUID(int=7)


class RaisingIter:
    def __len__(self):
        return 10**12

    def __getitem__(self, i):  # a sequence, but iteration fails part way
        if i > 2:
            raise KeyError(i)
        return 0


def calls():
    """(name, callable) pairs, each either succeeding or raising."""
    return [
        ("build", lambda: PrefixSearch.from_internal_data_v2(*AB_AC_ARGS)),
        ("build-bad-count", lambda: PrefixSearch.from_internal_data_v2([0, 1], ["", "a"], [None], [1], [], 1)),
        ("build-bad-edge", lambda: PrefixSearch.from_internal_data_v2([0, 1], ["", "a"], [None, None], [5], [], 1)),
        ("build-bad-tuple", lambda: PrefixSearch.from_internal_data_v2([0, 1], ["", "a"], [None, [1]], [1], [], 1)),
        ("build-bad-ids", lambda: PrefixSearch.from_internal_data_v2([0, 1], ["", "a"], [None, (1, "x", [])], [1], [], 1)),
        ("build-mismatch", lambda: PrefixSearch.from_internal_data_v2([0, 1], ["", "a"], [None, (1, [1], [])], [1], [], 1)),
        ("build-index-raises", lambda: PrefixSearch.from_internal_data_v2([0, Index(ValueError("x"))], ["", "a"],
                                                                          [None, None], [1], [], 1)),
        ("build-iter-raises", lambda: PrefixSearch.from_internal_data_v2(RaisingIter(), ["", "a"], [None, None], [1],
                                                                         [], 1)),
        ("build-video-shape", lambda: PrefixSearch.from_internal_data_v2([0], [""], [None], [], [b"abc"], 1)),
        ("build-fault", lambda: PrefixSearch.from_internal_data_v2([0, 5, 5], ["", "a", "b"], [None] * 3, [1, 2], [],
                                                                   1)),
        ("build-binding", lambda: PrefixSearch.from_internal_data_v2(node_shifts=[0])),
        ("from-bytes", lambda: PrefixSearch.from_bytes(snapshot)),
        ("from-bytes-decode", lambda: PrefixSearch.from_bytes(snapshot[:30])),
        ("from-bytes-type", lambda: PrefixSearch.from_bytes(bytearray(snapshot))),
        ("to-bytes", lambda: ab_ac.to_bytes()),
        ("to-bytes-broken", lambda: broken.to_bytes()),
        ("match", lambda: ab_ac.fuzzy_match("ab", 1, 5)),
        ("match-type", lambda: ab_ac.fuzzy_match(5)),
        ("match-overflow", lambda: ab_ac.fuzzy_match("ab", -1)),
        ("match-surrogate", lambda: ab_ac.fuzzy_match("a\ud800")),
        ("match-keyword", lambda: ab_ac.fuzzy_match("ab", maxdist=2)),
        ("match-fault", lambda: broken.fuzzy_match("ab")),
        ("video", lambda: ab_ac.fuzzy_match_video("ab", 1, 10, numpy.True_, 0.0)),
        ("video-bool", lambda: ab_ac.fuzzy_match_video("ab", include_prefix_nodes=1)),
        ("video-float", lambda: ab_ac.fuzzy_match_video("ab", min_score="x")),
        ("video-index-cause", lambda: ab_ac.fuzzy_match_video("ab", limit=Index(TypeError("inner")))),
        ("no-constructor", lambda: PrefixSearch()),
        ("records", lambda: records.build_snapshot(rows(("b", None, 4)), 10)),
        ("records-uuid", lambda: records.build_snapshot([("a", U, 1), ("b", U.bytes, 2)], 2)),
        ("records-fresh-terms", lambda: records.build_snapshot(fresh_rows(200), 3)),
        ("records-tuple", lambda: records.build_snapshot(tuple(rows()), 3)),
        ("records-not-a-row", lambda: records.build_snapshot(rows(5), 1)),
        ("records-row-size", lambda: records.build_snapshot(rows(("a", 1)), 1)),
        ("records-row-raises", lambda: records.build_snapshot(rows(RaisingRow()), 1)),
        ("records-term-type", lambda: records.build_snapshot(rows((b"a", 1, 1)), 1)),
        ("records-empty-term", lambda: records.build_snapshot(rows(("", 1, 1)), 1)),
        ("records-nul", lambda: records.build_snapshot(rows(("a\0", 1, 1)), 1)),
        ("records-surrogate", lambda: records.build_snapshot(rows(("a\ud800", 1, 1)), 1)),
        ("records-video-type", lambda: records.build_snapshot(rows(("a", 1.5, 1)), 1)),
        ("records-video-bytes", lambda: records.build_snapshot([("a", b"abc", 1)], 1)),
        ("records-kinds-mixed", lambda: records.build_snapshot(rows(("a", U, 1)), 1)),
        ("records-uuid-int", lambda: records.build_snapshot([("a", UuidWithoutInt.__new__(UuidWithoutInt), 1)], 1)),
        ("records-count-type", lambda: records.build_snapshot(rows(("a", 1, None)), 1)),
        ("records-count-range", lambda: records.build_snapshot(rows(("a", 1, 2**40)), 1)),
        ("records-index-raises", lambda: records.build_snapshot(rows(("a", 1, Index(KeyError("k")))), 1)),
        ("records-iter-raises", lambda: records.build_snapshot(raising_rows(), 1)),
        ("records-not-iterable", lambda: records.build_snapshot(5, 1)),
        ("records-binding", lambda: records.build_snapshot(rows())),
        ("records-top-n", lambda: records.build_snapshot(rows(), -1)),
        ("inspect", lambda: records.inspect_snapshot(snapshot)),
        ("inspect-problem", lambda: records.inspect_snapshot(snapshot + b"\0")),
        ("inspect-decode", lambda: records.inspect_snapshot(snapshot[:30])),
        ("inspect-type", lambda: records.inspect_snapshot(bytearray(snapshot))),
        ("complete", lambda: records.complete(ab_ac, "ab", limit=5, max_dist=1)),
        ("suggest", lambda: records.suggest(ab_ac, "ba", max_dist=2, transpositions=False)),
        ("complete-type", lambda: records.complete(ab_ac, 5)),
        ("complete-limit", lambda: records.complete(ab_ac, "ab", limit=-1)),
        ("complete-max-dist", lambda: records.complete(ab_ac, "ab", max_dist="x")),
        ("complete-index", lambda: records.complete(snapshot, "ab")),
        ("complete-index-cause", lambda: records.complete(ab_ac, "ab", limit=Index(TypeError("inner")))),
        ("complete-refused", lambda: records.complete(shared, "a")),
        ("match-many", lambda: records.fuzzy_match_many(ab_ac, ["ab", "b", "ab"], max_dist=1, workers=2)),
        ("match-many-threads", lambda: records.fuzzy_match_many(ab_ac, ["ab"] * 2000, workers=2)),
        ("match-many-item", lambda: records.fuzzy_match_many(ab_ac, ["ab", 5])),
        ("match-many-workers", lambda: records.fuzzy_match_many(ab_ac, ["ab"], workers=0)),
        ("match-many-iter-raises", lambda: records.fuzzy_match_many(ab_ac, raising_rows())),
        ("match-many-fault", lambda: records.fuzzy_match_many(broken, ["ab", "ab"])),
        ("video-many", lambda: records.fuzzy_match_video_many(ab_ac, iter(["ab", "ac"]), min_score=0.0)),
        ("video-many-float", lambda: records.fuzzy_match_video_many(ab_ac, ["ab"], min_score="x")),
        ("complete-many", lambda: records.complete_many(ab_ac, ("ab", "a"), limit=None, workers=1)),
        ("complete-many-long", lambda: records.complete_many(ab_ac, ["a", "a" * 200])),
        ("complete-many-refused", lambda: records.complete_many(shared, ["a"])),
    ]


def run(fn):
    try:
        fn()
    except BaseException:
        pass


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


def measure():
    gc.collect()
    if hasattr(sys, "gettotalrefcount"):
        return sys.gettotalrefcount()
    return sys.getallocatedblocks()


@pytest.mark.parametrize("name,fn", calls())
def test_no_growth(name, fn, capfd):
    for _ in range(50):  # warm caches: interned strings, type caches, the exception type
        run(fn)
    before, rss_before = measure(), rss_kib()
    for _ in range(ROUNDS):
        run(fn)
    after, rss_after = measure(), rss_kib()
    capfd.readouterr()  # the fault reports
    # A leak of one object per call would show as ROUNDS; allow a little noise.
    assert after - before < 20, f"{name}: {after - before} references or blocks left after {ROUNDS} calls"
    if not os.environ.get("QUORVATEL_SANITIZED"):  # the sanitizer's quarantine keeps freed memory
        assert rss_after - rss_before < 2048, f"{name}: resident memory grew by {rss_after - rss_before} KiB"
