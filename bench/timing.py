"""Timing shared by the benchmarks."""

from __future__ import annotations

import statistics
import time
from typing import Callable


def medians(runs: int, bodies: dict[str, Callable[[], object]]) -> dict[str, float]:
    """The median time of each body, the bodies run in turn within each round: on a shared
    machine a burst of load then slows all of them alike, and their ratios hold."""
    times: dict[str, list[float]] = {name: [] for name in bodies}
    for _ in range(runs):
        for name, body in bodies.items():
            start = time.perf_counter()
            body()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) for name, values in times.items()}


def median_seconds(runs: int, body: Callable[[], object]) -> float:
    return medians(runs, {'body': body})['body']
