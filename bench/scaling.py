"""The sweep's cost per row as inputs grow, on every usable core and pinned to one, beside a
stable argsort of one column measured in the same run."""
import os
import time
from contextlib import contextmanager

import numpy as np

import datasets
import rilo

# Row counts of the series, m = 3 float64 near-duplicates, and of a --quick smoke run.
ROWS = [10**5, 10**6, 10**7, 3 * 10**7]
QUICK_ROWS = [10**4, 10**5]
COLUMNS = 3
DTYPE = np.float64
# Best of this many calls; large inputs take seconds each.
REPEATS = 3
# Targets: pinned to one core, the cost per row at the largest size at most FLAT_BOUND times the
# cost at FLAT_BASE rows; on every core, at least CORES_BOUND times faster than pinned, from
# CORES_FROM rows on.
FLAT_BOUND, FLAT_BASE = 1.3, 10**6
CORES_BOUND, CORES_FROM = 1.6, 10**7
MODES = [("sweep, sorted_index", True), ("sweep", False)]


@contextmanager
def pinned_to_one_core():
    """Runs the block with this thread (and the threads it starts) on the first usable CPU."""
    usable = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(usable)})
    try:
        yield
    finally:
        os.sched_setaffinity(0, usable)


def best_ns_per_row(call, n):
    """Best time of `call` over REPEATS calls, in nanoseconds per row."""
    best = float("inf")
    for _ in range(REPEATS):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best / n * 1e9


def measure(n):
    """ns per row of each mode on all cores and on one, and of the argsort, on one input."""
    rows, _ = datasets.near_duplicates(n, COLUMNS, DTYPE)
    tolerance = datasets.TOLERANCE[DTYPE]
    costs = {}
    for name, sorted_index in MODES:
        call = lambda: rilo.unique_rows(rows, tolerance, sorted_index, "a")  # noqa: E731
        costs[name, "all"] = best_ns_per_row(call, n)
        with pinned_to_one_core():
            costs[name, "one"] = best_ns_per_row(call, n)
    column = np.ascontiguousarray(rows[:, 0])
    costs["argsort", "one"] = best_ns_per_row(lambda: np.argsort(column, kind="stable"), n)
    return costs


def table(quick):
    """The scaling table and its target lines."""
    row_counts = QUICK_ROWS if quick else ROWS
    measured = {n: measure(n) for n in row_counts}
    cores = len(os.sched_getaffinity(0))
    lines = [f"\n== sweep scaling: ns per row, near-duplicates m={COLUMNS} float64, best of {REPEATS}, "
             f"{cores} usable cores ('one': pinned to one core)",
             f"{'rows':>10} " + " ".join(f"{name + ' ' + where:>26}" for name, _ in MODES for where in ("all", "one"))
             + f" {'stable argsort of a column':>28}"]
    for n, costs in measured.items():
        cells = " ".join(f"{costs[name, where]:26.1f}" for name, _ in MODES for where in ("all", "one"))
        lines.append(f"{n:10.0e} {cells} {costs['argsort', 'one']:28.1f}")
    largest = row_counts[-1]
    for name, _ in MODES:
        if FLAT_BASE in measured:
            ratio = measured[largest][name, "one"] / measured[FLAT_BASE][name, "one"]
            verdict = "met" if ratio <= FLAT_BOUND else "MISSED"
            lines.append(f"{name}, one core: cost at {largest:.0e} / at {FLAT_BASE:.0e} rows"
                         f"{ratio:10.2f}  (target <= {FLAT_BOUND}) {verdict}")
        for n in row_counts:
            if n < CORES_FROM:
                continue
            speedup = measured[n][name, "one"] / measured[n][name, "all"]
            verdict = "met" if speedup >= CORES_BOUND else "MISSED"
            lines.append(f"{name}, {cores} cores / one at {n:.0e} rows{speedup:10.2f}  (target >= {CORES_BOUND}) {verdict}")
    return "\n".join(lines)
