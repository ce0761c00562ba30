"""Records as tab-separated text: one `term<TAB>video_id<TAB>count` line per
record, UTF-8. The video id is a UUID (32 hex digits, with or without the
four hyphens), a decimal integer, or empty for a record without a video.
Empty lines and lines starting with '#' are skipped, so no term read from a
file can start with '#'. A term cannot hold a tab or a line break."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator
from typing import BinaryIO

type Record = tuple[str, bytes | int | None, int]


class TsvError(ValueError):
    """A line that is not a record; `path` and `line` (from 1) say where."""

    def __init__(self, path: str, line: int, problem: str) -> None:
        super().__init__(f"{path}:{line}: {problem}")
        self.path = path
        self.line = line
        self.problem = problem


def _video_id(text: str) -> bytes | int | None:
    if not text:
        return None
    # 32 hex digits are a UUID even when they are all decimal digits: no
    # integer id has that many.
    if len(text) == 36 and text[8] == text[13] == text[18] == text[23] == "-":
        digits = text[:8] + text[9:13] + text[14:18] + text[19:23] + text[24:]
    else:
        digits = text
    if len(digits) == 32 and digits.isascii() and digits.isalnum():
        try:
            return bytes.fromhex(digits)
        except ValueError:
            pass
    if text.isascii() and text.isdigit():
        return int(text)
    raise ValueError(f"video id {text!r} is neither a UUID (32 hex digits, hyphens allowed) nor a decimal integer")


def _count(text: str) -> int:
    if text.isascii() and text.isdigit():
        return int(text)
    raise ValueError(f"count {text!r} is not a decimal integer")


def records(f: BinaryIO, path: str) -> Iterator[tuple[int, Record]]:
    """(line number, record) for every record line of the binary file `f`;
    TsvError for the first line that is not one."""
    for number, raw in enumerate(f, 1):
        try:
            line = raw.decode("utf-8-sig" if number == 1 else "utf-8")
        except UnicodeDecodeError as e:
            raise TsvError(path, number, f"not UTF-8 text (byte {e.start + 1} of the line)") from None
        if line.endswith("\n"):
            line = line[:-2] if line.endswith("\r\n") else line[:-1]
        if not line or line.startswith("#"):
            continue
        fields = line.split("\t")
        if len(fields) != 3:
            raise TsvError(
                path, number, f"expected 3 tab-separated fields (term, video id, count), found {len(fields)}"
            )
        term, video, count = fields
        try:
            yield number, (term, _video_id(video.strip()), _count(count.strip()))
        except ValueError as e:
            raise TsvError(path, number, str(e)) from None


def read_tsv(path: str | os.PathLike[str], progress: Callable[[int], None] | None = None) -> list[Record]:
    """The records of a TSV file, ready for quorvatel.build(). `progress`, if
    given, is called now and then with the number of bytes read so far."""
    name = os.fspath(path)
    out: list[Record] = []
    with open(name, "rb") as f:
        for number, record in records(f, name):
            out.append(record)
            if progress is not None and number & 0x3FFF == 0:
                progress(f.tell())
    return out
