import pytest

import _quorvatel

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


@pytest.fixture
def ab_ac():
    return PrefixSearch.from_internal_data_v2(*AB_AC_ARGS)


def build_from_terms(terms, video_top_n=10, id_width=4):
    """Builds a trie from {term: (count, [(video_row, count), ...])} with
    parents numbered before children (breadth-first), videos as Int32 ids
    equal to their row (id_width 4) or as 16-byte ids (id_width 16)."""
    children = [{}]
    labels = [""]
    payload_of = {}
    for term, payload in terms.items():
        node = 0
        for ch in term:
            nxt = children[node].get(ch)
            if nxt is None:
                nxt = len(labels)
                children[node][ch] = nxt
                children.append({})
                labels.append(ch)
            node = nxt
        payload_of[node] = payload
    # renumber breadth-first so that parents come before children
    order = [0]
    for node in order:
        order.extend(children[node].values())
    new = {old: i for i, old in enumerate(order)}
    node_shifts, child_transitions, child_labels, payloads = [], [], [], []
    max_row = -1
    for old in order:
        node_shifts.append(len(child_transitions))
        child_transitions.extend(new[c] for c in children[old].values())
        child_labels.append(labels[old])
        p = payload_of.get(old)
        if p is None:
            payloads.append(None)
        else:
            count, videos = p
            payloads.append((count, [v for v, _ in videos], [c for _, c in videos]))
            max_row = max([max_row] + [v for v, _ in videos])
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
