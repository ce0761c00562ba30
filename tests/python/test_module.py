"""The module surface: initialisation, the class, its method table, the
fault guard and the exception types."""

import ctypes
import importlib
import gc
import subprocess
import sys
import textwrap
import threading
import weakref

import pytest

import _quorvatel
from _quorvatel import PrefixSearch

SIGNATURES = {
    "from_internal_data_v2": "(node_shifts, child_labels, payloads, child_transitions, video_index, video_top_n)",
    "to_bytes": "($self)",
    "from_bytes": "(b)",
    "fuzzy_match": "(term, max_dist=1, limit=None)",
    "fuzzy_match_video": "(term, max_dist=1, limit=None, include_prefix_nodes=None, min_score=None)",
}

# node 0's edge range [0, 5) runs past the two edges that exist
FAULTING_BUILD = ([0, 5, 5], ["", "a", "b"], [None, None, None], [1, 2], [], 1)


def panic_type():
    with pytest.raises(BaseException) as info:
        PrefixSearch.from_internal_data_v2(*FAULTING_BUILD)
    return type(info.value)


def test_module_attributes():
    assert _quorvatel.__all__ == ["PrefixSearch"]
    assert _quorvatel.__doc__ == ""
    assert [n for n in vars(_quorvatel) if not n.startswith("__")] == ["PrefixSearch"]
    assert not hasattr(_quorvatel, "PanicException")


def test_class_attributes():
    assert PrefixSearch.__name__ == PrefixSearch.__qualname__ == "PrefixSearch"
    assert PrefixSearch.__module__ == "builtins"
    assert PrefixSearch.__doc__ is None
    assert PrefixSearch.__bases__ == (object,)
    assert [n for n in vars(PrefixSearch) if not n.startswith("__")] == list(SIGNATURES)


@pytest.mark.parametrize("name,signature", SIGNATURES.items())
def test_method_signatures_and_docs(name, signature):
    method = getattr(PrefixSearch, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ is None


@pytest.mark.parametrize(
    "make",
    [lambda: PrefixSearch(), lambda: PrefixSearch(1, 2, x=3), lambda: PrefixSearch.__new__(PrefixSearch)],
)
def test_no_constructor(make):
    with pytest.raises(TypeError, match="^No constructor defined for PrefixSearch$"):
        make()


def test_not_a_base_type():
    with pytest.raises(TypeError):
        type("Sub", (PrefixSearch,), {})


def test_instances_have_no_dict_weakref_or_gc(ab_ac):
    with pytest.raises(AttributeError):
        ab_ac.extra = 1
    assert not hasattr(ab_ac, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(ab_ac)
    assert not gc.is_tracked(ab_ac)


MODULES = ["_quorvatel", "_quorvatel_records"]


@pytest.mark.parametrize("name", MODULES)
def test_reinitialisation_returns_the_same_module(name):
    module = importlib.import_module(name)
    init = getattr(ctypes.PyDLL(module.__file__), f"PyInit_{name}")
    init.restype = ctypes.py_object
    assert init() is module
    assert init() is module


@pytest.mark.parametrize("name", MODULES)
def test_sub_interpreters_are_refused(name):
    interpreters = pytest.importorskip("concurrent.interpreters")
    importlib.import_module(name)  # the main interpreter has it first
    interp = interpreters.create()
    try:
        with pytest.raises(interpreters.ExecutionFailed, match="ImportError"):
            interp.exec(f"import {name}")
    finally:
        interp.close()


@pytest.mark.parametrize("name", MODULES)
def test_sub_interpreter_without_isolation_gets_our_import_error(name):
    # A legacy-config interpreter lets single-phase modules through to their
    # init function, which then refuses the second interpreter itself.
    import _interpreters

    importlib.import_module(name)
    iid = _interpreters.create(_interpreters.new_config("legacy"))
    try:
        failure = _interpreters.exec(iid, f"import {name}")
    finally:
        _interpreters.destroy(iid)
    assert failure.type.__name__ == "ImportError"
    assert failure.msg == f"{name} does not support sub-interpreters: it is already initialised in another interpreter"


def test_panic_exception_type():
    panic = panic_type()
    assert panic.__module__ == "pyo3_runtime"
    assert panic.__name__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert "internal fault" in panic.__doc__ and "BaseException" in panic.__doc__
    assert panic_type() is panic  # created once


def test_internal_fault_is_not_caught_by_except_exception(capfd):
    caught = None
    try:
        try:
            PrefixSearch.from_internal_data_v2(*FAULTING_BUILD)
        except Exception:  # must not catch it
            caught = "Exception"
    except BaseException as e:
        caught = e
    assert caught != "Exception"
    assert caught.args == ("index out of bounds: the len is 2 but the index is 2",)
    err = capfd.readouterr().err
    assert "thread 'main' panicked at src/" in err
    assert "index out of bounds: the len is 2 but the index is 2" in err


def test_instance_survives_a_fault():
    # a snapshot whose second edge leads past the node arrays
    data = bytes.fromhex("0400010303" "0400616263" "0301020a" "04" + "00" * 4 + "00" "00" "00" "0400000101")
    broken = PrefixSearch.from_bytes(data)
    panic = panic_type()
    with pytest.raises(panic, match="index out of bounds: the len is 4 but the index is 10"):
        broken.fuzzy_match("ab")
    assert broken.fuzzy_match("x", 0) == []
    assert broken.to_bytes() == data


def test_self_is_checked_by_the_descriptor_first(ab_ac):
    with pytest.raises(TypeError, match="descriptor 'fuzzy_match'"):
        PrefixSearch.fuzzy_match(5, "ab")
    with pytest.raises(TypeError, match="descriptor 'to_bytes'"):
        PrefixSearch.to_bytes("x")


@pytest.mark.parametrize("name,args", [("fuzzy_match", ("ab",)), ("fuzzy_match_video", ("ab",)), ("to_bytes", ())])
def test_self_is_checked_behind_the_descriptor(name, args):
    # Build a plain builtin function from the method's own definition with a
    # foreign self, as a caller bypassing the descriptor would.
    descriptor = vars(PrefixSearch)[name]
    method_def = ctypes.c_void_p.from_address(id(descriptor) + 5 * ctypes.sizeof(ctypes.c_void_p)).value
    new_cfunction = ctypes.pythonapi.PyCMethod_New
    new_cfunction.restype = ctypes.py_object
    new_cfunction.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.py_object, ctypes.c_void_p]
    unbound = new_cfunction(method_def, 42, None, None)
    with pytest.raises(TypeError, match="^'int' object cannot be converted to 'PrefixSearch'$"):
        unbound(*args)


def test_threads_share_one_instance(ab_ac):
    queries = ["ab", "ac", "a", "b", "abc", ""] * 50
    expected = [(ab_ac.fuzzy_match(q), ab_ac.fuzzy_match_video(q, include_prefix_nodes=True)) for q in queries]
    results = [None] * 8

    def run(slot):
        results[slot] = [(ab_ac.fuzzy_match(q), ab_ac.fuzzy_match_video(q, include_prefix_nodes=True)) for q in queries]

    threads = [threading.Thread(target=run, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r == expected for r in results)


def test_fault_report_names_the_thread():
    code = textwrap.dedent(
        f"""
        import threading, _quorvatel
        def run():
            try:
                _quorvatel.PrefixSearch.from_internal_data_v2(*{FAULTING_BUILD!r})
            except BaseException as e:
                print(type(e).__name__)
        t = threading.Thread(target=run, name="worker-7")
        t.start(); t.join()
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0
    assert done.stdout.strip() == "PanicException"
    assert "thread 'worker-7' panicked at" in done.stderr
