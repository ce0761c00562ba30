"""The batch functions fuzzy_match_many, fuzzy_match_video_many and
complete_many, checked against the one-by-one calls they stand for (results
and errors alike) over random indexes, batches and options with one, two and
many threads; a damaged index; Ctrl-C during a batch; and other Python
threads running while a long query runs without the interpreter lock."""

import _thread
import os
import random
import signal
import threading
import time

import pytest

import quorvatel
from _quorvatel import PrefixSearch
from conftest import build_from_terms
from snapshot_format import encode as snapshot

# Big enough batches run on the threads: a batch runs on the calling thread
# until it has held the interpreter lock for 200 µs.
WORKERS = [1, 2, 7]

# ---------------------------------------------------------------- random indexes and batches

ALPHABET = "abcé𝄞"  # a Latin-1, a two-byte and an astral character among plain ones


def random_terms(rng, most):
    terms = {}
    for _ in range(rng.randint(1, most)):
        term = "".join(rng.choice(ALPHABET) for _ in range(rng.randint(1, 8)))
        videos = [(rng.randrange(6), rng.randint(1, 5)) for _ in range(rng.randint(0, 3))]
        terms[term] = (rng.randint(0, 4), videos)
    return terms


def random_index(rng, most=40):
    """From quorvatel.build (pre-order, ids as given) or from breadth-first
    arrays (conftest.build_from_terms), about half each."""
    terms = random_terms(rng, most)
    if rng.random() < 0.5:
        records = []
        for term, (count, videos) in terms.items():
            records.append((term, None, count))
            records += [(term, video, n) for video, n in videos]
        return quorvatel.build(records, video_top_n=rng.randint(1, 4))
    deduplicated = {}
    for term, (count, videos) in terms.items():
        merged = {}
        for video, n in videos:
            merged[video] = merged.get(video, 0) + n
        deduplicated[term] = (count, sorted(merged.items(), key=lambda v: (-v[1], v[0])))
    return build_from_terms(deduplicated, video_top_n=rng.randint(1, 4), id_width=rng.choice([4, 16]))


def random_batch(rng, size):
    texts = ["".join(rng.choice(ALPHABET + "d") for _ in range(rng.randint(0, 9))) for _ in range(size)]
    if texts and rng.random() < 0.3:
        texts += rng.choices(texts, k=rng.randint(1, 5))  # duplicates
    if rng.random() < 0.2:
        texts.append("𝄞a" * 60)  # long, astral
    rng.shuffle(texts)
    return texts


def one_by_one_match(index, terms, max_dist=1, limit=None):
    return [index.fuzzy_match(t, max_dist, limit) for t in terms]


def one_by_one_video(index, terms, **options):
    return [index.fuzzy_match_video(t, **options) for t in terms]


def one_by_one_complete(index, texts, **options):
    return [quorvatel.complete(index, t, **options) for t in texts]


@pytest.mark.parametrize("seed", range(4))
def test_batches_equal_one_by_one_calls(seed, tmp_path):
    rng = random.Random(seed)
    for round_ in range(25):
        index = random_index(rng)
        if rng.random() < 0.3:  # the same trie, mapped: the batch must read it alike
            path = tmp_path / f"{round_}.qvm"
            quorvatel.save(index, path, format="mapped")
            index = quorvatel.open(path)
        # Batches of a few thousand run past the calling thread's budget.
        terms = random_batch(rng, rng.choice([0, 1, 5, 300, 3000]))
        workers = rng.choice(WORKERS + [None])
        k = rng.choice([0, 1, 2, 3])
        limit = rng.choice([None, 0, 1, 3])
        got = quorvatel.fuzzy_match_many(index, terms, max_dist=k, limit=limit, workers=workers)
        assert got == one_by_one_match(index, terms, k, limit)

        video = {
            "max_dist": k,
            "limit": limit,
            "include_prefix_nodes": rng.choice([None, True, False]),
            "min_score": rng.choice([None, 0.0, 0.2, -1.0]),
        }
        got = quorvatel.fuzzy_match_video_many(index, iter(terms), workers=workers, **video)
        # bit for bit: equal floats, and the same order among equal scores
        assert got == one_by_one_video(index, terms, **video)

        policy = {
            "limit": rng.choice([None, 0, 2, 10]),
            "max_dist": rng.choice(["auto", 0, 1, 2]),
            "prefix_length": rng.choice([0, 1, 3]),
            "transpositions": rng.random() < 0.5,
        }
        texts = [t[:128] for t in terms]
        got = quorvatel.complete_many(index, tuple(texts), workers=workers, **policy)
        assert got == one_by_one_complete(index, texts, **policy)
        assert all(type(row) is quorvatel.Completion for rows in got for row in rows)


@pytest.fixture(scope="module")
def large_index():
    """About 20,000 terms: queries at k = 2 examine thousands of nodes each."""
    rng = random.Random(11)
    records = []
    for i in range(20_000):
        term = "".join(rng.choice("abcdefghij") for _ in range(rng.randint(3, 12)))
        records.append((term, rng.randrange(500), rng.randint(1, 50)))
    return quorvatel.build(records)


@pytest.mark.parametrize("workers", WORKERS)
def test_large_batches_equal_one_by_one_calls(large_index, workers):
    rng = random.Random(workers)
    terms = ["".join(rng.choice("abcdefghijk") for _ in range(rng.randint(2, 12))) for _ in range(400)]
    assert quorvatel.fuzzy_match_many(large_index, terms, max_dist=2, workers=workers) == one_by_one_match(
        large_index, terms, 2
    )
    assert quorvatel.fuzzy_match_video_many(
        large_index, terms, max_dist=2, limit=5, workers=workers
    ) == one_by_one_video(large_index, terms, max_dist=2, limit=5)
    assert quorvatel.complete_many(large_index, terms, max_dist=2, workers=workers) == one_by_one_complete(
        large_index, terms, max_dist=2
    )


def test_the_example():
    index = quorvatel.build([("python", 1, 30), ("pythons", 1, 4), ("jython", 2, 7), ("java", 3, 12)])
    assert quorvatel.fuzzy_match_many(index, ["pyton", "jav"], max_dist=2) == [
        [("jython", 1, 2), ("python", 1, 1), ("pythons", 1, 2)],
        [("java", 1, 1)],
    ]
    assert quorvatel.fuzzy_match_many(index, ["pyton"], max_dist=2, limit=1) == [[("jython", 1, 2)]]
    assert quorvatel.fuzzy_match_video_many(index, ["jav"]) == [[("3", 1.0)]]
    assert quorvatel.complete_many(index, ["pyt"], limit=1, workers=1) == [[("python", 30, 0)]]


def test_empty_batches_and_any_iterable():
    index = quorvatel.build([("ab", 1, 1)])
    for function in (quorvatel.fuzzy_match_many, quorvatel.fuzzy_match_video_many, quorvatel.complete_many):
        assert function(index, []) == []
        assert function(index, iter(())) == []
        assert function(index, (t for t in ["ab", "ab"])) == [function(index, ["ab"])[0]] * 2
        assert function(index, {"ab": 1}.keys()) == function(index, ["ab"])


# ---------------------------------------------------------------- arguments


@pytest.fixture(scope="module")
def index():
    return quorvatel.build([("python", 1, 3), ("java", 2, 1)])


def raised(call):
    try:
        call()
    except Exception as e:
        return type(e), str(e)
    raise AssertionError("no exception")


BAD_MATCH_OPTIONS = [
    {"max_dist": None},
    {"max_dist": -1},
    {"max_dist": 2**32},
    {"max_dist": "1"},
    {"limit": -1},
    {"limit": "3"},
    {"limit": 2**64},
]
BAD_VIDEO_OPTIONS = BAD_MATCH_OPTIONS + [
    {"include_prefix_nodes": 1},
    {"include_prefix_nodes": "yes"},
    {"min_score": "0.5"},
    {"min_score": []},
]
BAD_COMPLETE_OPTIONS = [
    {"limit": -1},
    {"limit": True},
    {"max_dist": "two"},
    {"max_dist": 1.5},
    {"prefix_length": None},
    {"transpositions": 0},
]


@pytest.mark.parametrize("options", BAD_MATCH_OPTIONS)
def test_match_options_fail_as_fuzzy_match_fails(index, options):
    expected = raised(lambda: index.fuzzy_match("py", **options))
    assert raised(lambda: quorvatel.fuzzy_match_many(index, ["py"], **options)) == expected


@pytest.mark.parametrize("options", BAD_VIDEO_OPTIONS)
def test_video_options_fail_as_fuzzy_match_video_fails(index, options):
    expected = raised(lambda: index.fuzzy_match_video("py", **options))
    assert raised(lambda: quorvatel.fuzzy_match_video_many(index, ["py"], **options)) == expected


@pytest.mark.parametrize("options", BAD_COMPLETE_OPTIONS)
def test_complete_options_fail_as_complete_fails(index, options):
    expected = raised(lambda: quorvatel.complete(index, "py", **options))
    assert raised(lambda: quorvatel.complete_many(index, ["py"], **options)) == expected


NAMES = {
    quorvatel.fuzzy_match_many: "terms",
    quorvatel.fuzzy_match_video_many: "terms",
    quorvatel.complete_many: "texts",
}


@pytest.mark.parametrize("function", list(NAMES), ids=lambda f: f.__name__)
@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((), {}, TypeError, "{f}() missing 2 required positional arguments: 'index' and '{t}'"),
        ((["a"], 1), {}, TypeError, "{f}() takes 2 positional arguments but 3 were given"),
        ((["a"],), {"worker": 1}, TypeError, "{f}() got an unexpected keyword argument 'worker'"),
        (("abc",), {}, TypeError, "{t} must be an iterable of str, not str"),
        ((b"abc",), {}, TypeError, "{t} must be an iterable of str, not bytes"),
        ((5,), {}, TypeError, "{t} must be an iterable of str, not int"),
        ((["a"],), {"workers": 0}, ValueError, "workers must be from 1 to 256, not 0"),
        ((["a"],), {"workers": -3}, ValueError, "workers must be from 1 to 256, not -3"),
        ((["a"],), {"workers": 257}, ValueError, "workers must be from 1 to 256, not 257"),
        ((["a"],), {"workers": 10**30}, ValueError, f"workers must be from 1 to 256, not {10**30}"),
        ((["a"],), {"workers": True}, TypeError, "workers must be an int or None, not bool"),
        ((["a"],), {"workers": 2.0}, TypeError, "workers must be an int or None, not float"),
        ((["a"],), {"workers": "2"}, TypeError, "workers must be an int or None, not str"),
    ],
)
def test_bad_arguments_name_the_argument(index, function, args, kwargs, error, message):
    expected = message.format(f=function.__name__, t=NAMES[function])
    assert raised(lambda: function(index, *args, **kwargs) if args or kwargs else function()) == (error, expected)


@pytest.mark.parametrize("function", list(NAMES), ids=lambda f: f.__name__)
def test_items_that_are_no_str_are_named_by_position(index, function):
    message = raised(lambda: function(index, ["a", "b", 3]))
    if function is quorvatel.complete_many:
        assert message == (TypeError, "texts[2] must be a str, not int")
        assert raised(lambda: function(index, iter(["a", "p" * 129]))) == (
            ValueError,
            "texts[1] has 129 code points; a search takes at most 128",
        )
    else:
        assert message == (TypeError, "argument 'terms[2]': 'int' object cannot be converted to 'PyString'")
        # a lone surrogate fails as it fails fuzzy_match
        assert raised(lambda: function(index, ["a", "\ud800"])) == raised(lambda: index.fuzzy_match("\ud800"))


@pytest.mark.parametrize("function", list(NAMES), ids=lambda f: f.__name__)
def test_index_and_iterable_errors(function):
    assert raised(lambda: function({}, ["a"])) == (TypeError, "index must be a PrefixSearch or a MappedIndex, not dict")

    def failing():
        yield "a"
        raise LookupError("from the iterable")

    assert raised(lambda: function(quorvatel.build([("a", 1, 1)]), failing())) == (LookupError, "from the iterable")


def test_integer_like_workers_and_the_default(index):
    numpy = pytest.importorskip("numpy")
    expected = one_by_one_match(index, ["pyton", "jav"])
    for workers in (numpy.int64(2), None, 256, 1):
        assert quorvatel.fuzzy_match_many(index, ["pyton", "jav"], workers=workers) == expected


def test_complete_many_refuses_what_complete_refuses():
    no_tree = PrefixSearch.from_internal_data_v2([0, 2, 3], ["", "a", "b"], [None, None, (1, [], [])], [1, 2, 2], [], 1)
    assert raised(lambda: quorvatel.complete_many(no_tree, ["a"])) == raised(
        lambda: quorvatel.complete(no_tree, "a")
    )


# ---------------------------------------------------------------- a damaged index

P = (3, [0], [3])
# Node 1 ("a") leads to node 9, past the node arrays: a query that enters
# node 1 faults, "b" at max_dist 0 does not.
DAMAGED = snapshot([0, 2, 3], "\0ab", [1, 2, 9], [P, P, P], (), [7], 1, [0, 1, 1])
FAULT = "index out of bounds: the len is 3 but the index is 9"


def panic_of(call):
    try:
        call()
    except Exception as e:
        raise AssertionError(f"unexpected {type(e).__name__}: {e}") from e
    except BaseException as e:
        assert type(e).__name__ == "PanicException" and type(e).__module__ == "pyo3_runtime", repr(e)
        return e
    raise AssertionError("no fault")


@pytest.mark.parametrize("workers", WORKERS)
@pytest.mark.parametrize("function", [quorvatel.fuzzy_match_many, quorvatel.fuzzy_match_video_many])
def test_a_fault_is_raised_for_the_first_item_that_faults(function, workers):
    damaged = PrefixSearch.from_bytes(DAMAGED)
    assert str(panic_of(lambda: damaged.fuzzy_match("a", 0))) == FAULT
    rng = random.Random(workers)
    for _ in range(5):
        # many harmless items, so that the threads take over, then faults
        terms = ["b"] * rng.randint(0, 20_000)
        first = len(terms)
        terms += ["a"] + [rng.choice(["a", "b"]) for _ in range(rng.randint(0, 5000))]
        error = panic_of(lambda: function(damaged, terms, max_dist=0, workers=workers))
        assert str(error) == FAULT
        assert error.item == first
    # the index and the process are fine afterwards
    assert function(damaged, ["b"] * 3, max_dist=0, workers=workers) == [function(damaged, ["b"], max_dist=0)[0]] * 3


# ---------------------------------------------------------------- long queries: the lock and Ctrl-C


def ladder(depth):
    """A trie that is no tree: two nodes a level, each leading to both of the
    next level, so a query that allows every edit walks 2^depth paths. No
    node ends a term, so the results stay empty."""
    shifts, labels, edges = [0], [""], [1, 2]
    for level in range(depth):
        for j in range(2):
            shifts.append(len(edges))
            labels.append("ab"[j])
            if level < depth - 1:
                edges += [2 * level + 3, 2 * level + 4]
    return PrefixSearch.from_internal_data_v2(shifts, labels, [None] * len(labels), edges, [], 1)


def interrupt_by_kill():
    os.kill(os.getpid(), signal.SIGINT)


@pytest.mark.parametrize("interrupt", [_thread.interrupt_main, interrupt_by_kill], ids=["interrupt_main", "kill"])
@pytest.mark.parametrize("workers", WORKERS)
@pytest.mark.parametrize("function", [quorvatel.fuzzy_match_many, quorvatel.fuzzy_match_video_many])
def test_ctrl_c_stops_a_long_batch_promptly(function, workers, interrupt):
    endless = ladder(48)  # 2^48 paths per query: only an interruption ends it
    sent = []

    def send():
        sent.append(time.perf_counter())
        interrupt()

    timer = threading.Timer(0.3, send)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            function(endless, ["a" * 48] * 8, max_dist=48, workers=workers)
        stopped = time.perf_counter()
    finally:
        timer.cancel()
        timer.join()
    assert sent, "the batch ended before the interruption"
    assert stopped - sent[0] < 2.0


def runs_beside(call):
    """Runs call() while another thread counts; returns how many counts the
    other thread made in the middle half of the call. A call that holds the
    interpreter lock throughout lets it make none."""
    stamps = []
    done = threading.Event()

    def count():
        n = 0
        while not done.is_set():
            n += 1
            if n % 100 == 0:
                stamps.append(time.perf_counter())

    other = threading.Thread(target=count)
    other.start()
    time.sleep(0.02)
    try:
        start = time.perf_counter()
        call()
        end = time.perf_counter()
    finally:
        done.set()
        other.join()
    assert end - start > 0.03, "the call was too short to tell"
    quarter = (end - start) / 4
    return sum(1 for s in stamps if start + quarter < s < end - quarter)


@pytest.mark.parametrize(
    "function", [quorvatel.fuzzy_match_many, quorvatel.fuzzy_match_video_many], ids=lambda f: f.__name__
)
@pytest.mark.parametrize("workers", [1, 2])
def test_other_threads_run_during_a_long_batch(function, workers):
    long = ladder(18)  # about 10 ms a query
    assert runs_beside(lambda: function(long, ["a" * 18] * 30, max_dist=18, workers=workers)) > 0


def test_other_threads_run_during_a_long_search():
    rng = random.Random(5)
    index = quorvatel.build(
        ("".join(rng.choice("abcdefghij") for _ in range(rng.randint(4, 14))), None, rng.randint(1, 9))
        for _ in range(60_000)
    )
    # every node lies within 14 edits: the search examines the whole trie
    for mode in (quorvatel.complete, quorvatel.suggest):
        assert runs_beside(lambda: mode(index, "abcdefghij", max_dist=14, limit=None)) > 0
        assert runs_beside(lambda: quorvatel.complete_many(index, ["abcdefghij"] * 60, max_dist=14, workers=1)) > 0
