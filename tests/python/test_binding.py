"""Argument binding, argument conversion and result conversion of the five
PrefixSearch methods."""

import array
import ctypes
import math
import operator
import traceback

import numpy
import pytest

from _quorvatel import PrefixSearch

from conftest import AB_AC_ARGS, CHILD_LABELS, CHILD_TRANSITIONS, NODE_SHIFTS, PAYLOADS, VIDEO_INDEX, build, check_raises
from conftest import IndexOrRaise as Index

FIDV2 = "PrefixSearch.from_internal_data_v2()"
FB = "PrefixSearch.from_bytes()"
FM = "PrefixSearch.fuzzy_match()"
FMV = "PrefixSearch.fuzzy_match_video()"

AB_AC_BYTES = PrefixSearch.from_internal_data_v2(*AB_AC_ARGS).to_bytes()

ALL_AB = [("ab", 1, 0), ("ac", 1, 1)]
EXACT_AB = [("ab", 1, 0)]

_capi = ctypes.PyDLL(None)


def interpreter_error(function, restype, obj):
    """The exception that the interpreter's own C conversion raises for obj."""
    f = getattr(_capi, function)
    f.argtypes = [ctypes.py_object]
    f.restype = restype
    with pytest.raises(BaseException) as info:
        f(obj)
    return info.value


def as_long_error(obj):
    return interpreter_error("PyLong_AsLong", ctypes.c_long, obj)


def as_ulonglong_error(obj):
    return interpreter_error("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong, obj)


def as_double_error(obj):
    return interpreter_error("PyFloat_AsDouble", ctypes.c_double, obj)


def index_error(obj):
    with pytest.raises(TypeError) as info:
        operator.index(obj)
    return info.value


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class RaisingFloat:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


class Seq:
    """A sequence yielding `items` that reports `length` (or the true length)
    and can fail in __len__ or part way through iteration."""

    def __init__(self, items, length=None, len_error=None, fail_after=None, error=None):
        self.items = list(items)
        self.length = length
        self.len_error = len_error
        self.fail_after = fail_after
        self.error = error

    def __len__(self):
        if self.len_error is not None:
            raise self.len_error
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        for i, item in enumerate(self.items):
            if i == self.fail_after:
                raise self.error
            yield item


class MyError(Exception):
    pass


class MyTypeError(TypeError):
    pass


def type_error_with_cause():
    try:
        raise ValueError("inner")
    except ValueError as inner:
        try:
            raise TypeError("outer text") from inner
        except TypeError as outer:
            return outer


# ---------------------------------------------------------------- binding

BINDING_ERRORS = [
    # too many positional arguments
    pytest.param(
        lambda t: PrefixSearch.from_bytes(AB_AC_BYTES, AB_AC_BYTES),
        f"{FB} takes 1 positional arguments but 2 were given",
        id="from_bytes-2",
    ),
    pytest.param(
        lambda t: PrefixSearch.from_bytes(AB_AC_BYTES, AB_AC_BYTES, AB_AC_BYTES, b=AB_AC_BYTES),
        f"{FB} takes 1 positional arguments but 3 were given",
        id="from_bytes-3-keywords-not-examined",
    ),
    pytest.param(
        lambda t: PrefixSearch.from_internal_data_v2(*AB_AC_ARGS, 1),
        f"{FIDV2} takes 6 positional arguments but 7 were given",
        id="fidv2-7",
    ),
    pytest.param(
        lambda t: PrefixSearch.from_internal_data_v2(*AB_AC_ARGS, 1, 2, bogus=3),
        f"{FIDV2} takes 6 positional arguments but 8 were given",
        id="fidv2-8-keywords-not-examined",
    ),
    pytest.param(
        lambda t: t.fuzzy_match("ab", 1, None, 5),
        f"{FM} takes from 1 to 3 positional arguments but 4 were given",
        id="fm-4",
    ),
    pytest.param(
        lambda t: t.fuzzy_match(5, -1, None, 5, term="x"),
        f"{FM} takes from 1 to 3 positional arguments but 4 were given",
        id="fm-4-before-keywords-and-conversion",
    ),
    pytest.param(
        lambda t: t.fuzzy_match_video("ab", 1, None, None, None, 0),
        f"{FMV} takes from 1 to 5 positional arguments but 6 were given",
        id="fmv-6",
    ),
    pytest.param(
        lambda t: t.fuzzy_match_video(*range(10)),
        f"{FMV} takes from 1 to 5 positional arguments but 10 were given",
        id="fmv-10",
    ),
    # unexpected keyword
    pytest.param(
        lambda t: t.fuzzy_match("ab", maxdist=2),
        f"{FM} got an unexpected keyword argument 'maxdist'",
        id="fm-maxdist",
    ),
    pytest.param(
        lambda t: t.fuzzy_match("ab", Max_dist=2),
        f"{FM} got an unexpected keyword argument 'Max_dist'",
        id="fm-case-sensitive",
    ),
    pytest.param(
        lambda t: t.fuzzy_match("ab", **{"é": 1}),
        f"{FM} got an unexpected keyword argument 'é'",
        id="fm-non-ascii-keyword",
    ),
    pytest.param(
        lambda t: t.fuzzy_match(maxdist=2),
        f"{FM} got an unexpected keyword argument 'maxdist'",
        id="fm-unexpected-before-missing",
    ),
    pytest.param(
        lambda t: t.fuzzy_match("ab", **{"te\0rm": 1}),
        f"{FM} got an unexpected keyword argument 'te\0rm'",
        id="fm-keyword-with-nul",
    ),
    pytest.param(
        lambda t: t.fuzzy_match("ab", **{"%s{}%d": 1}),
        f"{FM} got an unexpected keyword argument '%s{{}}%d'",
        id="fm-keyword-with-format-characters",
    ),
    pytest.param(
        lambda t: t.fuzzy_match_video("ab", min_scores=0.5),
        f"{FMV} got an unexpected keyword argument 'min_scores'",
        id="fmv-min_scores",
    ),
    pytest.param(
        lambda t: PrefixSearch.from_bytes(data=AB_AC_BYTES),
        f"{FB} got an unexpected keyword argument 'data'",
        id="from_bytes-data",
    ),
    pytest.param(
        lambda t: PrefixSearch.from_internal_data_v2(*AB_AC_ARGS[:5], top_n=2),
        f"{FIDV2} got an unexpected keyword argument 'top_n'",
        id="fidv2-top_n",
    ),
    # multiple values
    pytest.param(
        lambda t: t.fuzzy_match("ab", term="x"),
        f"{FM} got multiple values for argument 'term'",
        id="fm-term-twice",
    ),
    pytest.param(
        lambda t: t.fuzzy_match("ab", 1, limit=3, max_dist=2),
        f"{FM} got multiple values for argument 'max_dist'",
        id="fm-max_dist-twice",
    ),
    pytest.param(
        lambda t: t.fuzzy_match("ab", term="x", bogus=1),
        f"{FM} got multiple values for argument 'term'",
        id="fm-first-failing-keyword-wins-1",
    ),
    pytest.param(
        lambda t: t.fuzzy_match("ab", bogus=1, term="x"),
        f"{FM} got an unexpected keyword argument 'bogus'",
        id="fm-first-failing-keyword-wins-2",
    ),
    pytest.param(
        lambda t: t.fuzzy_match_video("ab", 1, None, True, include_prefix_nodes=False),
        f"{FMV} got multiple values for argument 'include_prefix_nodes'",
        id="fmv-include-twice",
    ),
    pytest.param(
        lambda t: PrefixSearch.from_bytes(AB_AC_BYTES, b=AB_AC_BYTES),
        f"{FB} got multiple values for argument 'b'",
        id="from_bytes-b-twice",
    ),
    pytest.param(
        lambda t: PrefixSearch.from_internal_data_v2(*AB_AC_ARGS, video_top_n=2),
        f"{FIDV2} got multiple values for argument 'video_top_n'",
        id="fidv2-top-n-twice",
    ),
    # missing required arguments
    pytest.param(
        lambda t: t.fuzzy_match(),
        f"{FM} missing 1 required positional argument: 'term'",
        id="fm-no-term",
    ),
    pytest.param(
        lambda t: t.fuzzy_match(max_dist=1, limit=2),
        f"{FM} missing 1 required positional argument: 'term'",
        id="fm-only-keywords",
    ),
    pytest.param(
        lambda t: t.fuzzy_match_video(min_score=0.5),
        f"{FMV} missing 1 required positional argument: 'term'",
        id="fmv-no-term",
    ),
    pytest.param(
        lambda t: PrefixSearch.from_bytes(),
        f"{FB} missing 1 required positional argument: 'b'",
        id="from_bytes-no-b",
    ),
    pytest.param(
        lambda t: PrefixSearch.from_internal_data_v2(*AB_AC_ARGS[:5]),
        f"{FIDV2} missing 1 required positional argument: 'video_top_n'",
        id="fidv2-one",
    ),
    pytest.param(
        lambda t: PrefixSearch.from_internal_data_v2(*AB_AC_ARGS[:4]),
        f"{FIDV2} missing 2 required positional arguments: 'video_index' and 'video_top_n'",
        id="fidv2-two",
    ),
    pytest.param(
        lambda t: PrefixSearch.from_internal_data_v2(NODE_SHIFTS, video_index=VIDEO_INDEX, child_labels=CHILD_LABELS),
        f"{FIDV2} missing 3 required positional arguments: 'payloads', 'child_transitions', and 'video_top_n'",
        id="fidv2-three-with-gaps",
    ),
    pytest.param(
        lambda t: PrefixSearch.from_internal_data_v2(node_shifts=NODE_SHIFTS, payloads=PAYLOADS),
        f"{FIDV2} missing 4 required positional arguments: "
        "'child_labels', 'child_transitions', 'video_index', and 'video_top_n'",
        id="fidv2-four",
    ),
    pytest.param(
        lambda t: PrefixSearch.from_internal_data_v2(5, "abc"),
        f"{FIDV2} missing 4 required positional arguments: "
        "'payloads', 'child_transitions', 'video_index', and 'video_top_n'",
        id="fidv2-missing-before-conversion",
    ),
    pytest.param(
        lambda t: PrefixSearch.from_internal_data_v2(),
        f"{FIDV2} missing 6 required positional arguments: 'node_shifts', 'child_labels', "
        "'payloads', 'child_transitions', 'video_index', and 'video_top_n'",
        id="fidv2-six",
    ),
    pytest.param(
        lambda t: PrefixSearch.from_internal_data_v2(video_top_n=2, node_shifts=NODE_SHIFTS),
        f"{FIDV2} missing 4 required positional arguments: "
        "'child_labels', 'payloads', 'child_transitions', and 'video_index'",
        id="fidv2-keywords-in-any-order",
    ),
]


@pytest.mark.parametrize("call,message", BINDING_ERRORS)
def test_binding_errors(ab_ac, call, message):
    check_raises(lambda: call(ab_ac), TypeError, message)


def test_keyword_without_utf8_text_is_unexpected(ab_ac):
    # how the unencodable name is spelled in the message is not fixed
    with pytest.raises(TypeError) as info:
        ab_ac.fuzzy_match("ab", **{"\ud800": 1})
    assert type(info.value) is TypeError
    assert str(info.value).startswith(f"{FM} got an unexpected keyword argument '")


@pytest.mark.parametrize(
    "call",
    [
        lambda t: t.fuzzy_match("ab"),
        lambda t: t.fuzzy_match(term="ab"),
        lambda t: t.fuzzy_match("ab", 1),
        lambda t: t.fuzzy_match("ab", max_dist=1, limit=None),
        lambda t: t.fuzzy_match(limit=None, max_dist=1, term="ab"),
        lambda t: t.fuzzy_match("ab", 1, None),
        lambda t: t.fuzzy_match("ab", limit=None),
    ],
)
def test_fuzzy_match_binds_by_position_and_keyword(ab_ac, call):
    assert call(ab_ac) == ALL_AB


def test_keyword_names_compare_by_text(ab_ac):
    assert ab_ac.fuzzy_match(**{StrSub("term"): "ab", StrSub("max_dist"): 0}) == EXACT_AB


def test_every_parameter_binds_by_keyword(ab_ac):
    names = ["node_shifts", "child_labels", "payloads", "child_transitions", "video_index", "video_top_n"]
    by_keyword = PrefixSearch.from_internal_data_v2(**dict(reversed(list(zip(names, AB_AC_ARGS)))))
    assert by_keyword.to_bytes() == AB_AC_BYTES
    assert PrefixSearch.from_bytes(b=AB_AC_BYTES).to_bytes() == AB_AC_BYTES
    assert ab_ac.fuzzy_match_video(
        min_score=0.0, include_prefix_nodes=True, limit=1, max_dist=1, term="ab"
    ) == ab_ac.fuzzy_match_video("ab", 1, 1, True, 0.0)


@pytest.mark.parametrize(
    "call,builtin_call",
    [
        (lambda t: t.to_bytes(1), lambda: [].copy(1)),
        (lambda t: t.to_bytes(None), lambda: [].copy(None)),
        (lambda t: t.to_bytes(1, 2), lambda: [].copy(1, 2)),
        (lambda t: t.to_bytes(x=1), lambda: [].copy(x=1)),
        (lambda t: PrefixSearch.to_bytes(t, 1), lambda: list.copy([], 1)),
    ],
)
def test_to_bytes_refuses_arguments_like_any_noargs_method(ab_ac, call, builtin_call):
    with pytest.raises(TypeError) as ours:
        call(ab_ac)
    # the interpreter's own refusal, as for a builtin method without arguments
    with pytest.raises(TypeError) as builtin:
        builtin_call()
    assert str(ours.value) == str(builtin.value).replace("list.copy()", "PrefixSearch.to_bytes()")
    assert ab_ac.to_bytes() == AB_AC_BYTES


# ---------------------------------------------------------------- text


class StrSub(str):
    pass


class Outer:
    class Inner:
        pass


def test_term_accepts_str_subclass(ab_ac):
    assert ab_ac.fuzzy_match(StrSub("ab")) == ALL_AB
    assert ab_ac.fuzzy_match_video(StrSub("ab")) == ab_ac.fuzzy_match_video("ab")
    assert build(child_labels=[StrSub(x) for x in CHILD_LABELS]).to_bytes() == AB_AC_BYTES


@pytest.mark.parametrize(
    "call,exc_type,message",
    [
        (lambda t: t.fuzzy_match(5), TypeError, "argument 'term': 'int' object cannot be converted to 'PyString'"),
        (lambda t: t.fuzzy_match(b"ab"), TypeError, "argument 'term': 'bytes' object cannot be converted to 'PyString'"),
        (lambda t: t.fuzzy_match(None), TypeError, "argument 'term': 'NoneType' object cannot be converted to 'PyString'"),
        (
            lambda t: t.fuzzy_match_video(["ab"]),
            TypeError,
            "argument 'term': 'list' object cannot be converted to 'PyString'",
        ),
        (
            lambda t: t.fuzzy_match(Outer.Inner()),
            TypeError,
            "argument 'term': 'Outer.Inner' object cannot be converted to 'PyString'",
        ),
        (
            lambda t: t.fuzzy_match(type("Ωmega", (), {})()),
            TypeError,
            "argument 'term': 'Ωmega' object cannot be converted to 'PyString'",
        ),
        (
            lambda t: build(child_labels=["", "a", 1, "c"]),
            TypeError,
            "argument 'child_labels': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda t: build(child_labels=["", b"a", "b", "c"]),
            TypeError,
            "argument 'child_labels': 'bytes' object cannot be converted to 'PyString'",
        ),
        # conversion stops at the first failing parameter, in declaration order
        (lambda t: t.fuzzy_match(5, -1, "x"), TypeError, "argument 'term': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_text_conversion_errors(ab_ac, call, exc_type, message):
    check_raises(lambda: call(ab_ac), exc_type, message)


@pytest.mark.parametrize(
    "call",
    [
        lambda t: t.fuzzy_match("a\ud800"),
        lambda t: t.fuzzy_match_video("\udfff"),
        lambda t: build(child_labels=["", "a", "\ud800", "c"]),
    ],
)
def test_unencodable_text_passes_the_interpreters_error(ab_ac, call):
    with pytest.raises(UnicodeEncodeError) as info:
        call(ab_ac)
    assert not str(info.value).startswith("argument")
    assert str(info.value).startswith("'utf-8' codec can't encode character")


# ---------------------------------------------------------------- unsigned 32-bit and 8-bit integers


@pytest.mark.parametrize("method", ["fuzzy_match", "fuzzy_match_video"])
@pytest.mark.parametrize("value", [-1, 4294967296, 2**40, -(2**40)])
def test_max_dist_out_of_range(ab_ac, method, value):
    check_raises(lambda: getattr(ab_ac, method)("ab", value), OverflowError, "out of range integral type conversion attempted")


@pytest.mark.parametrize("method", ["fuzzy_match", "fuzzy_match_video"])
@pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 2**100])
def test_max_dist_beyond_c_long_passes_the_interpreters_overflow(ab_ac, method, value):
    expected = as_long_error(value)
    assert type(expected) is OverflowError
    check_raises(lambda: getattr(ab_ac, method)("ab", value), OverflowError, str(expected))


@pytest.mark.parametrize("method", ["fuzzy_match", "fuzzy_match_video"])
@pytest.mark.parametrize("value", [None, 1.0, 1.5, "1", [1], math.nan])
def test_max_dist_non_integers(ab_ac, method, value):
    expected = as_long_error(value)
    check_raises(lambda: getattr(ab_ac, method)("ab", value), TypeError, f"argument 'max_dist': {expected}")


def test_max_dist_upper_bound_binds(ab_ac):
    got = ab_ac.fuzzy_match("ab", 4294967295)
    assert isinstance(got, list)
    assert all(isinstance(row, tuple) and len(row) == 3 for row in got)
    assert isinstance(ab_ac.fuzzy_match_video("ab", 4294967295), list)


@pytest.mark.parametrize(
    "value,expected",
    [(True, ALL_AB), (False, EXACT_AB), (Index(0), EXACT_AB), (Index(1), ALL_AB), (numpy.int64(0), EXACT_AB), (numpy.uint8(1), ALL_AB)],
)
def test_max_dist_accepts_integer_likes(ab_ac, value, expected):
    assert ab_ac.fuzzy_match("ab", value) == expected


def test_max_dist_of_zero_differs_from_default(ab_ac):
    assert ab_ac.fuzzy_match("ab", 0) == EXACT_AB
    assert ab_ac.fuzzy_match("ab") == ALL_AB


@pytest.mark.parametrize(
    "items",
    [[-1], [0, 4294967296], [1, 2, 2**35]],
)
@pytest.mark.parametrize("param", ["node_shifts", "child_transitions"])
def test_u32_vector_items_out_of_range(param, items):
    check_raises(lambda: build(**{param: items}), OverflowError, "out of range integral type conversion attempted")


@pytest.mark.parametrize("param", ["node_shifts", "child_transitions"])
@pytest.mark.parametrize("item", [1.0, None, "1"])
def test_u32_vector_items_of_wrong_type(param, item):
    expected = as_long_error(item)
    check_raises(lambda: build(**{param: [0, item, 3]}), TypeError, f"argument '{param}': {expected}")


def test_u32_vector_items_accept_integer_likes():
    got = build(node_shifts=[Index(0), True, numpy.int32(3), Index(3)], child_transitions=(True, 2, Index(3)))
    assert got.to_bytes() == AB_AC_BYTES
    # the upper bound binds; both ranges are empty, as start is not below end
    got = PrefixSearch.from_internal_data_v2([4294967295, 4294967295], ["", "a"], [None, None], [], [], 1)
    assert got.to_bytes()[:11] == bytes.fromhex("02fcfffffffffcffffffff")


@pytest.mark.parametrize(
    "video_index,exc_type,message",
    [
        ([[0, 1, 2, 256]], OverflowError, "out of range integral type conversion attempted"),
        ([[0, 1, 2, -1]], OverflowError, "out of range integral type conversion attempted"),
        ([b"\x01\0\0\0", [2**40, 0, 0, 0]], OverflowError, "out of range integral type conversion attempted"),
        ([[0, 1, 2, 1.0]], TypeError, "argument 'video_index': 'float' object cannot be interpreted as an integer"),
        ([bytes(16), "x"], TypeError, "argument 'video_index': Can't extract `str` to `Vec`"),
        ([b"\x01\0\0\0", 5], TypeError, "argument 'video_index': 'int' object cannot be converted to 'Sequence'"),
        ([b"\x01\0\0\0", {1: 2}], TypeError, "argument 'video_index': 'dict' object cannot be converted to 'Sequence'"),
        ("x", TypeError, "argument 'video_index': Can't extract `str` to `Vec`"),
    ],
)
def test_video_index_item_errors(video_index, exc_type, message):
    check_raises(lambda: build(video_index=video_index), exc_type, message)


def test_video_index_too_large_item_passes_the_interpreters_overflow():
    expected = as_long_error(2**64)
    check_raises(lambda: build(video_index=[[0, 0, 0, 2**64]]), OverflowError, str(expected))


@pytest.mark.parametrize(
    "video_index",
    [
        [[1, 0, 0, 0], [2, 0, 0, 0]],
        [(1, 0, 0, 0), (2, 0, 0, 0)],
        [bytearray(b"\x01\0\0\0"), memoryview(b"\x02\0\0\0")],
        [array.array("B", [1, 0, 0, 0]), numpy.array([2, 0, 0, 0], dtype=numpy.uint8)],
        [[True, False, 0, 0], [Index(2), 0, 0, numpy.int8(0)]],
    ],
)
def test_video_index_entries_accept_integer_sequences(video_index):
    assert build(video_index=video_index).to_bytes() == AB_AC_BYTES


def test_video_index_entry_items_take_the_full_byte_range():
    got = build(video_index=[[255, 0, 0, 0], [0, 0, 0, 255]])
    assert got.fuzzy_match_video("ab", include_prefix_nodes=True) == [
        ("255", 0.9823641563393709),
        (str(255 << 24), 0.01763584366062917),
    ]


# ---------------------------------------------------------------- errors raised by host code during conversion


def custom_errors():
    return [
        OverflowError("from __index__"),
        ValueError("bad value"),
        MyError("custom"),
        MyTypeError("a subclass of TypeError"),
        ZeroDivisionError("zero"),
    ]


# every integer parameter, and the parameter name its wrapped errors carry
INTEGER_SITES = {
    "max_dist": ("max_dist", lambda t, v: t.fuzzy_match("ab", v)),
    "max_dist(video)": ("max_dist", lambda t, v: t.fuzzy_match_video("ab", v)),
    "limit": ("limit", lambda t, v: t.fuzzy_match("ab", limit=v)),
    "limit(video)": ("limit", lambda t, v: t.fuzzy_match_video("ab", limit=v)),
    "video_top_n": ("video_top_n", lambda t, v: build(video_top_n=v)),
    "node_shifts": ("node_shifts", lambda t, v: build(node_shifts=[0, v, 3, 3])),
    "child_transitions": ("child_transitions", lambda t, v: build(child_transitions=[1, 2, v])),
    "video_index": ("video_index", lambda t, v: build(video_index=[[1, 0, 0, v], b"\x02\0\0\0"])),
}


@pytest.mark.parametrize("site", list(INTEGER_SITES))
@pytest.mark.parametrize("make_error", range(len(custom_errors())))
def test_errors_from_index_pass_unchanged(ab_ac, site, make_error):
    error = custom_errors()[make_error]
    _, call = INTEGER_SITES[site]
    with pytest.raises(BaseException) as info:
        call(ab_ac, Index(error))
    assert info.value is error
    assert str(info.value) == str(error)
    assert "__index__" in [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]


@pytest.mark.parametrize("site", list(INTEGER_SITES))
def test_type_error_from_index_is_wrapped_with_its_cause(ab_ac, site):
    original = type_error_with_cause()
    param, call = INTEGER_SITES[site]
    with pytest.raises(BaseException) as info:
        call(ab_ac, Index(original))
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{param}': outer text"
    assert info.value is not original
    assert info.value.__cause__ is original.__cause__
    assert type(info.value.__cause__) is ValueError and str(info.value.__cause__) == "inner"


@pytest.mark.parametrize("site", list(INTEGER_SITES))
def test_type_error_without_cause_is_wrapped_without_cause(ab_ac, site):
    param, call = INTEGER_SITES[site]
    with pytest.raises(BaseException) as info:
        call(ab_ac, Index(TypeError("plain")))
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{param}': plain"
    assert info.value.__cause__ is None


@pytest.mark.parametrize("site", list(INTEGER_SITES))
def test_index_returning_a_non_int_is_wrapped(ab_ac, site):
    param, call = INTEGER_SITES[site]
    bad = Index("3")
    expected = index_error(bad)
    with pytest.raises(BaseException) as info:
        call(ab_ac, bad)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{param}': {expected}"


# ---------------------------------------------------------------- unsigned 64-bit integers


@pytest.mark.parametrize("value", [-1, -(2**70), 2**64, 2**100, Index(-1), Index(2**64)])
@pytest.mark.parametrize(
    "call",
    [
        lambda t, v: t.fuzzy_match("ab", limit=v),
        lambda t, v: t.fuzzy_match_video("ab", 1, v),
        lambda t, v: build(video_top_n=v),
    ],
    ids=["fuzzy_match", "fuzzy_match_video", "video_top_n"],
)
def test_u64_out_of_range_passes_the_interpreters_overflow(ab_ac, call, value):
    plain = operator.index(value)
    expected = as_ulonglong_error(plain)
    assert type(expected) is OverflowError
    check_raises(lambda: call(ab_ac, value), OverflowError, str(expected))


@pytest.mark.parametrize("value", [1.0, 2.5, "1", b"1", [1], math.inf])
@pytest.mark.parametrize(
    "call,param",
    [
        (lambda t, v: t.fuzzy_match("ab", limit=v), "limit"),
        (lambda t, v: t.fuzzy_match_video("ab", limit=v), "limit"),
        (lambda t, v: build(video_top_n=v), "video_top_n"),
    ],
    ids=["fuzzy_match", "fuzzy_match_video", "video_top_n"],
)
def test_u64_non_integers(ab_ac, call, param, value):
    expected = index_error(value)
    check_raises(lambda: call(ab_ac, value), TypeError, f"argument '{param}': {expected}")


def test_video_top_n_none_is_refused():
    check_raises(
        lambda: build(video_top_n=None),
        TypeError,
        f"argument 'video_top_n': {index_error(None)}",
    )


@pytest.mark.parametrize(
    "limit,expected",
    [
        (None, ALL_AB),
        (2**64 - 1, ALL_AB),
        (2**63, ALL_AB),
        (Index(1), EXACT_AB),
        (Index(2**64 - 1), ALL_AB),
        (True, EXACT_AB),
        (numpy.uint64(2**64 - 1), ALL_AB),
        (numpy.int8(1), EXACT_AB),
        (0, EXACT_AB),
    ],
)
def test_limit_accepts_full_range_and_integer_likes(ab_ac, limit, expected):
    assert ab_ac.fuzzy_match("ab", limit=limit) == expected


@pytest.mark.parametrize("top_n", [2**64 - 1, Index(2), numpy.uint64(2), 2, True + 1])
def test_video_top_n_accepts_full_range_and_integer_likes(top_n):
    assert build(video_top_n=top_n).to_bytes() == AB_AC_BYTES


# ---------------------------------------------------------------- floats


class FloatSub(float):
    pass


BOTH_VIDEOS = [("1", 0.9901477832512315), ("2", 0.009852216748768473)]
ONE_VIDEO = [("1", 0.9901477832512315)]


@pytest.mark.parametrize(
    "min_score,expected",
    [
        (None, ONE_VIDEO),
        (1, []),
        (0, BOTH_VIDEOS),
        (True, []),
        (FloatSub(0.0), BOTH_VIDEOS),
        (FloatSub(0.5), ONE_VIDEO),
        (FloatLike(0.0), BOTH_VIDEOS),
        (FloatLike(2.0), []),
        (FloatLike(-1.0), BOTH_VIDEOS),
        (-1.0, BOTH_VIDEOS),
        (-1, BOTH_VIDEOS),
        (Index(0), BOTH_VIDEOS),
        (Index(1), []),
        (numpy.float32(0.5), ONE_VIDEO),
        (numpy.float64(0.0), BOTH_VIDEOS),
        (math.nan, []),
        (math.inf, []),
        (-math.inf, BOTH_VIDEOS),
        (10**300, []),
    ],
)
def test_min_score_conversion(ab_ac, min_score, expected):
    assert ab_ac.fuzzy_match_video("ab", min_score=min_score) == expected


@pytest.mark.parametrize("value", ["0.5", b"0.5", [0.5], object(), 1j])
def test_min_score_non_numbers(ab_ac, value):
    expected = as_double_error(value)
    assert type(expected) is TypeError
    check_raises(lambda: ab_ac.fuzzy_match_video("ab", min_score=value), TypeError, f"argument 'min_score': {expected}")


def test_min_score_too_large_int_passes_the_interpreters_overflow(ab_ac):
    expected = as_double_error(10**400)
    assert type(expected) is OverflowError
    check_raises(lambda: ab_ac.fuzzy_match_video("ab", min_score=10**400), OverflowError, str(expected))


@pytest.mark.parametrize("make_error", range(len(custom_errors())))
def test_errors_from_float_pass_unchanged(ab_ac, make_error):
    error = custom_errors()[make_error]
    with pytest.raises(BaseException) as info:
        ab_ac.fuzzy_match_video("ab", min_score=RaisingFloat(error))
    assert info.value is error
    assert "__float__" in [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]


def test_type_error_from_float_is_wrapped_with_its_cause(ab_ac):
    original = type_error_with_cause()
    with pytest.raises(TypeError) as info:
        ab_ac.fuzzy_match_video("ab", min_score=RaisingFloat(original))
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'min_score': outer text"
    assert info.value.__cause__ is original.__cause__


def test_float_returning_a_non_float_is_wrapped(ab_ac):
    bad = FloatLike("0.5")
    expected = as_double_error(bad)
    check_raises(lambda: ab_ac.fuzzy_match_video("ab", min_score=bad), TypeError, f"argument 'min_score': {expected}")


# ---------------------------------------------------------------- booleans


def fake_numpy_type(name, module="numpy", **body):
    return type(name, (), {"__module__": module, **body})


def raising_bool(error):
    def __bool__(self):
        raise error

    return __bool__


# the term "a" at distance 0 matches only the non-terminal node 1, so the
# automatic choice falls back to prefix nodes and differs from False
PREFIX_ONLY = [("1", 0.75), ("2", 0.25)]


@pytest.mark.parametrize(
    "flag,expected",
    [
        (None, PREFIX_ONLY),
        (True, PREFIX_ONLY),
        (False, []),
        (numpy.bool_(True), PREFIX_ONLY),
        (numpy.bool_(False), []),
        (numpy.True_, PREFIX_ONLY),
        (numpy.False_, []),
        (numpy.array([True, False])[1], []),
        (fake_numpy_type("bool_", __bool__=lambda self: True)(), PREFIX_ONLY),
        (fake_numpy_type("bool", __bool__=lambda self: False)(), []),
    ],
)
def test_include_prefix_nodes_falling_back(ab_ac, flag, expected):
    assert ab_ac.fuzzy_match_video("a", 0, include_prefix_nodes=flag) == expected


@pytest.mark.parametrize(
    "flag,expected",
    [
        (None, ONE_VIDEO),
        (False, ONE_VIDEO),
        (numpy.bool_(False), ONE_VIDEO),
        (True, [("1", 0.9823641563393709), ("2", 0.01763584366062917)]),
        (numpy.bool_(True), [("1", 0.9823641563393709), ("2", 0.01763584366062917)]),
    ],
)
def test_include_prefix_nodes_with_terminal_matches(ab_ac, flag, expected):
    assert ab_ac.fuzzy_match_video("ab", include_prefix_nodes=flag) == expected


@pytest.mark.parametrize(
    "flag",
    [
        1,
        0,
        2,
        numpy.int64(1),
        numpy.uint8(0),
        "True",
        1.0,
        [True],
        numpy.array(True),
        fake_numpy_type("bool_", module="numpyx", __bool__=lambda self: True)(),
        fake_numpy_type("boolean", __bool__=lambda self: True)(),
    ],
)
def test_include_prefix_nodes_refuses_non_booleans(ab_ac, flag):
    check_raises(
        lambda: ab_ac.fuzzy_match_video("ab", include_prefix_nodes=flag),
        TypeError,
        f"argument 'include_prefix_nodes': '{type(flag).__qualname__}' object cannot be converted to 'PyBool'",
    )


def test_numpy_like_boolean_without_truth_slot(ab_ac):
    flag = fake_numpy_type("bool_")()
    check_raises(
        lambda: ab_ac.fuzzy_match_video("ab", include_prefix_nodes=flag),
        TypeError,
        f"argument 'include_prefix_nodes': object of type '{type(flag)}' does not define a '__bool__' conversion",
    )


@pytest.mark.parametrize("make_error", range(len(custom_errors())))
def test_numpy_like_boolean_truth_slot_errors_pass_unchanged(ab_ac, make_error):
    error = custom_errors()[make_error]
    flag = fake_numpy_type("bool_", __bool__=raising_bool(error))()
    with pytest.raises(BaseException) as info:
        ab_ac.fuzzy_match_video("ab", include_prefix_nodes=flag)
    assert info.value is error


def test_numpy_like_boolean_truth_slot_type_error_is_wrapped(ab_ac):
    original = type_error_with_cause()
    flag = fake_numpy_type("bool_", __bool__=raising_bool(original))()
    with pytest.raises(TypeError) as info:
        ab_ac.fuzzy_match_video("ab", include_prefix_nodes=flag)
    assert str(info.value) == "argument 'include_prefix_nodes': outer text"
    assert info.value.__cause__ is original.__cause__


# ---------------------------------------------------------------- sequences

VECTOR_PARAMS = ["node_shifts", "child_labels", "payloads", "child_transitions", "video_index"]


class NotASequence:
    def __iter__(self):
        return iter([0, 1, 3, 3])


@pytest.mark.parametrize("param", VECTOR_PARAMS)
@pytest.mark.parametrize(
    "value,message",
    [
        ("abcd", "Can't extract `str` to `Vec`"),
        (StrSub("abcd"), "Can't extract `str` to `Vec`"),
        ("", "Can't extract `str` to `Vec`"),
        (5, "'int' object cannot be converted to 'Sequence'"),
        (None, "'NoneType' object cannot be converted to 'Sequence'"),
        ({0: 0, 1: 1, 2: 3, 3: 3}, "'dict' object cannot be converted to 'Sequence'"),
        ({0, 1, 3}, "'set' object cannot be converted to 'Sequence'"),
        (frozenset(), "'frozenset' object cannot be converted to 'Sequence'"),
        ((x for x in [0, 1, 3, 3]), "'generator' object cannot be converted to 'Sequence'"),
        (iter([0, 1, 3, 3]), "'list_iterator' object cannot be converted to 'Sequence'"),
        (NotASequence(), "'NotASequence' object cannot be converted to 'Sequence'"),
    ],
)
def test_vector_parameters_refuse_non_sequences(param, value, message):
    check_raises(lambda: build(**{param: value}), TypeError, f"argument '{param}': {message}")


def test_vector_conversion_follows_declaration_order():
    check_raises(
        lambda: build(node_shifts=5, child_labels="abc", video_top_n=-1),
        TypeError,
        "argument 'node_shifts': 'int' object cannot be converted to 'Sequence'",
    )
    check_raises(
        lambda: build(child_labels="abc", child_transitions=[-1]),
        TypeError,
        "argument 'child_labels': Can't extract `str` to `Vec`",
    )
    check_raises(
        lambda: build(child_transitions=[-1], video_index=[[256]], video_top_n=None),
        OverflowError,
        "out of range integral type conversion attempted",
    )


def _containers(items):
    return {
        "list": list(items),
        "tuple": tuple(items),
        "seq": Seq(items),
        "len-raises": Seq(items, len_error=RuntimeError("no length")),
        "len-raises-type-error": Seq(items, len_error=TypeError("no length")),
        "len-lies-huge": Seq(items, length=2**62),
        "len-lies-zero": Seq(items, length=0),
        "len-lies-max": Seq(items, length=2**63 - 1),
        "len-negative": Seq(items, length=-1),
        "len-too-large": Seq(items, length=2**70),
    }


@pytest.mark.parametrize("param", VECTOR_PARAMS)
@pytest.mark.parametrize("kind", list(_containers([])))
def test_vector_parameters_accept_any_sequence(param, kind):
    index = VECTOR_PARAMS.index(param)
    got = build(**{param: _containers(AB_AC_ARGS[index])[kind]})
    assert got.to_bytes() == AB_AC_BYTES
    assert got.fuzzy_match("ab") == ALL_AB


@pytest.mark.parametrize("kind", list(_containers([])))
def test_inner_sequences_accept_any_sequence(kind):
    video_index = [_containers(entry)[kind] for entry in VIDEO_INDEX]
    payloads = [None, None, (5, _containers([0])[kind], _containers([5])[kind]), (3, [1, 0], _containers([2, 1])[kind])]
    got = build(video_index=video_index, payloads=payloads)
    assert got.to_bytes() == AB_AC_BYTES


@pytest.mark.parametrize(
    "param,value",
    [
        ("node_shifts", bytes([0, 1, 3, 3])),
        ("node_shifts", bytearray([0, 1, 3, 3])),
        ("node_shifts", array.array("I", [0, 1, 3, 3])),
        ("node_shifts", numpy.array([0, 1, 3, 3])),
        ("node_shifts", memoryview(bytes([0, 1, 3, 3]))),
        ("child_transitions", range(1, 4)),
        ("child_transitions", b"\x01\x02\x03"),
        ("child_transitions", numpy.array([1, 2, 3], dtype=numpy.uint32)),
        ("child_labels", numpy.array(["", "a", "b", "c"])),
        ("child_labels", Seq(["", "a", "b", "c"])),
        ("video_index", numpy.array([[1, 0, 0, 0], [2, 0, 0, 0]], dtype=numpy.uint8)),
        ("video_index", (b"\x01\0\0\0", b"\x02\0\0\0")),
    ],
)
def test_builtin_and_array_sequences(param, value):
    assert build(**{param: value}).to_bytes() == AB_AC_BYTES


def test_empty_range_and_bytes_build_an_empty_trie():
    got = PrefixSearch.from_internal_data_v2(range(0), (), b"", bytearray(), range(0), 0)
    assert got.to_bytes() == bytes(8)


def test_lying_length_does_not_reserve_memory_for_it():
    # many parameters at once, each claiming an enormous length
    huge = 2**62
    got = PrefixSearch.from_internal_data_v2(
        Seq(NODE_SHIFTS, length=huge),
        Seq(CHILD_LABELS, length=huge),
        Seq(PAYLOADS, length=huge),
        Seq(CHILD_TRANSITIONS, length=huge),
        Seq([Seq(e, length=huge) for e in VIDEO_INDEX], length=huge),
        2,
    )
    assert got.to_bytes() == AB_AC_BYTES


@pytest.mark.parametrize("param", VECTOR_PARAMS)
@pytest.mark.parametrize("make_error", range(len(custom_errors())))
def test_iteration_errors_pass_unchanged(param, make_error):
    error = custom_errors()[make_error]
    items = AB_AC_ARGS[VECTOR_PARAMS.index(param)]
    with pytest.raises(BaseException) as info:
        build(**{param: Seq(items, fail_after=1, error=error)})
    assert info.value is error
    assert info.value.__traceback__ is not None


@pytest.mark.parametrize("param", VECTOR_PARAMS)
def test_iteration_type_error_is_wrapped_with_its_cause(param):
    original = type_error_with_cause()
    items = AB_AC_ARGS[VECTOR_PARAMS.index(param)]
    with pytest.raises(TypeError) as info:
        build(**{param: Seq(items, fail_after=1, error=original)})
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{param}': outer text"
    assert info.value.__cause__ is original.__cause__


def test_iter_returning_a_non_iterator_is_wrapped():
    class BadIter(Seq):
        def __iter__(self):
            return 5

    with pytest.raises(TypeError) as info:
        build(node_shifts=BadIter(NODE_SHIFTS))
    with pytest.raises(TypeError) as expected:
        iter(BadIter(NODE_SHIFTS))
    assert str(info.value) == f"argument 'node_shifts': {expected.value}"


def test_iteration_error_inside_a_video_index_entry():
    error = MyError("inner entry")
    with pytest.raises(MyError) as info:
        build(video_index=[b"\x01\0\0\0", Seq([2, 0, 0, 0], fail_after=3, error=error)])
    assert info.value is error


def test_first_failing_item_ends_the_conversion():
    # the OverflowError of the second item wins over the TypeError of the third
    check_raises(
        lambda: build(node_shifts=[0, -1, "x", 3]),
        OverflowError,
        "out of range integral type conversion attempted",
    )
    # and the item iteration stops there
    error = MyError("never reached")
    check_raises(
        lambda: build(child_transitions=Seq([1, -5, 3], fail_after=2, error=error)),
        OverflowError,
        "out of range integral type conversion attempted",
    )


def test_payload_items_are_not_examined_by_binding():
    # a str item binds, and is refused by the builder without an argument name
    check_raises(
        lambda: PrefixSearch.from_internal_data_v2([0, 0, 0], ["", "a", "b"], [None, (1, [], []), "x"], [], [], 1),
        TypeError,
        "'str' object cannot be converted to 'PyTuple'",
    )


# ---------------------------------------------------------------- bytes


class BytesSub(bytes):
    pass


def test_from_bytes_accepts_bytes_and_subclasses():
    assert PrefixSearch.from_bytes(AB_AC_BYTES).to_bytes() == AB_AC_BYTES
    assert PrefixSearch.from_bytes(BytesSub(AB_AC_BYTES)).to_bytes() == AB_AC_BYTES
    assert PrefixSearch.from_bytes(b=BytesSub(AB_AC_BYTES)).fuzzy_match("ab") == ALL_AB


def test_from_bytes_reads_the_objects_own_bytes():
    class OtherBuffer(bytes):
        def __buffer__(self, flags):
            return memoryview(b"\xff")

    assert PrefixSearch.from_bytes(OtherBuffer(AB_AC_BYTES)).to_bytes() == AB_AC_BYTES


@pytest.mark.parametrize(
    "value",
    [
        bytearray(AB_AC_BYTES),
        memoryview(AB_AC_BYTES),
        AB_AC_BYTES.hex(),
        list(AB_AC_BYTES),
        array.array("B", AB_AC_BYTES),
        numpy.frombuffer(AB_AC_BYTES, dtype=numpy.uint8),
        None,
        0,
    ],
)
def test_from_bytes_refuses_everything_else(value):
    check_raises(
        lambda: PrefixSearch.from_bytes(value),
        TypeError,
        f"argument 'b': '{type(value).__qualname__}' object cannot be converted to 'PyBytes'",
    )


def test_from_bytes_error_names_the_qualified_type():
    check_raises(
        lambda: PrefixSearch.from_bytes(Outer.Inner()),
        TypeError,
        "argument 'b': 'Outer.Inner' object cannot be converted to 'PyBytes'",
    )


# ---------------------------------------------------------------- results


def test_result_shapes(ab_ac):
    rows = ab_ac.fuzzy_match("ab")
    assert type(rows) is list
    assert all(type(r) is tuple and [type(x) for x in r] == [str, int, int] for r in rows)
    videos = ab_ac.fuzzy_match_video("ab", include_prefix_nodes=True)
    assert type(videos) is list and len(videos) == 2
    assert all(type(r) is tuple and [type(x) for x in r] == [str, float] for r in videos)
    assert type(ab_ac.to_bytes()) is bytes
    assert type(PrefixSearch.from_bytes(ab_ac.to_bytes())) is PrefixSearch


def test_empty_results_are_empty_lists(ab_ac):
    assert ab_ac.fuzzy_match("zzzz", 0) == []
    assert type(ab_ac.fuzzy_match("zzzz", 0)) is list
    assert ab_ac.fuzzy_match_video("zzzz", 0) == []
    assert type(ab_ac.fuzzy_match_video("zzzz", 0)) is list


def test_results_are_fresh_objects(ab_ac):
    first = ab_ac.fuzzy_match("ab")
    first.clear()
    assert ab_ac.fuzzy_match("ab") == ALL_AB


def test_arguments_are_not_changed(ab_ac):
    node_shifts, labels, payloads = list(NODE_SHIFTS), list(CHILD_LABELS), list(PAYLOADS)
    PrefixSearch.from_internal_data_v2(node_shifts, labels, payloads, list(CHILD_TRANSITIONS), list(VIDEO_INDEX), 2)
    assert (node_shifts, labels, payloads) == (NODE_SHIFTS, CHILD_LABELS, PAYLOADS)
