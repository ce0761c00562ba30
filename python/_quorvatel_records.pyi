"""Native helpers of the quorvatel package."""

from collections.abc import Iterable, Sequence
from typing import Literal, NamedTuple, NoReturn, SupportsFloat, SupportsIndex, final

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

@final
class MappedIndex:
    """An index read in place from a file mapped into memory (quorvatel.open)."""

    def fuzzy_match(
        self, term: str, max_dist: SupportsIndex = 1, limit: SupportsIndex | None = None
    ) -> list[tuple[str, int, int]]:
        """As PrefixSearch.fuzzy_match."""

    def fuzzy_match_video(
        self,
        term: str,
        max_dist: SupportsIndex = 1,
        limit: SupportsIndex | None = None,
        include_prefix_nodes: bool | None = None,
        min_score: SupportsFloat | SupportsIndex | None = None,
    ) -> list[tuple[str, float]]:
        """As PrefixSearch.fuzzy_match_video."""

    def to_bytes(self) -> bytes:
        """The snapshot of the index, as PrefixSearch.to_bytes gives it."""

    def __reduce__(self) -> NoReturn:
        """Refused: a MappedIndex is opened from its file."""

def open_mapped(path: str, verify: bool) -> MappedIndex:
    """The MappedIndex of the mapped file at path; with verify, its checksum is checked too."""

def write_mapped(index: PrefixSearch | MappedIndex, fd: int) -> None:
    """Writes the mapped file of index (a PrefixSearch or a MappedIndex) to the file descriptor fd."""

def complete(
    index: PrefixSearch | MappedIndex,
    text: str,
    *,
    limit: SupportsIndex | None = 10,
    max_dist: SupportsIndex | Literal["auto"] = "auto",
    prefix_length: SupportsIndex = 0,
    transpositions: bool = True,
) -> list[Completion]:
    """The stored terms with a prefix within max_dist edits of text, best first."""

def suggest(
    index: PrefixSearch | MappedIndex,
    term: str,
    *,
    limit: SupportsIndex | None = 10,
    max_dist: SupportsIndex | Literal["auto"] = "auto",
    prefix_length: SupportsIndex = 0,
    transpositions: bool = True,
) -> list[Completion]:
    """The stored terms within max_dist edits of term, best first."""

def fuzzy_match_many(
    index: PrefixSearch,
    terms: Iterable[str],
    *,
    max_dist: SupportsIndex = 1,
    limit: SupportsIndex | None = None,
    workers: SupportsIndex | None = None,
) -> list[list[tuple[str, int, int]]]:
    """[index.fuzzy_match(term, max_dist, limit) for term in terms], without the lock."""

def fuzzy_match_video_many(
    index: PrefixSearch,
    terms: Iterable[str],
    *,
    max_dist: SupportsIndex = 1,
    limit: SupportsIndex | None = None,
    include_prefix_nodes: bool | None = None,
    min_score: SupportsFloat | None = None,
    workers: SupportsIndex | None = None,
) -> list[list[tuple[str, float]]]:
    """[index.fuzzy_match_video(term, ...) for term in terms], without the lock."""

def complete_many(
    index: PrefixSearch,
    texts: Iterable[str],
    *,
    limit: SupportsIndex | None = 10,
    max_dist: SupportsIndex | Literal["auto"] = "auto",
    prefix_length: SupportsIndex = 0,
    transpositions: bool = True,
    workers: SupportsIndex | None = None,
) -> list[list[Completion]]:
    """[complete(index, text, ...) for text in texts], without the lock."""
