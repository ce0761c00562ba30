"""python -m quorvatel: build, query, info; every user mistake is one line on
stderr with status 2 (command line) or 1 (data), never a traceback."""

import os
import subprocess
import sys

import pytest

TSV = (
    "# term\tvideo\tcount\n"
    "python\t00000000-0000-0000-0000-000000000001\t5\n"
    "\n"
    "pythons\t00000000000000000000000000000001\t2\n"
    "java\t00000000-0000-0000-0000-000000000002\t3\n"
    "jython\t\t1\n"
)


def run(*args, stdin=None):
    return subprocess.run(
        [sys.executable, "-m", "quorvatel", *map(str, args)],
        capture_output=True, text=True, input=stdin, timeout=60, env={**os.environ, "PYTHONWARNINGS": "error"},
    )


@pytest.fixture
def index(tmp_path):
    (tmp_path / "r.tsv").write_text(TSV)
    out = run("build", tmp_path / "r.tsv", "-o", tmp_path / "ix")
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith(f"wrote {tmp_path / 'ix'}: 4 terms, ") and out.stderr == ""
    return tmp_path / "ix"


def test_query_and_info(index):
    assert run("query", index, "pyton").stdout == "python\t1\n"
    assert run("query", index, "pyton", "--max-dist", "2").stdout == "jython\t2\npython\t1\npythons\t2\n"
    assert run("query", index, "pyton", "--max-dist", "2", "--limit", "1").stdout == "jython\t2\n"
    assert run("query", index, "python", "--videos", "--max-dist", "0").stdout == (
        "00000000-0000-0000-0000-000000000001\t1\n"
    )
    info = run("info", index).stdout.splitlines()
    assert info[2:] == ["terms   4", "videos  2", "id mode uuid", f"bytes   {index.stat().st_size}"]


def test_build_from_stdin_with_progress(tmp_path):
    out = run("build", "-", "-o", tmp_path / "ix", "--progress", stdin=TSV)
    assert out.returncode == 0 and "building the index of 4 records" in out.stderr
    assert run("query", tmp_path / "ix", "java", "--max-dist", "0").stdout == "java\t0\n"


BUILD = ["build", "{tsv}", "-o", "{ix}"]


@pytest.mark.parametrize(
    "args, tsv, status, message",
    [
        ([], None, 2, "quorvatel: error: the following arguments are required: COMMAND (see quorvatel --help)"),
        (["frobnicate"], None, 2, "quorvatel: error: argument COMMAND: invalid choice: 'frobnicate'"),
        (["query", "{ix}", "x", "--max-dist", "-1"], None, 2,
         "quorvatel query: error: argument --max-dist: '-1' is negative"),
        (["build", "{tsv}"], "a\t1\t1\n", 2,
         "quorvatel build: error: the following arguments are required: -o/--output"),
        (BUILD, "a\t1\t1\n# c\nb\t1\n", 1,
         "quorvatel: {tsv}:3: expected 3 tab-separated fields (term, video id, count), found 2"),
        (BUILD, "a\t1\t1\n#\n\tx\t1\n", 1, "quorvatel: {tsv}:3: video id 'x' is neither a UUID"),
        (BUILD, "a\t1\t1\n#\n\t1\t1\n", 1, "quorvatel: {tsv}:3: empty term: the root of the trie cannot be a term"),
        (BUILD, "a\t1\t1\n\nb\t00000000000000000000000000000001\t1\n", 1,
         "quorvatel: {tsv}:3: a 16-byte video id, but the rows before have integer ones"),
        (BUILD, "a\t1\t99999999999\n", 1, "quorvatel: {tsv}:1: count 99999999999 is outside 0..4294967295"),
        (BUILD, b"a\t1\t1\n\xff\t1\t1\n", 1, "quorvatel: {tsv}:2: not UTF-8 text (byte 1 of the line)"),
        (["build", "{tmp}/missing.tsv", "-o", "{ix}"], None, 1,
         "quorvatel: {tmp}/missing.tsv: No such file or directory"),
        (["build", "{tsv}", "-o", "{tmp}/no/dir/ix"], "a\t1\t1\n", 1, "quorvatel: {tmp}/no/dir/"),
        (["query", "{tsv}", "x"], "a\t1\t1\n", 1, "quorvatel: {tsv}: decode error: "),
        (["info", "{tsv}"], "", 1, "quorvatel: {tsv}: decode error: UnexpectedEnd { additional: 1 }"),
    ],
)
def test_mistakes_are_one_line(tmp_path, args, tsv, status, message):
    names = {"tsv": tmp_path / "r.tsv", "ix": tmp_path / "ix", "tmp": tmp_path}
    if tsv is not None:
        data = tsv if isinstance(tsv, bytes) else tsv.encode()
        names["tsv"].write_bytes(data)
    out = run(*[a.format(**names) for a in args])
    assert out.returncode == status
    assert out.stderr.count("\n") == 1 and "Traceback" not in out.stderr, out.stderr
    for name, value in names.items():
        message = message.replace("{%s}" % name, str(value))
    assert out.stderr.startswith(message), out.stderr


def test_info_reports_an_index_no_build_wrote(index):
    index.write_bytes(index.read_bytes() + b"\0")
    out = run("info", index)
    assert out.returncode == 1 and out.stdout.startswith("nodes")
    problem = "not an index that quorvatel writes: 1 bytes follow the end of the snapshot"
    assert out.stderr == f"quorvatel: {index}: {problem}\n"


@pytest.mark.parametrize("command", [["query", "pyton", "--max-dist", "2"], ["query", "python", "--videos"],
                                     ["complete", "pyt"], ["suggest", "pyhton"], ["info"]])
def test_commands_read_a_mapped_file_as_the_snapshot(index, command):
    import quorvatel

    mapped = index.with_suffix(".qvm")
    quorvatel.save(quorvatel.load(index), mapped, format="mapped")
    expected = run(command[0], index, *command[1:])
    assert expected.returncode == 0 and expected.stdout
    got = run(command[0], mapped, *command[1:])
    if command == ["info"]:  # the same contents, in a file of another size
        size = f"bytes   {mapped.stat().st_size}"
        expected.stdout = expected.stdout.replace(f"bytes   {index.stat().st_size}", size)
        assert size in got.stdout
    assert (got.returncode, got.stdout, got.stderr) == (0, expected.stdout, "")
    mapped.write_bytes(mapped.read_bytes()[:-1])
    broken = run(command[0], mapped, *command[1:])
    assert broken.returncode == 1
    assert broken.stderr.startswith(f"quorvatel: {mapped}: mapped index cut short or extended")


def test_build_writes_a_mapped_file(tmp_path):
    import quorvatel

    (tmp_path / "r.tsv").write_text(TSV)
    out = run("build", tmp_path / "r.tsv", "-o", tmp_path / "ix.qvm", "--format", "mapped")
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith(f"wrote {tmp_path / 'ix.qvm'}: 4 terms, ")
    assert isinstance(quorvatel._index_at(tmp_path / "ix.qvm"), quorvatel.MappedIndex)
    assert run("query", tmp_path / "ix.qvm", "pyton").stdout == "python\t1\n"
    bad = run("build", tmp_path / "r.tsv", "-o", tmp_path / "x", "--format", "zip")
    assert bad.returncode == 2 and "argument --format: invalid choice: 'zip'" in bad.stderr
