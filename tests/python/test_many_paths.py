"""Nodes reached along many paths and payloads with many videos: the results
are exact (each path contributes once), building costs what the results
hold, and every snapshot that to_bytes writes loads again."""

import pytest

from _quorvatel import PrefixSearch

import quorvatel

ALL = 2**64 - 1


def int_index(videos):
    return [i.to_bytes(4, "little") for i in range(videos)]


def payloads_of(snapshot):
    """The payloads field of a snapshot: per node None or (count, ids, counts)."""
    pos = 0

    def varint():
        nonlocal pos
        k = snapshot[pos]
        pos += 1
        if k <= 250:
            return k
        size = {251: 2, 252: 4, 253: 8}[k]
        pos += size
        return int.from_bytes(snapshot[pos - size : pos], "little")

    def skip_chars(n):
        nonlocal pos
        for _ in range(n):
            lead = snapshot[pos]
            pos += 1 if lead < 0x80 else 2 if lead < 0xE0 else 3 if lead < 0xF0 else 4

    for _ in range(varint()):  # node_shifts
        varint()
    skip_chars(varint())  # child_labels
    for _ in range(varint()):  # child_transitions
        varint()
    out = []
    for _ in range(varint()):
        pos += 1
        if snapshot[pos - 1] == 0:
            out.append(None)
            continue
        count = varint()
        ids = [varint() for _ in range(varint())]
        counts = [varint() for _ in range(varint())]
        out.append((count, ids, counts))
    return out


def chain(edges_to_1, edges_to_2, videos, count=None, top_n=ALL):
    """Root -> node 1 by `edges_to_1` edges, node 1 -> node 2 by `edges_to_2`
    edges; node 2 holds `videos` videos with count 1 each."""
    leaf = (videos if count is None else count, list(range(videos)), [1] * videos)
    return PrefixSearch.from_internal_data_v2(
        [0, edges_to_1, edges_to_1 + edges_to_2],
        ["", "a", "b"],
        [None, None, leaf],
        [1] * edges_to_1 + [2] * edges_to_2,
        int_index(videos),
        top_n,
    )


@pytest.mark.parametrize("videos", [16, 17])
@pytest.mark.parametrize("top_n", [ALL, 2**32 + 5])
def test_paths_multiply_exactly(videos, top_n):
    # 2^14 x 2^14 paths from the root to node 2.
    t = chain(2**14, 2**14, videos, top_n=top_n)
    root, one, two = payloads_of(t.to_bytes())
    assert two == (videos, list(range(videos)), [1] * videos)
    assert one == (videos * 2**14, list(range(videos)), [2**14] * videos)
    assert root == (min(videos * 2**28, 2**32 - 1), list(range(videos)), [2**28] * videos)
    # Node 1 alone: each video holds 1 / videos of its count.
    scores = dict(t.fuzzy_match_video("a", 0, include_prefix_nodes=True))
    assert scores == {str(v): pytest.approx(1 / videos) for v in range(videos)}


def test_many_edges_to_a_large_payload():
    # 65,536 edges from the root to one node with 65,536 videos.
    videos = 65536
    t = PrefixSearch.from_internal_data_v2(
        [0, videos], ["", "a"], [None, (1, list(range(videos)), [1] * videos)], [1] * videos, int_index(videos), ALL
    )
    root, one = payloads_of(t.to_bytes())
    assert one == (1, list(range(videos)), [1] * videos)
    assert root == (videos, list(range(videos)), [videos] * videos)
    assert PrefixSearch.from_bytes(t.to_bytes()).to_bytes() == t.to_bytes()


def test_duplicate_edges_cost_what_the_result_holds():
    # 2^15 + 1 edges from node 1 to node 2, which holds 65,536 videos: every
    # total is 32,769 and the lists are no longer than the videos.
    t = chain(1, 2**15 + 1, 65536, count=1)
    root, one, two = payloads_of(t.to_bytes())
    assert one == (2**15 + 1, list(range(65536)), [2**15 + 1] * 65536)
    assert root == one


def test_totals_past_32_bits_saturate_and_rank_by_their_full_sum():
    # Through two edges to node 2 and one to node 3, video 1 sums to
    # 2 x (2^32 - 1) + 5 at node 1 and video 0 to 2 x (2^32 - 1): both store
    # 2^32 - 1, video 1 first. The root above, with one edge to node 1, lists
    # what merging node 1's stored list gives: equal counts by id.
    big = 2**32 - 1
    t = PrefixSearch.from_internal_data_v2(
        [0, 1, 4, 4],
        ["", "a", "b", "c"],
        [None, None, (1, [1, 0], [big, big]), (1, [1], [5])],
        [1, 2, 2, 3],
        int_index(2),
        ALL,
    )
    root, one, _, _ = payloads_of(t.to_bytes())
    assert one == (3, [1, 0], [big, big])
    assert root == (3, [0, 1], [big, big])


def test_a_root_with_more_than_65536_videos_loads_again():
    # 65,537 one-video leaves under the root.
    n = 65537
    t = PrefixSearch.from_internal_data_v2(
        [0] + [n] * n,
        [""] + ["a"] * n,
        [None] + [(1, [i], [1]) for i in range(n)],
        list(range(1, n + 1)),
        int_index(n),
        ALL,
    )
    data = t.to_bytes()
    assert PrefixSearch.from_bytes(data).to_bytes() == data


def test_records_with_65537_videos_build():
    records = [(f"t{i}", i, 1) for i in range(65537)]
    index = quorvatel.build(records, video_top_n=100000)
    assert len(index.fuzzy_match_video("t", 0, include_prefix_nodes=True, min_score=0.0)) == 65537


@pytest.mark.parametrize("videos", [10**6])
def test_a_payload_of_a_million_videos_round_trips(videos):
    t = PrefixSearch.from_internal_data_v2(
        [0, 1], ["", "a"], [None, (7, list(range(videos)), [3] * videos)], [1], int_index(videos), ALL
    )
    data = t.to_bytes()
    again = PrefixSearch.from_bytes(data)
    assert again.to_bytes() == data
    assert len(again.fuzzy_match_video("a", 0, min_score=0.0)) == videos
