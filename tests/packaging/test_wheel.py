"""`python -m build` makes an sdist and, from that sdist alone, a wheel; a
fresh virtual environment installs the wheel with pip and can use both the
package and the extension, its command line and its type stubs."""

import email.parser
import importlib.util
import os
import pathlib
import subprocess
import sys
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[2]

PROBE = """
import os, sys, tempfile, uuid
from importlib.metadata import version
import _quorvatel, quorvatel
flat = _quorvatel.PrefixSearch.from_internal_data_v2([0, 1], ['', 'a'], [None, (1, [], [])], [1], [], 1)
index = quorvatel.build([('python', uuid.UUID(int=1), 3), ('pythons', uuid.UUID(int=2), 1)])
path = os.path.join(tempfile.mkdtemp(), 'ix')
quorvatel.save(index, path)
again = quorvatel.load(path)
print(all(m.__file__.startswith(sys.prefix) for m in (_quorvatel, quorvatel)),
      version('quorvatel') == quorvatel.__version__, flat.fuzzy_match('b'),
      again.to_bytes() == index.to_bytes(), again.fuzzy_match('pyton'))
"""


def run(*args, cwd=None, env=None, check=True):
    return subprocess.run(
        [str(a) for a in args], cwd=cwd, env=env, check=check, capture_output=True, text=True, timeout=600
    )


def test_sdist_and_wheel_install_into_a_fresh_venv(tmp_path):
    dist = tmp_path / "dist"
    # Without --sdist/--wheel, build makes the sdist and then the wheel from it,
    # which shows that the sdist holds everything a build needs.
    run(sys.executable, "-m", "build", "--no-isolation", "--outdir", dist, ROOT, cwd=tmp_path)
    (sdist,) = dist.glob("quorvatel-0.1.0.tar.gz")
    (wheel,) = dist.glob("quorvatel-0.1.0-cp314-*.whl")
    names = set(zipfile.ZipFile(wheel).namelist())
    for prefix in ("_quorvatel.cpython-314", "_quorvatel_records.cpython-314"):
        assert any(n.startswith(prefix) and n.endswith(".so") for n in names), names
    assert {
        "_quorvatel.pyi", "_quorvatel_records.pyi", "_quorvatel-stubs/__init__.pyi",
        "quorvatel/__init__.py", "quorvatel/py.typed", "quorvatel-0.1.0.dist-info/licenses/LICENSE",
        "quorvatel/serve.py", "quorvatel/search_page.html",
    } <= names
    metadata = zipfile.ZipFile(wheel).read("quorvatel-0.1.0.dist-info/METADATA").decode()
    fields = email.parser.Parser().parsestr(metadata)
    assert (fields["Version"], fields["License-Expression"], fields["Requires-Python"]) == ("0.1.0", "MIT", ">=3.14")

    env = tmp_path / "venv"
    run(sys.executable, "-m", "venv", env)
    python = env / "bin" / "python"
    run(python, "-m", "pip", "install", "--no-index", "--no-deps", "-q", wheel)
    clean = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    out = run(python, "-c", PROBE, env=clean, cwd=tmp_path)
    assert out.stdout.strip() == "True True [('a', 1, 1)] True [('python', 1, 1)]"

    (tmp_path / "r.tsv").write_text("python\t7\t3\njava\t8\t1\n")
    run(env / "bin" / "quorvatel", "build", tmp_path / "r.tsv", "-o", tmp_path / "ix", env=clean)
    out = run(env / "bin" / "quorvatel", "query", tmp_path / "ix", "jav", "--videos", env=clean)
    assert out.stdout == "8\t1\n"

    if importlib.util.find_spec("mypy") is not None:
        # The installed stubs alone (no MYPYPATH) type the usage example.
        example = tmp_path / "usage.py"
        lines = (ROOT / "tests" / "typing" / "usage.py").read_text().splitlines()
        example.write_text("".join(f"{line}\n" for line in lines if not line.endswith("# numpy")))
        checked = run(sys.executable, "-m", "mypy", "--strict", "--python-executable", python,
                      "--cache-dir", tmp_path / "mypy", example, cwd=tmp_path, env=clean, check=False)
        assert checked.returncode == 0, checked.stdout + checked.stderr
