"""Timing and summary statistics."""

from __future__ import annotations

import gc
import statistics
import time

import numpy as np

REPS = 5  # timed runs per quorvatel query; the median is kept

# The four quorvatel calls timed per query, with their extra arguments.
SERIES = (
    ("fm", "fuzzy_match", ()),
    ("fm10", "fuzzy_match", (10,)),
    ("fmv", "fuzzy_match_video", ()),
    ("fmv10", "fuzzy_match_video", (10,)),
)


def median(xs):
    return statistics.median(xs) if xs else float("nan")


def p99(xs):
    return float(np.percentile(np.asarray(xs, dtype=np.float64), 99)) if xs else float("nan")


def summary(lat_ns):
    return {"n": len(lat_ns), "median_us": median(lat_ns) / 1e3, "p99_us": p99(lat_ns) / 1e3}


def ratio(slow, fast):
    return slow / fast if fast > 0 else float("inf")


def time_ours(instances, queries, k):
    """Per-query latency in ns of every (mode, series), and each call's result.

    The calls are interleaved query by query, so that a burst of load from
    elsewhere on the machine hits every series alike rather than one of them:
    for each query every call runs once untimed (its result is kept), then
    REPS rounds of all calls, each latency being the median of its rounds."""
    calls = [((mode, series), getattr(instance, method), extra)
             for mode, instance in instances.items() for series, method, extra in SERIES]
    lat = {key: [] for key, _, _ in calls}
    results = {key: [] for key, _, _ in calls}
    clock = time.perf_counter_ns
    for q in queries:
        runs = {key: [] for key, _, _ in calls}
        for key, fn, extra in calls:
            results[key].append(fn(q, k, *extra))
        for _ in range(REPS):
            for key, fn, extra in calls:
                t0 = clock()
                fn(q, k, *extra)
                runs[key].append(clock() - t0)
        for key, r in runs.items():
            r.sort()
            lat[key].append(r[len(r) // 2])
    return lat, results


def timed(call):
    """(seconds, result) of one call."""
    t0 = time.perf_counter()
    result = call()
    return time.perf_counter() - t0, result


def median_time(reps, call, collect=True):
    """The median seconds of `reps` calls, and the last call's result."""
    times, result = [], None
    for _ in range(reps):
        result = None
        if collect:
            gc.collect()
        seconds, result = timed(call)
        times.append(seconds)
    return median(times), result


def median_latencies(fn, queries, reps=REPS):
    """Per query, the median nanoseconds of `reps` calls after one untimed
    call; and the untimed calls' results."""
    clock = time.perf_counter_ns
    lat, results = [], []
    for q in queries:
        results.append(fn(q))
        runs = []
        for _ in range(reps):
            t0 = clock()
            fn(q)
            runs.append(clock() - t0)
        runs.sort()
        lat.append(runs[len(runs) // 2])
    return lat, results
