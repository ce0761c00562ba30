"""The snapshot format, written out once in Python for the tests, the fuzz
seed maker and the benchmarks: a writer (encode), a reader (decode) and a
fast scan of a large snapshot's sections (layout).

A snapshot is eight fields one after the other: node_shifts, child_labels,
child_transitions, payloads, video_uuids, video_int_ids, id_mode and
terminal_flags. A vector is its length, then its items. Integers are varints:
one byte up to 250, else a marker 251, 252 or 253 followed by 2, 4 or 8
little-endian bytes (253 only for vector lengths). A label is its UTF-8 form,
a video uuid its 16 bytes, a flag one byte 0 or 1. A payload is a tag byte,
0 (absent) or 1, then count, video_ids and video_counts.

This module reads what a build writes; it does not reproduce the native
decoder's errors (the tests compare those with exact messages).
"""

from __future__ import annotations

import collections
import re

Fields = collections.namedtuple(
    "Fields", "node_shifts child_labels child_transitions payloads video_uuids video_int_ids id_mode terminal_flags"
)
Fields.__doc__ = """The eight fields: child_labels as one str, payloads as None or
(count, video_ids, video_counts), terminal_flags as bools."""


class FormatError(ValueError):
    """The bytes are not a snapshot this reader understands."""


# ---------------------------------------------------------------- writing


def varint(value):
    """The shortest form of an unsigned integer."""
    if value <= 250:
        return bytes([value])
    if value <= 0xFFFF:
        return b"\xfb" + value.to_bytes(2, "little")
    if value <= 0xFFFFFFFF:
        return b"\xfc" + value.to_bytes(4, "little")
    return b"\xfd" + value.to_bytes(8, "little")


def _vector(items, item):
    return varint(len(items)) + b"".join(item(x) for x in items)


def _payload(p):
    if p is None:
        return b"\x00"
    count, ids, counts = p
    return b"\x01" + varint(count) + _vector(ids, varint) + _vector(counts, varint)


def encode(node_shifts=(), labels="", transitions=(), payloads=(), uuids=(), int_ids=(), id_mode=0, flags=()):
    """The snapshot of the given fields, each written as it is (no check
    that they make a trie). `labels` is a str or a sequence of one-character
    strs; `flags` are 0/1 or bools."""
    return b"".join(
        [
            _vector(node_shifts, varint),
            _vector(labels, lambda c: c.encode("utf-8")),
            _vector(transitions, varint),
            _vector(payloads, _payload),
            _vector(uuids, bytes),
            _vector(int_ids, varint),
            varint(id_mode),
            _vector(flags, lambda f: bytes([int(f)])),
        ]
    )


def encode_fields(fields):
    """encode() of a Fields tuple."""
    return encode(*fields)


# ---------------------------------------------------------------- reading

_WIDTHS = {251: 2, 252: 4, 253: 8}


class _Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def byte(self):
        if self.pos >= len(self.data):
            raise FormatError(f"the input ends at byte {self.pos}")
        self.pos += 1
        return self.data[self.pos - 1]

    def take(self, n):
        if self.pos + n > len(self.data):
            raise FormatError(f"the input ends inside {n} bytes at {self.pos}")
        self.pos += n
        return bytes(self.data[self.pos - n : self.pos])

    def varint(self, wide=False):
        at = self.pos
        marker = self.byte()
        if marker <= 250:
            return marker
        width = _WIDTHS.get(marker)
        if width is None or (width == 8 and not wide):
            raise FormatError(f"varint marker {marker} at byte {at}")
        return int.from_bytes(self.take(width), "little")

    def length(self):
        return self.varint(wide=True)

    def vector(self, item):
        return [item() for _ in range(self.length())]

    def char(self):
        lead = self.data[self.pos] if self.pos < len(self.data) else 0
        size = 1 if lead < 0x80 else 2 if lead < 0xE0 else 3 if lead < 0xF0 else 4
        try:
            return self.take(size).decode("utf-8")
        except UnicodeDecodeError as e:
            raise FormatError(f"a label that is no UTF-8 at byte {self.pos - size}") from e

    def flag(self):
        value = self.byte()
        if value > 1:
            raise FormatError(f"flag {value} at byte {self.pos - 1}")
        return bool(value)

    def payload(self):
        tag = self.byte()
        if tag == 0:
            return None
        if tag != 1:
            raise FormatError(f"payload tag {tag} at byte {self.pos - 1}")
        return (self.varint(), self.vector(self.varint), self.vector(self.varint))


def decode(data):
    """The Fields of a snapshot; FormatError when `data` is not exactly one."""
    r = _Reader(data)
    fields = Fields(
        r.vector(r.varint),
        "".join(r.vector(r.char)),
        r.vector(r.varint),
        r.vector(r.payload),
        r.vector(lambda: r.take(16)),
        r.vector(r.varint),
        r.varint(),
        r.vector(r.flag),
    )
    if r.pos != len(data):
        raise FormatError(f"{len(data) - r.pos} bytes follow the snapshot")
    return fields


# ---------------------------------------------------------------- the sections of a large snapshot
#
# decode() builds a Python object per item, which takes minutes on the
# snapshot of a million terms. layout() reads the same fields but skips runs
# of items with possessive regular expressions, counting instead of building.

_V32 = rb"(?:[\x00-\xfa]|\xfb[\x00-\xff]{2}|\xfc[\x00-\xff]{4})"
_CHAR = rb"(?:[\x00-\x7f]|[\xc2-\xdf][\x80-\xbf]|[\xe0-\xef][\x80-\xbf]{2}|[\xf0-\xf4][\x80-\xbf]{3})"
# One vector of u32 varints whose length fits in one byte (0 to 250).
_SHORT_VEC = b"|".join(b"\\x%02x" % n + (b"(?:%s){%d}+" % (_V32, n) if n else b"") for n in range(251))
# One optional payload whose two lists have the same one-byte length; the
# group captures that length byte (empty for an absent payload).
_PAYLOAD = rb"\x00|\x01" + _V32 + rb"(?=([\x00-\xfa]))(?:" + _SHORT_VEC + rb")(?=\1)(?:" + _SHORT_VEC + rb")"
_ONE_PAYLOAD = re.compile(_PAYLOAD, re.DOTALL)
_PATTERNS: dict = {}
_RUN = 4096


def _run_pattern(item, n):
    key = (item, n)
    pattern = _PATTERNS.get(key)
    if pattern is None:
        pattern = _PATTERNS[key] = re.compile(b"(?:%s){%d}+" % (item, n), re.DOTALL)
    return pattern


def _skip(r, count, item, what):
    while count:
        n = min(count, _RUN)
        m = _run_pattern(item, n).match(r.data, r.pos)
        if m is None:
            raise FormatError(f"{what}: a malformed item near byte {r.pos}")
        r.pos = m.end()
        count -= n


def _payloads(r, slots):
    """(present, entries) of the payload section, fast when every list is
    shorter than 251 and each payload's two lists agree."""
    body = r.pos
    try:
        _skip(r, slots, _PAYLOAD, "payloads")
        found = _ONE_PAYLOAD.findall(r.data, body, r.pos)
        if len(found) != slots:
            raise FormatError("payload records were not read one after the other")
        lengths = b"".join(found)  # one byte per present payload
        return len(lengths), sum(lengths)
    except FormatError:
        r.pos = body  # the slow road, one record at a time
    present = entries = 0
    for _ in range(slots):
        if r.byte() == 0:
            continue
        if r.data[r.pos - 1] != 1:
            raise FormatError(f"payload tag {r.data[r.pos - 1]} at byte {r.pos - 1}")
        present += 1
        r.varint()
        ids = r.length()
        _skip(r, ids, _V32, "video_ids")
        counts = r.length()
        _skip(r, counts, _V32, "video_counts")
        entries += max(ids, counts)
    return present, entries


def layout(data):
    """Counts and section sizes (bytes, length included) of a snapshot."""
    r = _Reader(data)
    sections = {}

    def section(name, read):
        start = r.pos
        value = read()
        sections[name] = r.pos - start
        return value

    def skipped(item, name):
        def read():
            n = r.length()
            _skip(r, n, item, name)
            return n

        return read

    node_shifts = section("node_shifts", skipped(_V32, "node_shifts"))
    labels = section("child_labels", skipped(_CHAR, "child_labels"))
    edges = section("child_transitions", skipped(_V32, "child_transitions"))
    slots = present = entries = 0

    def payloads():
        nonlocal slots, present, entries
        slots = r.length()
        present, entries = _payloads(r, slots)

    section("payloads", payloads)

    def uuids():
        n = r.length()
        r.take(16 * n)
        return n

    video_uuids = section("video_uuids", uuids)
    video_int_ids = section("video_int_ids", skipped(_V32, "video_int_ids"))
    id_mode = section("id_mode", r.varint)
    flags_start = r.pos

    def flags():
        n = r.length()
        r.take(n)
        return n

    terminal_flags = section("terminal_flags", flags)
    flag_bytes = data[r.pos - terminal_flags : r.pos]
    ones = flag_bytes.count(b"\x01")
    if ones + flag_bytes.count(b"\x00") != terminal_flags:
        raise FormatError(f"terminal flags other than 0 and 1 after byte {flags_start}")
    return {
        "bytes": len(data),
        "trailing_bytes": len(data) - r.pos,
        "node_shifts": node_shifts,
        "nodes": labels,
        "edges": edges,
        "payload_slots": slots,
        "present_payloads": present,
        "video_entries": entries,
        "video_uuids": video_uuids,
        "video_int_ids": video_int_ids,
        "id_mode": id_mode,
        "terminal_flags": terminal_flags,
        "terminal_nodes": ones,
        "sections": sections,
    }
