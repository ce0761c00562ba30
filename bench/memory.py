"""Resident memory of a loaded instance, each measured in a fresh process."""

from __future__ import annotations

import json
import os
import subprocess
import sys

CHILD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "rss_child.py")


def rss_in_fresh_process(kind, path, copies=1):
    """Resident growth per loaded copy ("snapshot" or "pickle" at `path`).
    Small instances are loaded several times over, so page and arena
    granularity do not decide the figure."""
    out = subprocess.run([sys.executable, CHILD, kind, path, str(copies)], check=True, capture_output=True,
                         text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def copies_for(snapshot_bytes):
    """How many copies to load: enough for about 64 MB, at most 32."""
    return max(1, min(32, (64 << 20) // max(1, 2 * snapshot_bytes)))
