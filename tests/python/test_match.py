"""fuzzy_match: stored terms within max_dist edits, in the trie's pre-order."""

import pytest
from hypothesis import given, settings, strategies as st

from _quorvatel import PrefixSearch

from conftest import build_from_terms
from term_arrays import flat_arrays


def levenshtein(a, b):
    row = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        prev, row[0] = row[0], i
        for j, cb in enumerate(b, 1):
            prev, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, prev + (ca != cb))
    return row[-1]


def arrays_from_terms(terms):
    """Flat arrays for a trie of `terms`, nodes numbered as they are first
    reached (so subtrees need not be contiguous), payload (1, [], []) on
    every term's node."""
    return flat_arrays(terms, numbering="creation")


def reference_walk(node_shifts, labels, payloads, edges, term, max_dist, limit=None):
    """The plain recursive walk: one full row per depth."""
    out = []

    def dfs(node, prev, path):
        end = node_shifts[node + 1] if node + 1 < len(node_shifts) else len(edges)
        for e in range(node_shifts[node], end):
            c = edges[e]
            x = labels[c]
            if x == "":
                continue
            cur = [prev[0] + 1]
            for j, t in enumerate(term, 1):
                cur.append(min(prev[j - 1] + (t != x), prev[j] + 1, cur[j - 1] + 1))
            if min(cur) > max_dist:
                continue
            if cur[-1] <= max_dist and payloads[c] is not None:
                out.append((path + x, 1, cur[-1]))
                if limit is not None and len(out) >= limit:
                    return True
            if dfs(c, cur, path + x):
                return True
        return False

    dfs(0, list(range(len(term) + 1)), "")
    return out


alphabet = "abcAé😀"
term_sets = st.lists(st.text(alphabet=alphabet, min_size=1, max_size=6), min_size=1, max_size=25, unique=True)
queries = st.text(alphabet=alphabet + "d", max_size=7)


@settings(max_examples=300, deadline=None)
@given(terms=term_sets, query=queries, max_dist=st.integers(0, 3), limit=st.none() | st.integers(0, 6))
def test_matches_levenshtein_and_preorder(terms, query, max_dist, limit):
    arrays = arrays_from_terms(terms)
    trie = PrefixSearch.from_internal_data_v2(*arrays, [], 1)
    got = trie.fuzzy_match(query, max_dist, limit)
    assert got == reference_walk(*arrays, query, max_dist, limit)
    if limit is None:
        expected = {t: levenshtein(t, query) for t in terms if levenshtein(t, query) <= max_dist}
        assert {text: d for text, _, d in got} == expected
        assert len(got) == len(expected)


@pytest.fixture
def words():
    return PrefixSearch.from_internal_data_v2(*arrays_from_terms(["car", "cart", "cat", "dog", "a", "b"]), [], 1)


@pytest.mark.parametrize(
    "term,max_dist,limit,expected",
    [
        ("car", 1, None, [("car", 1, 0), ("cart", 1, 1), ("cat", 1, 1)]),
        ("cart", 1, None, [("car", 1, 1), ("cart", 1, 0), ("cat", 1, 1)]),  # pre-order, not ranked by distance
        ("car", 0, None, [("car", 1, 0)]),
        ("ca", 0, None, []),  # "ca" is only a prefix
        ("", 1, None, [("a", 1, 1), ("b", 1, 1)]),
        ("", 0, None, []),
        ("carts", 1, None, [("cart", 1, 1)]),
        ("cartoons", 2, None, []),
        ("cat", 1, 1, [("car", 1, 1)]),  # the first hit in pre-order, not the closest
        ("cat", 1, 0, [("car", 1, 1)]),  # a limit of 0 still records one hit
        ("cat", 1, 99, [("car", 1, 1), ("cart", 1, 1), ("cat", 1, 0)]),
        ("tac", 2, None, [("car", 1, 2), ("cat", 1, 2), ("a", 1, 2)]),
        ("zzz", 1, None, []),
    ],
)
def test_examples(words, term, max_dist, limit, expected):
    assert words.fuzzy_match(term, max_dist, limit) == expected


@pytest.mark.parametrize("method", ["fuzzy_match", "fuzzy_match_video"])
def test_the_default_max_dist_is_one(method):
    # "abxy" lies exactly 2 edits from "abcd", "abcx" 1: a default of 2
    # (or 0) would change both results.
    trie = build_from_terms({"abcd": (5, [(0, 5)]), "abcx": (2, [(1, 2)]), "abxy": (3, [(2, 3)])})
    query = getattr(trie, method)
    assert query("abcd") == query("abcd", 1) == query("abcd", max_dist=1)
    assert query("abcd") != query("abcd", 2)
    assert query("abcd") != query("abcd", 0)
    if method == "fuzzy_match":
        assert query("abcd") == [("abcd", 1, 0), ("abcx", 1, 1)]


def test_defaults_and_worked_example(ab_ac):
    assert ab_ac.fuzzy_match("ab") == [("ab", 1, 0), ("ac", 1, 1)]
    assert ab_ac.fuzzy_match("ab", limit=None) == ab_ac.fuzzy_match("ab")
    assert ab_ac.fuzzy_match(term="ab", max_dist=True) == [("ab", 1, 0), ("ac", 1, 1)]


def test_sibling_labels_are_not_merged():
    trie = PrefixSearch.from_internal_data_v2([0, 2, 2], ["", "x", "x"], [None, (1, [], []), (2, [], [])],
                                              [1, 2], [], 1)
    assert trie.fuzzy_match("x", 0) == [("x", 1, 0), ("x", 1, 0)]


def test_zero_label_subtree_is_never_entered():
    trie = PrefixSearch.from_internal_data_v2([0, 1, 2], ["", "", "a"], [None, (1, [], []), (1, [], [])],
                                              [1, 2], [], 1)
    assert trie.fuzzy_match("a", 3) == []


def test_non_terminal_prefix_is_walked_through():
    trie = build_from_terms({"abcd": (1, [])})
    assert trie.fuzzy_match("ab", 1) == []
    assert trie.fuzzy_match("abc", 1) == [("abcd", 1, 1)]


@pytest.mark.parametrize("max_dist", [65533, 65534, 65535, 2**16, 2**31, 2**32 - 1])
def test_huge_max_dist_gives_exact_distances(words, max_dist):
    got = words.fuzzy_match("xyz", max_dist)
    assert {text: d for text, _, d in got} == {
        t: levenshtein(t, "xyz") for t in ["car", "cart", "cat", "dog", "a", "b"]
    }


@pytest.mark.parametrize("length", [65533, 65534, 100_000])
def test_long_terms_give_exact_distances(length):
    term = "a" * length
    trie = build_from_terms({"a": (1, []), "aa": (1, []), "b": (1, [])})
    assert trie.fuzzy_match(term, 1) == []
    assert trie.fuzzy_match(term, length - 1) == [("a", 1, length - 1), ("aa", 1, length - 2)]
    assert trie.fuzzy_match(term, length)[-1] == ("b", 1, length)


def test_long_chain_and_long_term():
    term = "ab" * 50_000
    trie = build_from_terms({term: (1, []), term[:-1]: (1, [])})
    assert trie.fuzzy_match(term, 0) == [(term, 1, 0)]
    assert trie.fuzzy_match(term, 1) == [(term[:-1], 1, 1), (term, 1, 0)]


def test_astral_and_case():
    trie = build_from_terms({"😀a": (1, []), "A": (1, [])})
    assert trie.fuzzy_match("😀", 1) == [("😀a", 1, 1), ("A", 1, 1)]
    assert trie.fuzzy_match("😀a", 0) == [("😀a", 1, 0)]
    assert trie.fuzzy_match("a", 1) == [("😀a", 1, 1), ("A", 1, 1)]
    assert trie.fuzzy_match("a", 0) == []


def test_empty_trie():
    trie = PrefixSearch.from_internal_data_v2([], [], [], [], [], 0)
    assert trie.fuzzy_match("a", 3) == []
    assert trie.fuzzy_match_video("a", 3) == []
