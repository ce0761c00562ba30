import os
import sys

import pytest

# The snapshot format and the terms -> arrays helper, shared with the fuzz
# seed maker and the benchmarks.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "shared"))

import _quorvatel  # noqa: E402
import term_arrays  # noqa: E402

PrefixSearch = _quorvatel.PrefixSearch

# The four-node trie storing "ab" and "ac", with Int32 video ids 1 and 2.
AB_AC_ARGS = (
    [0, 1, 3, 3],
    ["", "a", "b", "c"],
    [None, None, (5, [0], [5]), (3, [1, 0], [2, 1])],
    [1, 2, 3],
    [b"\x01\x00\x00\x00", b"\x02\x00\x00\x00"],
    2,
)
NODE_SHIFTS, CHILD_LABELS, PAYLOADS, CHILD_TRANSITIONS, VIDEO_INDEX, VIDEO_TOP_N = AB_AC_ARGS


@pytest.fixture
def ab_ac():
    return PrefixSearch.from_internal_data_v2(*AB_AC_ARGS)


def build(**changes):
    """from_internal_data_v2 with the arguments of the ab/ac trie, some
    replaced by keyword."""
    args = dict(
        node_shifts=NODE_SHIFTS,
        child_labels=CHILD_LABELS,
        payloads=PAYLOADS,
        child_transitions=CHILD_TRANSITIONS,
        video_index=VIDEO_INDEX,
        video_top_n=VIDEO_TOP_N,
    )
    args.update(changes)
    return PrefixSearch.from_internal_data_v2(*args.values())


def check_raises(call, exc_type, message):
    """call() raises exactly `exc_type` (not a subclass) with `message`."""
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is exc_type, repr(info.value)
    assert str(info.value) == message
    return info.value


def build_from_terms(terms, video_top_n=10, id_width=4):
    """Builds a trie from {term: (count, [(video_row, count), ...])} with
    nodes numbered breadth-first, videos as Int32 ids equal to their row
    (id_width 4) or as 16-byte ids (id_width 16)."""

    def payload(term):
        count, videos = terms[term]
        return count, [v for v, _ in videos], [c for _, c in videos]

    node_shifts, child_labels, payloads, child_transitions = term_arrays.flat_arrays(terms, payload, "breadth")
    max_row = max((v for _, videos in terms.values() for v, _ in videos), default=-1)
    video_index = [
        i.to_bytes(4, "little") if id_width == 4 else bytes([i % 256]) * 16 for i in range(max_row + 1)
    ]
    return PrefixSearch.from_internal_data_v2(
        node_shifts, child_labels, payloads, child_transitions, video_index, video_top_n
    )


class IndexOrRaise:
    """An integer-like object: __index__ gives `value`, or raises it when it
    is an exception."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value
