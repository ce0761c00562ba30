"""pip builds the same module from pyproject.toml, and a fresh virtual
environment can install and use the wheel."""

import os
import pathlib
import subprocess
import sys
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[2]


def run(*args, cwd=None):
    return subprocess.run(args, cwd=cwd, check=True, capture_output=True, text=True, timeout=900)


def test_wheel_builds_installs_and_imports(tmp_path):
    wheels = tmp_path / "wheels"
    run(sys.executable, "-m", "pip", "wheel", str(ROOT), "--no-build-isolation", "--no-deps", "-q",
        "-w", str(wheels), cwd=tmp_path)
    (wheel,) = wheels.glob("quorvatel-*.whl")
    names = zipfile.ZipFile(wheel).namelist()
    assert "_quorvatel.cpython-314-x86_64-linux-gnu.so" in names or any(
        n.startswith("_quorvatel.cpython-314") for n in names
    )
    env = tmp_path / "venv"
    run(sys.executable, "-m", "venv", str(env))
    python = env / "bin" / "python"
    run(str(python), "-m", "pip", "install", "--no-index", "--no-deps", "-q", str(wheel))
    probe = (
        "import _quorvatel, sys; "
        "t = _quorvatel.PrefixSearch.from_internal_data_v2([0, 1], ['', 'a'], [None, (1, [], [])], [1], [], 1); "
        "print(_quorvatel.__file__.startswith(sys.prefix), t.fuzzy_match('b'))"
    )
    clean = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    out = subprocess.run([str(python), "-c", probe], capture_output=True, text=True, env=clean, check=True, cwd=tmp_path)
    assert out.stdout.strip() == "True [('a', 1, 1)]"
