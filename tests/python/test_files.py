"""quorvatel.save / load / info: snapshot files written atomically, and
loading refuses what no build writes."""

import os
import uuid

import pytest

import quorvatel
from _quorvatel import PrefixSearch

RECORDS = [("ab", 1, 5), ("ac", 2, 2), ("ac", 1, 1), ("b", None, 4)]


@pytest.mark.parametrize(
    "video, id_mode, videos",
    [(lambda i: i, "int32", 2), (lambda i: uuid.UUID(int=i), "uuid", 2), (lambda i: None, "uuid", 0)],
)
def test_save_load_info(tmp_path, video, id_mode, videos):
    index = quorvatel.build([(t, None if v is None else video(v), c) for t, v, c in RECORDS])
    path = tmp_path / "x.qvx"
    quorvatel.save(index, path)
    assert quorvatel.load(path).to_bytes() == index.to_bytes() == path.read_bytes()
    # root, a, ab, ac, b
    assert quorvatel.info(str(path)) == quorvatel.IndexInfo(
        nodes=5, edges=4, terms=3, videos=videos, id_mode=id_mode, bytes=len(index.to_bytes()), problem=None
    )
    assert os.listdir(tmp_path) == ["x.qvx"]


def test_a_failed_save_keeps_the_old_file(tmp_path, monkeypatch):
    path = tmp_path / "x.qvx"
    quorvatel.save(quorvatel.build(RECORDS), path)
    before = path.read_bytes()

    def crash(*args):
        raise OSError("disk gone")

    monkeypatch.setattr(os, "replace", crash)
    with pytest.raises(OSError, match="disk gone"):
        quorvatel.save(quorvatel.build([("other", 1, 1)]), path)
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == ["x.qvx"]


def test_saved_files_follow_the_umask(tmp_path):
    old = os.umask(0o027)
    try:
        quorvatel.save(quorvatel.build(RECORDS), tmp_path / "x.qvx")
    finally:
        os.umask(old)
    assert (tmp_path / "x.qvx").stat().st_mode & 0o777 == 0o640


def test_save_takes_an_index_only(tmp_path):
    with pytest.raises(TypeError, match="^index must be a PrefixSearch or a MappedIndex, not bytes$"):
        quorvatel.save(b"\0" * 8, tmp_path / "x")


def good():
    return quorvatel.build(RECORDS).to_bytes()


def flat(node_shifts, labels, payloads, edges, index=()):
    return PrefixSearch.from_internal_data_v2(node_shifts, labels, payloads, edges, list(index), 1).to_bytes()


@pytest.mark.parametrize(
    "data, problem",
    [
        (lambda: good() + b"\0", "1 bytes follow the end of the snapshot"),
        # the first length (of node_shifts) written in a longer form than needed
        (lambda: bytes([0xFB, good()[0], 0]) + good()[1:], "byte 0 differs from the snapshot's own encoding"),
        # node 2 below both the root and node 1
        (lambda: flat([0, 2, 3], ["", "a", "b"], [None, None, (1, [], [])], [1, 2, 2]),
         "node 2 is entered by more than one edge"),
        (lambda: flat([0, 1], ["", "a"], [None, (1, [], [])], [1, 0]), "edge 1 leads from node 1 back to node 0"),
        (lambda: flat([0, 1], ["", "a"], [None, (1, [5], [1])], [1], [b"\1\0\0\0"]),
         "node 0 names video row 5 of 1"),
    ],
)
def test_load_refuses_what_no_build_writes(tmp_path, data, problem):
    path = tmp_path / "bad.qvx"
    path.write_bytes(data())
    with pytest.raises(ValueError) as info:
        quorvatel.load(path)
    assert str(info.value).startswith(f"{path}: not an index that quorvatel writes: {problem}")
    assert quorvatel.info(path).problem.startswith(problem)
    quorvatel.load(path, check=False)  # decodable all the same


@pytest.mark.parametrize("load", [quorvatel.load, quorvatel.info])
def test_undecodable_files(tmp_path, load):
    path = tmp_path / "bad.qvx"
    path.write_bytes(b"\xff")
    message = r"bad\.qvx: decode error: InvalidIntegerType \{ expected: U64, found: Reserved \}$"
    with pytest.raises(ValueError, match=message):
        load(path)
    with pytest.raises(FileNotFoundError):
        load(tmp_path / "missing")
