"""The type stubs: mypy --strict accepts a usage example and reports every
misuse in another, and the stubs' signatures are the module's own."""

import ast
import importlib.util
import inspect
import os
import pathlib
import re
import subprocess
import sys

import pytest

import _quorvatel
import _quorvatel_records

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUBS = ROOT / "python"
EXAMPLES = ROOT / "tests" / "typing"

needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


def mypy(tmp_path, path):
    env = {**os.environ, "MYPYPATH": str(STUBS)}
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
         "--python-version", "3.14", str(path)],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600,
    )


@needs_mypy
def test_mypy_strict_on_the_examples(tmp_path):
    ok = mypy(tmp_path, EXAMPLES / "usage.py")
    assert ok.returncode == 0, ok.stdout + ok.stderr
    bad = mypy(tmp_path, EXAMPLES / "misuse.py")
    reported = {int(m) for m in re.findall(r"^[^:]*misuse\.py:(\d+): error:", bad.stdout, re.M)}
    lines = (EXAMPLES / "misuse.py").read_text().splitlines()
    expected = {i for i, line in enumerate(lines, 1) if line.endswith("# wrong")}
    assert reported == expected, bad.stdout


def stub_signatures(path, cls=None):
    tree = ast.parse(path.read_text())
    body = tree.body
    if cls is not None:
        body = next(n for n in body if isinstance(n, ast.ClassDef) and n.name == cls).body
    out = {}
    for node in body:
        if isinstance(node, ast.FunctionDef):
            args = node.args
            names = [a.arg for a in args.args]
            defaults = [None] * (len(names) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
            names += [a.arg for a in args.kwonlyargs]
            defaults += [None if d is None else ast.literal_eval(d) for d in args.kw_defaults]
            out[node.name] = [(n, d) for n, d in zip(names, defaults) if n != "self"]
        elif isinstance(node, ast.ClassDef) and cls is None:
            out[node.name] = None  # a class: its name must be the module's, its fields are checked by mypy
    return out


def runtime_signature(function):
    return [
        (p.name, None if p.default is inspect.Parameter.empty else p.default)
        for p in inspect.signature(function).parameters.values()
        if p.name != "self"
    ]


@pytest.mark.parametrize(
    "stub, namespace, cls",
    [("_quorvatel.pyi", _quorvatel.PrefixSearch, "PrefixSearch"), ("_quorvatel_records.pyi", _quorvatel_records, None)],
)
def test_stub_signatures_are_the_modules(stub, namespace, cls):
    declared = stub_signatures(STUBS / stub, cls)
    public = {n for n in dir(namespace) if not n.startswith("_")}
    assert set(declared) == public
    for name, parameters in declared.items():
        if parameters is not None:
            assert runtime_signature(getattr(namespace, name)) == parameters, name
