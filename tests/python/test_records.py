"""quorvatel.build(): records to index. The index must be exactly the trie
that from_internal_data_v2 builds from the arrays a host would compute by the
documented rules (rows summed, children by code point, pre-order numbering,
videos numbered by first appearance, each term's videos ranked)."""

import subprocess
import sys
import uuid

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvatel
from _quorvatel import PrefixSearch
from term_arrays import record_arrays

MAX = 2**32 - 1


def reference(records, video_top_n=10):
    """from_internal_data_v2 on the arrays that the shared helper computes
    for `records` the plain way (dicts, sorting, pre-order numbering)."""
    return PrefixSearch.from_internal_data_v2(*record_arrays(records), video_top_n)


# ---------------------------------------------------------------- the same trie as the reference

TERM_CHARS = "abé東😀\U0010ffff"
terms = st.one_of(
    st.text(st.sampled_from(TERM_CHARS), min_size=1, max_size=5),
    st.text(st.characters(exclude_categories=("Cs",), exclude_characters="\x00"), min_size=1, max_size=4),
)
counts = st.one_of(st.integers(0, 9), st.just(MAX), st.integers(0, MAX))
uuids = st.sampled_from([uuid.UUID(int=i * 0x0123456789ABCDEF0123) for i in range(5)])
video_pools = {
    "int": st.sampled_from([0, 1, 7, 1000, MAX]),
    "uuid": uuids,
    # the same 16 bytes as a UUID or as bytes name the same video
    "uuid and bytes": st.one_of(uuids, uuids.map(lambda u: u.bytes)),
}


@st.composite
def record_sets(draw):
    pool = draw(st.lists(terms, min_size=1, max_size=8, unique=True))
    videos = st.one_of(st.none(), draw(st.sampled_from(list(video_pools.values()))))
    return draw(st.lists(st.tuples(st.sampled_from(pool), videos, counts), max_size=25))


@settings(max_examples=300, deadline=None)
@given(record_sets(), st.integers(0, 4), st.sampled_from(["list", "iterator", "list rows"]))
def test_build_is_the_reference_trie(records, video_top_n, shape):
    given_records = {
        "list": records,
        "iterator": iter(records),
        "list rows": [list(r) for r in records],
    }[shape]
    built = quorvatel.build(given_records, video_top_n=video_top_n)
    assert built.to_bytes() == reference(records, video_top_n).to_bytes()


def test_many_terms_with_long_shared_prefixes():
    # Enough terms and videos to grow every table, and prefixes long enough
    # for the sort to go many code points deep.
    import random

    rng = random.Random(5)
    stems = ["", "interplanetary", "interplanetarily", "東京タワー", "😀😀😀😀"]
    pool = list({rng.choice(stems) + "".join(rng.choices("abcé😀", k=rng.randint(1, 6))) for _ in range(4000)})
    records = [(rng.choice(pool), rng.randrange(3000), rng.randint(0, 50)) for _ in range(12000)]
    assert quorvatel.build(records, video_top_n=3).to_bytes() == reference(records, 3).to_bytes()


def test_terms_come_out_in_code_point_order():
    index = quorvatel.build([(t, None, 1) for t in ["b", "é", "ab", "a", "Z", "😀", "aa"]])
    found = [term for term, _, _ in index.fuzzy_match("a", 2)]
    assert found == sorted(found) == ["Z", "a", "aa", "ab", "b", "é", "😀"]


def test_sums_saturate_and_each_term_keeps_its_largest_videos():
    # "b" keeps its largest video (3), not its first row's; "a", whose totals
    # both saturate, keeps video 2, whose true total is the larger.
    records = [("a", 1, MAX), ("a", 2, MAX), ("a", 2, 1), ("b", 1, 2), ("b", 3, 4), ("b", 1, 1)]
    index = quorvatel.build(records, video_top_n=1)
    assert index.fuzzy_match_video("a", 0) == [("2", 1.0)]
    assert index.fuzzy_match_video("b", 0) == [("3", pytest.approx(4 / 7))]
    assert index.to_bytes() == reference(records, 1).to_bytes()


def test_subclasses_count_as_their_values():
    class Odd(str):
        def __hash__(self):
            return id(self)

    class MyUUID(uuid.UUID):
        pass

    u = uuid.UUID(int=12345)
    index = quorvatel.build([(Odd("ab"), MyUUID(int=12345), 1), (Odd("ab"), u, 2), ("ab", u.bytes, 3)])
    assert index.to_bytes() == reference([("ab", u, 6)]).to_bytes()


# ---------------------------------------------------------------- wrong rows

U = uuid.UUID(int=1)


class Row:  # a sequence that is neither tuple nor list
    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize(
    "bad, kind, message",
    [
        ("ab", TypeError, "a record is a (term, video_id, count) sequence, not str"),
        (5, TypeError, "a record is a (term, video_id, count) sequence, not int"),
        (("a", 1), ValueError, "a record is a (term, video_id, count) sequence, not 2 items"),
        (Row("a", 1, 2, 3), ValueError, "a record is a (term, video_id, count) sequence, not 4 items"),
        ((b"a", 1, 1), TypeError, "term must be a str, not bytes"),
        (("", 1, 1), ValueError, "empty term: the root of the trie cannot be a term"),
        (("a\0b", 1, 1), ValueError, "term has U+0000 at 1, a character searches never enter"),
        (("東\0", 1, 1), ValueError, "term has U+0000 at 1, a character searches never enter"),
        (("a\udc80", 1, 1), ValueError, "term has the lone surrogate U+DC80 at 1, which is no character"),
        (("a", True, 1), TypeError, "video id must be a uuid.UUID, 16 bytes, an int or None, not bool"),
        (("a", "7", 1), TypeError, "video id must be a uuid.UUID, 16 bytes, an int or None, not str"),
        (("a", 2.0, 1), TypeError, "video id must be a uuid.UUID, 16 bytes, an int or None, not float"),
        (("a", b"\1\0\0\0", 1), ValueError, "a bytes video id must be 16 bytes long, not 4"),
        (("a", -1, 1), ValueError, "video id -1 is outside 0..4294967295"),
        (("a", 2**32, 1), ValueError, "video id 4294967296 is outside 0..4294967295"),
        (("a", 1, -1), ValueError, "count -1 is outside 0..4294967295"),
        (("a", 1, 2**64), ValueError, "count 18446744073709551616 is outside 0..4294967295"),
        (("a", 1, 1.5), TypeError, "count must be an int, not float"),
        (("a", 1, False), TypeError, "count must be an int, not bool"),
        (("a", 1, None), TypeError, "count must be an int, not NoneType"),
    ],
)
def test_a_wrong_row_is_named(bad, kind, message):
    with pytest.raises(kind) as info:
        quorvatel.build([("fine", None, 1), ("fine", None, 2), bad])
    assert type(info.value) is kind
    assert str(info.value) == f"row 2: {message}"
    assert info.value.row == 2


@pytest.mark.parametrize(
    "first, second, message",
    [
        (1, U, "row 1: a 16-byte video id, but the rows before have integer ones; an index holds one kind"),
        (U.bytes, 1, "row 1: an integer video id, but the rows before have 16-byte ones; an index holds one kind"),
    ],
)
def test_id_kinds_do_not_mix(first, second, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        quorvatel.build([("a", first, 1), ("c", second, 1), ("b", None, 1)])


def test_integers_by_index_are_accepted():
    numpy = pytest.importorskip("numpy")
    index = quorvatel.build([("a", numpy.uint32(7), numpy.int64(3))])
    assert index.to_bytes() == reference([("a", 7, 3)]).to_bytes()


def test_errors_of_the_iterable_pass_through():
    def rows():
        yield ("a", 1, 1)
        raise KeyError("from the host")

    with pytest.raises(KeyError, match="from the host"):
        quorvatel.build(rows())


@pytest.mark.parametrize(
    "records, video_top_n, kind, message",
    [
        ("abc", 10, TypeError, "records must be an iterable of (term, video_id, count) rows, not str"),
        (5, 10, TypeError, "'int' object is not iterable"),
        ([], -1, ValueError, "video_top_n must be 0 or more, not -1"),
        ([], 1.0, TypeError, "video_top_n must be an int, not float"),
    ],
)
def test_wrong_arguments(records, video_top_n, kind, message):
    with pytest.raises(kind) as info:
        quorvatel.build(records, video_top_n=video_top_n)
    assert str(info.value) == message


def test_no_records_give_a_root_alone():
    index = quorvatel.build([])
    assert index.fuzzy_match("", 3) == [] and index.to_bytes() == reference([]).to_bytes()


# ---------------------------------------------------------------- rows read one at a time


def test_a_generator_of_freshly_made_terms_keeps_every_term():
    # Each row's str is released once the next row is read, so its address is
    # free for the next term: a cache of the last term that kept the address
    # without holding the object would take every term for the first one.
    index = quorvatel.build((f"t{i:04d}", None, 1) for i in range(2000))
    assert index.to_bytes() == reference([(f"t{i:04d}", None, 1) for i in range(2000)]).to_bytes()
    assert len(index.fuzzy_match("t0000", 4)) == 2000


def test_a_uuid_whose_int_is_not_128_bits_is_named():
    class Odd(uuid.UUID):
        @property
        def int(self):
            return -1

    with pytest.raises(ValueError) as info:
        quorvatel.build([("a", None, 1), ("b", Odd.__new__(Odd), 1)])
    assert str(info.value) == "row 1: a uuid.UUID video id whose int is not 128 bits"
    assert info.value.row == 1


def test_a_uuid_module_without_the_class_is_refused():
    code = (
        "import uuid\n"
        "uuid.UUID = 5\n"
        "import _quorvatel_records\n"
        "try:\n"
        "    _quorvatel_records.build_snapshot([('a', 1, 1)], 1)\n"
        "except TypeError as e:\n"
        "    print(e)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.stdout == "uuid.UUID is not a class\n", done.stderr


@pytest.mark.parametrize(
    "call, kind, message",
    [
        (lambda r: r.build_snapshot([]), TypeError, "build_snapshot() missing 1 required positional argument: "
                                                    "'video_top_n'"),
        (lambda r: r.build_snapshot([], 1, 2), TypeError, "build_snapshot() takes 2 positional arguments but 3 were "
                                                          "given"),
        (lambda r: r.build_snapshot([], top_n=1), TypeError, "build_snapshot() got an unexpected keyword argument "
                                                             "'top_n'"),
        (lambda r: r.build_snapshot([], 1.5), TypeError, "argument 'video_top_n': 'float' object cannot be "
                                                         "interpreted as an integer"),
        (lambda r: r.build_snapshot([], -1), OverflowError, "can't convert negative int to unsigned"),
        (lambda r: r.inspect_snapshot(bytearray(8)), TypeError, "argument 'b': 'bytearray' object cannot be "
                                                                "converted to 'PyBytes'"),
        (lambda r: r.inspect_snapshot(b"\xff"), ValueError, "decode error: InvalidIntegerType { expected: U64, "
                                                            "found: Reserved }"),
    ],
)
def test_native_helpers_bind_and_convert_like_the_extension(call, kind, message):
    import _quorvatel_records

    with pytest.raises(BaseException) as info:
        call(_quorvatel_records)
    assert type(info.value) is kind
    assert str(info.value) == message


def test_inspection_row():
    import _quorvatel_records

    data = quorvatel.build([("ab", 1, 5), ("ac", 2, 2), ("b", None, 4)]).to_bytes()
    assert _quorvatel_records.inspect_snapshot(data) == (5, 4, 3, 2, "int32", None)
    assert _quorvatel_records.inspect_snapshot(data + b"\0\0") == (
        5, 4, 3, 2, "int32", "2 bytes follow the end of the snapshot"
    )
