"""quorvatel.complete and quorvatel.suggest: ranked completions and "did you
mean" suggestions, checked against a brute-force reference (every stored
term, its distance by a full table, a filter and a sort) over random indexes,
texts and typo policies; their arguments; the result type; indexes they
refuse."""

import pickle
import random

import pytest

import quorvatel
from _quorvatel import PrefixSearch

# ---------------------------------------------------------------- reference


def prefix_distances(term, text, transpositions):
    """Entry i: the edit distance between term[:i] and text."""
    n, m = len(term), len(text)
    d = [[0] * (m + 1) for _ in range(n + 1)]
    for j in range(m + 1):
        d[0][j] = j
    for i in range(1, n + 1):
        d[i][0] = i
        for j in range(1, m + 1):
            d[i][j] = min(d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (term[i - 1] != text[j - 1]))
            if transpositions and i > 1 and j > 1 and term[i - 1] == text[j - 2] and term[i - 2] == text[j - 1]:
                d[i][j] = min(d[i][j], d[i - 2][j - 2] + 1)
    return [row[m] for row in d]


def reference(terms, text, mode, limit=10, max_dist="auto", prefix_length=0, transpositions=True):
    """`terms`: [(term, own count)]."""
    k = (0 if len(text) <= 2 else 1 if len(text) <= 5 else 2) if max_dist == "auto" else max_dist
    fixed = min(prefix_length, len(text))
    found = []
    for term, count in terms:
        if len(term) < fixed or term[:fixed] != text[:fixed]:
            continue
        d = prefix_distances(term, text, transpositions)
        distance = d[-1] if mode == "suggest" else min(d)
        if distance <= k:
            found.append((distance, -count, term))
    found.sort()
    return [(term, -minus, distance) for distance, minus, term in found][: None if limit is None else limit]


def search(mode, *args, **kwargs):
    return getattr(quorvatel, mode)(*args, **kwargs)


# ---------------------------------------------------------------- random indexes


def random_terms(rng, alphabet="abc", most=30, longest=7):
    terms = {}
    for _ in range(rng.randint(1, most)):
        term = "".join(rng.choice(alphabet) for _ in range(rng.randint(1, longest)))
        terms[term] = rng.randint(0, 3)  # small counts: ties are common
    return terms


def flat_arrays(terms, rng):
    """Arrays for from_internal_data_v2 numbered breadth-first with each
    node's children in random order, so that node numbers do not follow the
    text order; sometimes a term is split over two siblings with equal labels."""
    children = [[]]  # per node: [(label, child)]
    labels = [""]
    payload = {}
    for term, count in terms.items():
        node = 0
        for i, ch in enumerate(term):
            same = [c for label, c in children[node] if label == ch]
            if same and not (i == len(term) - 1 and rng.random() < 0.1):
                node = rng.choice(same)
                continue
            labels.append(ch)
            children.append([])
            children[node].append((ch, len(labels) - 1))
            node = len(labels) - 1
        payload[node] = payload.get(node, 0) + count
    for kids in children:
        rng.shuffle(kids)
    order = [0]
    for node in order:
        order.extend(c for _, c in children[node])
    number = {old: new for new, old in enumerate(order)}
    shifts, edges, out_labels, payloads = [], [], [], []
    for old in order:
        shifts.append(len(edges))
        edges.extend(number[c] for _, c in children[old])
        out_labels.append(labels[old])
        payloads.append((payload[old], [], []) if old in payload else None)
    # the reference: every terminal node's text and count (equal texts may repeat)
    texts = {0: ""}
    for old in order:
        for ch, c in children[old]:
            texts[c] = texts[old] + ch
    stored = [(texts[node], count) for node, count in payload.items()]
    return (shifts, out_labels, payloads, edges, [], 1), stored


def random_index(rng):
    terms = random_terms(rng)
    if rng.random() < 0.5:
        return quorvatel.build([(t, None, c) for t, c in terms.items()]), list(terms.items())
    arrays, stored = flat_arrays(terms, rng)
    return PrefixSearch.from_internal_data_v2(*arrays), stored


def random_text(rng):
    return "".join(rng.choice("abcd") for _ in range(rng.randint(0, 7)))


@pytest.mark.parametrize("seed", range(6))
def test_both_functions_match_the_reference(seed):
    rng = random.Random(seed)
    for _ in range(60):
        index, stored = random_index(rng)
        for _ in range(8):
            text = random_text(rng)
            policy = {
                "limit": rng.choice([0, 1, 3, 10, None]),
                "max_dist": rng.choice(["auto", 0, 1, 2, 3, 50]),
                "prefix_length": rng.choice([0, 1, 2, 9]),
                "transpositions": rng.random() < 0.5,
            }
            for mode in ("complete", "suggest"):
                got = [tuple(r) for r in search(mode, index, text, **policy)]
                assert got == reference(stored, text, mode, **policy), (mode, text, policy)


def test_ties_are_broken_by_text():
    words = ["bb", "ba", "b", "abc", "ab", "a"]
    index = quorvatel.build([(w, None, 1) for w in words])
    assert [r.term for r in quorvatel.complete(index, "", limit=None)] == sorted(words)
    assert [r.term for r in quorvatel.complete(index, "b", limit=2)] == ["b", "ba"]


def test_suggest_without_transpositions_finds_what_fuzzy_match_finds():
    rng = random.Random(9)
    for _ in range(150):
        index, _ = random_index(rng)
        text = random_text(rng)
        k = rng.randint(0, 3)
        walked = sorted((term, distance) for term, _, distance in index.fuzzy_match(text, k))
        suggested = quorvatel.suggest(index, text, limit=None, max_dist=k, transpositions=False)
        assert sorted((r.term, r.distance) for r in suggested) == walked


def test_the_example():
    index = quorvatel.build([("python", 1, 30), ("pythons", 1, 4), ("jython", 2, 7), ("java", 3, 12)])
    assert quorvatel.complete(index, "pyt") == [("python", 30, 0), ("pythons", 4, 0), ("jython", 7, 1)]
    assert quorvatel.complete(index, "pyhton", max_dist=1) == [("python", 30, 1), ("pythons", 4, 1)]
    assert quorvatel.suggest(index, "pyhton") == [("python", 30, 1), ("jython", 7, 2), ("pythons", 4, 2)]
    assert quorvatel.suggest(index, "pyhton", transpositions=False) == [("python", 30, 2)]
    assert quorvatel.complete(index, "jy", prefix_length=2, max_dist=2) == [("jython", 7, 0)]


# ---------------------------------------------------------------- the result type


def test_results_are_named_tuples():
    index = quorvatel.build([("naïve", None, 3)])
    (row,) = quorvatel.complete(index, "na")
    assert isinstance(row, quorvatel.Completion) and isinstance(row, tuple)
    assert (row.term, row.count, row.distance) == ("naïve", 3, 0) == tuple(row)
    assert repr(row) == "Completion(term='naïve', count=3, distance=0)"
    assert row._asdict() == {"term": "naïve", "count": 3, "distance": 0}
    again = pickle.loads(pickle.dumps(row))
    assert again == row and type(again) is quorvatel.Completion


# ---------------------------------------------------------------- arguments


@pytest.fixture(scope="module")
def index():
    return quorvatel.build([("python", None, 3), ("java", None, 1)])


@pytest.mark.parametrize("mode", ["complete", "suggest"])
@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((), {}, TypeError, "{f}() missing 1 required positional argument: '{t}'"),
        (("py", 10), {}, TypeError, "{f}() takes 2 positional arguments but 3 were given"),
        (("py",), {"limt": 1}, TypeError, "{f}() got an unexpected keyword argument 'limt'"),
        ((b"py",), {}, TypeError, "{t} must be a str, not bytes"),
        (("p" * 129,), {}, ValueError, "{t} has 129 code points; a search takes at most 128"),
        (("py",), {"limit": "3"}, TypeError, "limit must be an int or None, not str"),
        (("py",), {"limit": True}, TypeError, "limit must be an int or None, not bool"),
        (("py",), {"limit": -1}, ValueError, "limit must be 0 or more, not -1"),
        (("py",), {"max_dist": 1.0}, TypeError, "max_dist must be an int or 'auto', not float"),
        (("py",), {"max_dist": "AUTO"}, ValueError, "max_dist must be an int or 'auto', not 'AUTO'"),
        (("py",), {"max_dist": -2}, ValueError, "max_dist must be 0 or more, not -2"),
        (("py",), {"prefix_length": None}, TypeError, "prefix_length must be an int, not NoneType"),
        (("py",), {"prefix_length": -10**30}, ValueError, f"prefix_length must be 0 or more, not {-10**30}"),
        (("py",), {"transpositions": 1}, TypeError, "transpositions must be True or False, not int"),
    ],
)
def test_bad_arguments_name_the_argument(index, mode, args, kwargs, error, message):
    text = "text" if mode == "complete" else "term"
    with pytest.raises(error) as raised:
        search(mode, index, *args, **kwargs)
    assert str(raised.value) == message.format(f=mode, t=text)


@pytest.mark.parametrize("mode", ["complete", "suggest"])
def test_the_index_must_be_a_prefix_search(mode):
    with pytest.raises(TypeError, match="^index must be a PrefixSearch or a MappedIndex, not dict$"):
        search(mode, {}, "py")


def test_large_numbers_mean_no_bound(index):
    for mode in ("complete", "suggest"):
        assert search(mode, index, "pyth", limit=10**40, max_dist=10**40, prefix_length=10**40) == search(
            mode, index, "pyth", limit=None, max_dist=2**32 - 1, prefix_length=4
        )


def test_integer_like_arguments(index):
    numpy = pytest.importorskip("numpy")
    assert quorvatel.complete(index, "jav", limit=numpy.int64(1), max_dist=numpy.uint8(1)) == [("java", 1, 0)]


# ---------------------------------------------------------------- indexes no build makes


@pytest.mark.parametrize(
    "arrays, problem",
    [
        (([0, 2, 3], ["", "a", "b"], [None, None, (1, [], [])], [1, 2, 2], [], 1),
         "node 2 is entered by more than one edge"),
        (([0, 1], ["", "a"], [None, (1, [], [])], [1, 0], [], 1), "edge 1 leads from node 1 back to node 0"),
    ],
)
def test_tries_that_are_no_tree_are_refused(arrays, problem):
    index = PrefixSearch.from_internal_data_v2(*arrays)
    again = PrefixSearch.from_bytes(index.to_bytes())
    for target in (index, again):
        for mode in ("complete", "suggest"):
            with pytest.raises(ValueError) as raised:
                search(mode, target, "a")
            assert str(raised.value) == f"the index cannot be searched by complete() or suggest(): {problem}"


def test_an_index_without_nodes_has_no_results():
    empty = PrefixSearch.from_bytes(bytes(8))
    assert quorvatel.complete(empty, "") == quorvatel.suggest(empty, "a", max_dist=3) == []


# ---------------------------------------------------------------- modules of different builds


def run_python(code):
    import subprocess
    import sys

    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize(
    "replacement, detail",
    [
        ("5", "it is no class but an object of type int"),
        ("dict", "dict instances of "),
    ],
)
def test_an_extension_of_another_build_is_refused_not_misread(replacement, detail):
    # The private module finds PrefixSearch in _quorvatel once, then keeps it.
    out = run_python(
        "import _quorvatel, _quorvatel_records\n"
        f"_quorvatel.PrefixSearch = {replacement}\n"
        "try:\n"
        "    _quorvatel_records.complete({}, 'a')\n"
        "except RuntimeError as e:\n"
        "    print(e)\n"
    )
    assert out.stdout.startswith(
        f"_quorvatel.PrefixSearch is not the class this _quorvatel_records reads ({detail}"
    ), out.stdout + out.stderr
    assert out.stdout.rstrip().endswith("); install both modules from one build")


def test_a_result_class_that_is_no_plain_tuple_fails_the_import():
    out = run_python(
        "import collections\n"
        "collections.namedtuple = lambda *args, **kwargs: dict\n"
        "try:\n"
        "    import _quorvatel_records\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    assert out.stdout == "collections.namedtuple made a Completion class that is no plain tuple subclass\n", out.stderr
