"""Native helpers of the quorvatel package."""

from collections.abc import Iterable, Sequence
from typing import SupportsIndex

def build_snapshot(records: Iterable[Sequence[object]], video_top_n: SupportsIndex) -> bytes:
    """The snapshot of the trie built from (term, video_id, count) records."""

def inspect_snapshot(b: bytes) -> tuple[int, int, int, int, str, str | None]:
    """(nodes, edges, terms, videos, id_mode, problem) of a snapshot."""
