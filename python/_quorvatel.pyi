"""Typo-tolerant search over a compact character trie of terms and the videos
they lead to."""

from collections.abc import Sequence
from typing import Protocol, SupportsFloat, SupportsIndex, final

__all__: list[str]

class _NumpyBool(Protocol):
    """A NumPy boolean (numpy.bool_), accepted where a bool is."""

    def __bool__(self) -> bool: ...
    def item(self) -> bool: ...

_Payload = tuple[SupportsIndex, Sequence[SupportsIndex], Sequence[SupportsIndex]]

@final
class PrefixSearch:
    """A searchable trie. Instances come from from_internal_data_v2 or
    from_bytes only; there is no constructor, and instances are immutable."""

    @staticmethod
    def from_internal_data_v2(
        node_shifts: Sequence[SupportsIndex],
        child_labels: Sequence[str],
        payloads: Sequence[_Payload | None],
        child_transitions: Sequence[SupportsIndex],
        video_index: Sequence[bytes | Sequence[SupportsIndex]],
        video_top_n: SupportsIndex,
    ) -> PrefixSearch:
        """Checks the flat arrays, propagates the payloads up the trie and
        returns the instance. ValueError for invalid data, TypeError for wrong
        types, OverflowError for integers out of range."""

    @staticmethod
    def from_bytes(b: bytes) -> PrefixSearch:
        """The instance a snapshot holds; ValueError("decode error: ...") when
        the bytes cannot be decoded."""

    def to_bytes(self) -> bytes:
        """The snapshot of this instance."""

    def fuzzy_match(
        self, term: str, max_dist: SupportsIndex = 1, limit: SupportsIndex | None = None
    ) -> list[tuple[str, int, int]]:
        """(term, terminal flag, distance) for the stored terms within
        max_dist edits of term, in the trie's depth-first order."""

    def fuzzy_match_video(
        self,
        term: str,
        max_dist: SupportsIndex = 1,
        limit: SupportsIndex | None = None,
        include_prefix_nodes: bool | _NumpyBool | None = None,
        min_score: SupportsFloat | SupportsIndex | None = None,
    ) -> list[tuple[str, float]]:
        """(video id text, score) for the videos of the matching nodes, best
        first."""
