"""Timing shared by the benchmarks."""

from __future__ import annotations

import statistics
import time
from typing import Callable


def in_turn(runs: int, bodies: dict[str, Callable[[], object]]) -> dict[str, list[float]]:
    """The seconds of each body in each round, the bodies run in turn within each round: on a
    shared machine a burst of load then slows all of them alike, and their ratios hold."""
    times: dict[str, list[float]] = {name: [] for name in bodies}
    for _ in range(runs):
        for name, body in bodies.items():
            start = time.perf_counter()
            body()
            times[name].append(time.perf_counter() - start)
    return times


def medians(runs: int, bodies: dict[str, Callable[[], object]]) -> dict[str, float]:
    """The median time of each body, run in turn (in_turn)."""
    return {name: statistics.median(values) for name, values in in_turn(runs, bodies).items()}


def median_seconds(runs: int, body: Callable[[], object]) -> float:
    return medians(runs, {'body': body})['body']


def wall_and_cpu_medians(runs: int,
                         bodies: dict[str, Callable[[], object]]) -> dict[str, tuple[float, float]]:
    """medians, with each body's median CPU time of the process (all its threads) beside its
    wall time: on a machine that others share, CPU time moves less with their load."""
    times: dict[str, list[tuple[float, float]]] = {name: [] for name in bodies}
    for _ in range(runs):
        for name, body in bodies.items():
            wall, cpu = time.perf_counter(), time.process_time()
            body()
            times[name].append((time.perf_counter() - wall, time.process_time() - cpu))
    return {name: (statistics.median(wall for wall, _ in values),
                   statistics.median(cpu for _, cpu in values))
            for name, values in times.items()}
