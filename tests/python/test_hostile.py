"""Hostile callers and hostile snapshots: every call ends in a result or an
ordinary exception, the process stays small, and the instance stays usable.
The same for the records that quorvatel.build() reads in native code."""

import enum
import re
import resource
import signal
import threading
import time
import uuid

import numpy
import pytest
from hypothesis import given, settings, strategies as st

import quorvatel
from _quorvatel import PrefixSearch

from conftest import AB_AC_ARGS
from snapshot_format import encode
from term_arrays import record_arrays

EXPECTED = [("ab", 1, 0), ("ac", 1, 1)]


@pytest.fixture
def trie():
    return PrefixSearch.from_internal_data_v2(*AB_AC_ARGS)


class CallsBack:
    """An integer whose conversion queries the instance being called."""

    def __init__(self, trie, value):
        self.trie, self.value, self.seen = trie, value, None

    def __index__(self):
        self.seen = (self.trie.fuzzy_match("ab"), self.trie.to_bytes())
        return self.value


def test_conversion_may_call_back_into_the_same_instance(trie):
    max_dist, limit = CallsBack(trie, 1), CallsBack(trie, 5)
    assert trie.fuzzy_match("ab", max_dist, limit) == EXPECTED
    assert max_dist.seen[0] == EXPECTED and limit.seen[0] == EXPECTED
    assert trie.fuzzy_match_video("ab", limit=CallsBack(trie, 3)) == [("1", 0.9901477832512315)]


def test_list_mutated_while_it_is_converted():
    shifts = [0, 1, 3, 3]

    class Shrinks:
        def __index__(self):
            del shifts[2:]  # the list loses its last items part way
            return 1

    shifts[1] = Shrinks()
    with pytest.raises(ValueError, match="node_shifts len 2 != child_labels len 4"):
        PrefixSearch.from_internal_data_v2(shifts, *AB_AC_ARGS[1:])


class Count(enum.IntEnum):
    FIVE = 5


class Text(str):
    pass


class Row(tuple):
    pass


class Blob(bytes):
    pass


def test_subclasses_are_accepted_as_their_base():
    trie = PrefixSearch.from_internal_data_v2(
        [Count.FIVE - 5, True, 3, 3],
        [Text(""), Text("a"), "b", "c"],
        [None, None, Row((Count.FIVE, [False], [5])), (3, [1, 0], [2, 1])],
        (1, 2, 3),
        [Blob(b"\x01\x00\x00\x00"), bytearray(b"\x02\x00\x00\x00")],
        Count.FIVE - 3,
    )
    assert trie.to_bytes() == PrefixSearch.from_internal_data_v2(*AB_AC_ARGS).to_bytes()
    assert trie.fuzzy_match(Text("ab"), numpy.int64(1), numpy.uint8(9)) == EXPECTED


HOSTILE = st.sampled_from(
    [None, 0, -1, 1, 2**16, 2**32 - 1, 2**32, 2**64 - 1, 2**64, 2**200, True, 0.5, float("nan"), "ab", "a\ud800",
     "😀" * 3, b"ab", bytearray(b"x"), [], [1], (), object(), numpy.True_, numpy.int32(-3), numpy.float64(0.25),
     CallsBack(None, 1)]
)


@settings(max_examples=400, deadline=None)
@given(args=st.lists(HOSTILE, max_size=6), method=st.sampled_from(["fuzzy_match", "fuzzy_match_video"]))
def test_any_arguments_end_in_a_result_or_an_ordinary_error(args, method):
    trie = PrefixSearch.from_internal_data_v2(*AB_AC_ARGS)
    for value in args:
        if isinstance(value, CallsBack):
            value.trie = trie
    try:
        result = getattr(trie, method)(*args)
    except (TypeError, OverflowError, ValueError, UnicodeEncodeError):
        pass
    else:
        assert isinstance(result, list)
    assert trie.fuzzy_match("ab") == EXPECTED


# ---------------------------------------------------------------- snapshots


def snapshot(node_shifts, labels, edges, terminal):
    """A snapshot with the given arrays, empty payloads and no videos."""
    return encode(node_shifts, "".join(labels), edges, [(0, [], [])] * len(labels), flags=terminal)


def diamonds(levels, terminal=1):
    """Node i has two edges to node i + 1: 2**levels paths to the last node."""
    n = levels + 1
    return PrefixSearch.from_bytes(
        snapshot([2 * i for i in range(n)], ["\0"] + ["a"] * levels, [i // 2 + 1 for i in range(2 * levels)],
                 [terminal] * n)
    )


def rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def test_cycle_is_walked_to_the_depth_bound():
    # root -> 1, and 1 -> 1: one path per depth
    trie = PrefixSearch.from_bytes(snapshot([0, 1], ["\0", "a"], [1, 1], [0, 1]))
    hits = trie.fuzzy_match("", 300)
    assert [d for _, _, d in hits] == list(range(1, 301))
    assert hits[-1][0] == "a" * 300
    assert trie.fuzzy_match_video("", 5) == []


def test_every_path_is_visited_once():
    trie = diamonds(10)
    assert len(trie.fuzzy_match("a" * 10, 0)) == 2**10


def test_a_limit_ends_an_exponential_walk():
    assert len(diamonds(60).fuzzy_match("a" * 60, 3, 10)) == 10


def test_exponential_walk_is_interrupted_by_a_signal_and_stays_small():
    # 2**60 paths within distance but no hit to record: the walk would not
    # end, and its working memory stays that of one path
    trie = diamonds(60, terminal=0)
    before = rss_mib()

    def stop(signum, frame):
        raise TimeoutError("stopped")

    previous = signal.signal(signal.SIGALRM, stop)
    try:
        for call in (lambda: trie.fuzzy_match("a" * 60, 3),
                     lambda: trie.fuzzy_match_video("a" * 60, 3, include_prefix_nodes=False)):
            signal.setitimer(signal.ITIMER_REAL, 0.2)
            start = time.monotonic()
            with pytest.raises(TimeoutError, match="stopped"):
                call()
            assert time.monotonic() - start < 5
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert rss_mib() - before < 16
    assert trie.fuzzy_match("b", 0) == []  # still usable


# ---------------------------------------------------------------- records read by the package's native helper


def records_reference(records, video_top_n=10):
    return PrefixSearch.from_internal_data_v2(*record_arrays(records), video_top_n).to_bytes()


class Rows:
    """A sequence of rows (not a list) that claims `length` rows."""

    def __init__(self, rows, length):
        self.rows, self.length = rows, length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.rows[i]


class RecordRow:
    """A row that is a sequence but neither tuple nor list, with a __len__
    that may lie and a __getitem__ that may raise."""

    def __init__(self, items, length=3, error=None):
        self.items, self.length, self.error = items, length, error

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        if self.error is not None and i == len(self.items) - 1:
            raise self.error
        return self.items[i]


class Boom(Exception):
    pass


@pytest.mark.parametrize(
    "records, expected",
    [
        # the records' own length is never used: only their items
        (Rows([("a", 1, 1), ("b", 2, 1)], 10**12), [("a", 1, 1), ("b", 2, 1)]),
        (Rows([("a", 1, 1), ("b", 2, 1)], 0), [("a", 1, 1), ("b", 2, 1)]),
        # a row's length decides how many items are read
        ([RecordRow(["a", 1, 1, "ignored"])], [("a", 1, 1)]),
    ],
)
def test_lying_lengths_of_records(records, expected):
    assert quorvatel.build(records).to_bytes() == records_reference(expected)


@pytest.mark.parametrize(
    "records, kind, message",
    [
        ([("a", 1, 1), RecordRow(["b", 1, 1], length=2)], ValueError,
         "row 1: a record is a (term, video_id, count) sequence, not 2 items"),
        ([RecordRow(["b", 1, 1], length=-1)], ValueError, "__len__() should return >= 0"),
    ],
)
def test_a_row_length_that_lies_is_an_error(records, kind, message):
    with pytest.raises(kind, match=re.escape(message)):
        quorvatel.build(records)


def test_errors_raised_by_rows_and_iterators_pass_unchanged():
    error = Boom("from the host")
    with pytest.raises(Boom) as info:
        quorvatel.build([("a", 1, 1), RecordRow(["b", 1, 1], error=error)])
    assert info.value is error

    def rows():
        yield ("a", 1, 1)
        raise error

    with pytest.raises(Boom) as info:
        quorvatel.build(rows())
    assert info.value is error

    class Raises:
        def __index__(self):
            raise error

    with pytest.raises(Boom) as info:
        quorvatel.build([("a", 1, Raises())])
    assert info.value is error


class Mutates:
    """A count whose conversion runs `change` once, then gives 1."""

    def __init__(self, change):
        self.change = change

    def __index__(self):
        change, self.change = self.change, lambda: None
        change()
        return 1


@pytest.mark.parametrize(
    "change, expected",
    [
        # the rows after the current one are gone: only what was read stays
        (lambda records: records.clear(), [("a", 1, 1), ("b", 2, 1)]),
        (lambda records: records.__delitem__(slice(2, None)), [("a", 1, 1), ("b", 2, 1)]),
        # rows added while reading are read
        (lambda records: records.append(("z", 3, 4)), [("a", 1, 1), ("b", 2, 1), ("c", 1, 1), ("z", 3, 4)]),
        # the current row replaced: the row being read is kept until it is done
        (lambda records: records.__setitem__(1, ("q", 9, 9)), [("a", 1, 1), ("b", 2, 1), ("c", 1, 1)]),
        # the current row's own list emptied: its items are held for the row
        (lambda records: records[1].clear(), [("a", 1, 1), ("b", 2, 1), ("c", 1, 1)]),
        # every row replaced by one that holds no reference from before
        (lambda records: records.__setitem__(slice(None), [(f"n{i}", i, 1) for i in range(5)]),
         [("a", 1, 1), ("b", 2, 1), ("n2", 2, 1), ("n3", 3, 1), ("n4", 4, 1)]),
    ],
)
def test_records_changed_while_they_are_read(change, expected):
    records = [("a", 1, 1), None, ("c", 1, 1)]
    records[1] = ["b", 2, Mutates(lambda: change(records))]
    assert quorvatel.build(records).to_bytes() == records_reference(expected)


def test_records_changed_by_another_thread_while_they_are_read():
    # Converting each count runs Python code, so the other thread gets the
    # lock between rows; whatever it does, the build ends in an index or an
    # ordinary error.
    class One:
        def __index__(self):
            return 1

    records = [(f"t{i}", i % 50, One()) for i in range(20_000)]
    stop = threading.Event()

    def churn():
        while not stop.is_set():
            try:
                records.pop()
                records.insert(0, ("x", 1, One()))
            except IndexError:
                pass

    thread = threading.Thread(target=churn)
    thread.start()
    try:
        for _ in range(5):
            try:
                index = quorvatel.build(records)
            except (ValueError, TypeError):
                continue
            assert index.fuzzy_match("x", 0) in ([], [("x", 1, 0)])
    finally:
        stop.set()
        thread.join()


class TermStr(str):
    pass


class CountInt(int):
    pass


class Id(bytes):
    pass


class RowTuple(tuple):
    pass


class Records(list):
    pass


def test_subclasses_of_records_rows_and_values_count_as_their_base():
    uid = bytes(range(16))
    plain = [("ab", uid, 2), ("ac", uid, 3), ("ab", None, 1)]
    made = Records([RowTuple((TermStr("ab"), Id(uid), CountInt(2))), [TermStr("ac"), uuid.UUID(bytes=uid), CountInt(3)],
                    RowTuple(("ab", None, 1))])
    assert quorvatel.build(made).to_bytes() == records_reference(plain)
