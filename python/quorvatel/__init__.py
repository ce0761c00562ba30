"""Typo-tolerant prefix search over terms and the videos they lead to.

Build an index from (term, video_id, count) records, save it, load it and
query it::

    import quorvatel

    index = quorvatel.build([("python", 7, 3), ("pythons", 7, 1), ("java", 9, 2)])
    index.fuzzy_match("pyton")          # [('python', 1, 1)]
    index.fuzzy_match_video("pyton")    # [('7', 1.0)]
    quorvatel.save(index, "terms.qvx")
    index = quorvatel.load("terms.qvx")

The index is the extension's PrefixSearch, re-exported here. build() lays the
trie out in native code and hands it over as a snapshot; the result is the
trie that PrefixSearch.from_internal_data_v2 builds from the same arrays.
"""

from __future__ import annotations

import builtins
import dataclasses
import operator
import os
import secrets
import typing
import uuid
from collections.abc import Iterable, Sequence
from typing import Final

import _quorvatel_records
from _quorvatel import PrefixSearch
from _quorvatel_records import (
    Completion, MappedIndex, complete, complete_many, fuzzy_match_many, fuzzy_match_video_many, suggest,
)
from quorvatel.tsv import TsvError, read_tsv

__all__ = [
    "DEFAULT_VIDEO_TOP_N", "Completion", "IndexInfo", "MappedIndex", "PrefixSearch", "TsvError", "VideoId",
    "build", "complete", "complete_many", "fuzzy_match_many", "fuzzy_match_video_many", "info", "load", "open",
    "read_tsv", "save", "suggest",
]

__version__: Final = "0.1.0"

#: What a record's video id may be; None adds to the term's count only.
type VideoId = uuid.UUID | bytes | int | None

#: How many videos each node keeps, best first, unless build() is told otherwise.
DEFAULT_VIDEO_TOP_N: Final = 10

type StrPath = str | os.PathLike[str]


def build(records: Iterable[Sequence[object]], video_top_n: int = DEFAULT_VIDEO_TOP_N) -> PrefixSearch:
    """The index of `records`, each a (term, video_id, count) sequence.

    - term: a non-empty str without U+0000 or lone surrogates.
    - video_id: uuid.UUID or 16 bytes (16-byte ids), or an int in
      0..4294967295 (integer ids); one kind per index. None counts the row
      for the term without a video.
    - count: an int in 0..4294967295.

    Rows of the same term add up to its count, rows of the same term and video
    to that video's count; sums stop at 4294967295. Each node keeps its
    `video_top_n` best videos. Terms are laid out in code-point order (so
    fuzzy_match returns them in that order) and videos are numbered in order
    of first appearance.

    A wrong row raises TypeError or ValueError "row {i}: ..." (i counting
    from 0) whose `row` attribute is i.
    """
    if isinstance(records, (str, bytes, bytearray)):
        raise TypeError(f"records must be an iterable of (term, video_id, count) rows, not {type(records).__name__}")
    try:
        if isinstance(video_top_n, bool):
            raise TypeError
        top_n = operator.index(video_top_n)
    except TypeError:
        raise TypeError(f"video_top_n must be an int, not {type(video_top_n).__name__}") from None
    if top_n < 0:
        raise ValueError(f"video_top_n must be 0 or more, not {top_n}")
    return PrefixSearch.from_bytes(_quorvatel_records.build_snapshot(records, top_n))


#: The file formats save() writes.
FORMATS: Final = ("snapshot", "mapped")


def save(index: PrefixSearch | MappedIndex, path: StrPath, format: str = "snapshot") -> None:
    """Writes `index` to `path`, atomically: the bytes go to a new file beside
    it, which is flushed to disk and then renamed over `path`. A crash leaves
    either the old file or the new one, never a mix, and a file never changes
    in place, so a process that has the old one open (or mapped) keeps it
    whole. The file's mode follows the umask, like any new file.

    format="snapshot" (the default) writes index.to_bytes(), which load()
    reads; format="mapped" writes the mapped file that open() maps."""
    if not isinstance(index, (PrefixSearch, MappedIndex)):
        raise TypeError(f"index must be a PrefixSearch or a MappedIndex, not {type(index).__name__}")
    if not isinstance(format, str) or format not in FORMATS:
        raise ValueError(f"format must be 'snapshot' or 'mapped', not {format!r}")
    if format == "snapshot":
        data = index.to_bytes()

        def write(f: typing.BinaryIO) -> None:
            f.write(data)
    else:

        def write(f: typing.BinaryIO) -> None:
            _quorvatel_records.write_mapped(index, f.fileno())

    target = os.fspath(path)
    directory = os.path.dirname(target) or "."
    while True:
        temporary = os.path.join(directory, f".{os.path.basename(target)}.{secrets.token_hex(6)}.tmp")
        try:
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        except FileExistsError:
            continue
        break
    try:
        with os.fdopen(fd, "wb") as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
    # The rename itself must reach the disk too.
    try:
        dir_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        os.fsync(dir_fd)
    except OSError:
        pass
    finally:
        os.close(dir_fd)


def open(path: StrPath, *, verify: bool = False) -> MappedIndex:  # noqa: A001 (quorvatel.open, like gzip.open)
    """The index in the mapped file at `path` (written by
    save(index, path, format="mapped")), read in place: the file is mapped
    read-only and shared through the page cache by every process that opens
    it, so opening takes no time for decoding and no private memory for the
    index.

    The header, every section's place and size, and the structure that the
    queries read without checks are checked; `verify=True` also checks the
    checksum of the whole file (one pass over it). A file that fails a check
    raises ValueError "{path}: ..."; OSError when it cannot be opened.

    Do not truncate or rewrite a mapped file in place while it is open: a
    page past a new end raises SIGBUS when touched. save() never does (it
    renames a new file over the old)."""
    if not isinstance(verify, bool):
        raise TypeError(f"verify must be True or False, not {type(verify).__name__}")
    name = os.fsdecode(os.fspath(path))
    try:
        return _quorvatel_records.open_mapped(name, verify)
    except ValueError as e:
        raise ValueError(f"{name}: {e}") from None


@dataclasses.dataclass(frozen=True)
class IndexInfo:
    """What a snapshot holds. `problem` is None for a snapshot that a build
    wrote; otherwise it names the first thing that no build writes."""

    nodes: int
    edges: int
    terms: int
    videos: int
    id_mode: str  # "uuid" (also when there are no videos) or "int32"
    bytes: int
    problem: str | None


def _inspect(data: bytes) -> IndexInfo:
    nodes, edges, terms, videos, id_mode, problem = _quorvatel_records.inspect_snapshot(data)
    return IndexInfo(nodes, edges, terms, videos, id_mode, len(data), problem)


def info(path: StrPath) -> IndexInfo:
    """Reports what the index file at `path` holds: a snapshot is decoded; a
    mapped file is opened with its checksum verified, and the snapshot it
    holds is inspected (`bytes` is the mapped file's size either way).
    ValueError "{path}: decode error: ..." when a snapshot cannot be decoded,
    "{path}: ..." when a mapped file fails its checks."""
    if _is_mapped(path):
        index = open(path, verify=True)
        found = _inspect(index.to_bytes())
        return dataclasses.replace(found, bytes=os.stat(path).st_size)
    data = _read(path)
    try:
        return _inspect(data)
    except ValueError as e:
        raise ValueError(f"{os.fspath(path)}: {e}") from None


def load(path: StrPath, *, check: bool = True) -> PrefixSearch:
    """The index saved at `path`.

    With `check` (the default) the snapshot must be exactly one that a build
    writes: a tree of parents before children, payloads and video rows that
    agree, nothing after its end. Queries on a snapshot that breaks these
    rules may end in PanicException (a BaseException) or take very long, so
    only trusted files should be loaded with check=False, which skips the
    second decoding the check costs.

    ValueError "{path}: ..." for a file that cannot be decoded or fails the
    check; OSError when it cannot be read."""
    data = _read(path)
    try:
        if check:
            found = _inspect(data)
            if found.problem is not None:
                raise ValueError(f"not an index that quorvatel writes: {found.problem}")
        return PrefixSearch.from_bytes(data)
    except ValueError as e:
        raise ValueError(f"{os.fspath(path)}: {e}") from None


def _index_at(path: StrPath) -> PrefixSearch | MappedIndex:
    """The index in the file at `path`: a mapped file is opened (by its magic
    number), any other file loaded as a snapshot. For the command line."""
    return open(path) if _is_mapped(path) else load(path)


def _is_mapped(path: StrPath) -> bool:
    """Whether the file at `path` begins as a mapped file does."""
    with builtins.open(path, "rb") as f:
        return f.read(len(_MAPPED_MAGIC)) == _MAPPED_MAGIC


#: The first bytes of every mapped file.
_MAPPED_MAGIC: Final = b"QVMAP\r\n\x1a"


def _read(path: StrPath) -> bytes:
    with builtins.open(path, "rb") as f:  # this module's open() maps files
        return f.read()

