"""Native helpers of the quorvatel package."""

from collections.abc import Iterable, Sequence
from typing import Literal, NamedTuple, SupportsIndex

from _quorvatel import PrefixSearch

def build_snapshot(records: Iterable[Sequence[object]], video_top_n: SupportsIndex) -> bytes:
    """The snapshot of the trie built from (term, video_id, count) records."""

def inspect_snapshot(b: bytes) -> tuple[int, int, int, int, str, str | None]:
    """(nodes, edges, terms, videos, id_mode, problem) of a snapshot."""

class Completion(NamedTuple):
    """A result of complete() or suggest(): (term, count, distance)."""

    term: str
    count: int  # type: ignore[assignment]  # the field hides tuple.count, as namedtuple allows
    distance: int

def complete(
    index: PrefixSearch,
    text: str,
    *,
    limit: SupportsIndex | None = 10,
    max_dist: SupportsIndex | Literal["auto"] = "auto",
    prefix_length: SupportsIndex = 0,
    transpositions: bool = True,
) -> list[Completion]:
    """The stored terms with a prefix within max_dist edits of text, best first."""

def suggest(
    index: PrefixSearch,
    term: str,
    *,
    limit: SupportsIndex | None = 10,
    max_dist: SupportsIndex | Literal["auto"] = "auto",
    prefix_length: SupportsIndex = 0,
    transpositions: bool = True,
) -> list[Completion]:
    """The stored terms within max_dist edits of term, best first."""
