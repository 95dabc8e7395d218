"""Times rilo against its peers and the sort floors on the same data in one process, and calls
from several threads at once, prints tables of best times and ratios, checks the targets, and
writes a text report and a plot.

Usage: python bench/run.py [--huge] [--quick] [--output DIR]
"""
import argparse
import os
import sys
import time

import numpy as np

import contenders
import datasets
import peak_memory
import report
import scaling
import threads

# Row counts of a default run; --huge adds HUGE_ROWS for the headline series only.
DEFAULT_ROWS = [10**3, 10**4, 10**5, 10**6]
QUICK_ROWS = [10**3, 10**4]
HUGE_ROWS = 10**7
COLUMNS = [2, 3, 8]
DTYPES = [np.float32, np.float64]
# Best-of-k, the first, checked run included: small inputs are cheap and noisy, so they get
# more repeats.
REPEATS_SMALL, REPEATS_LARGE, LARGE_FROM_ROWS = 7, 3, 10**6
# A contender whose first run takes longer than this is not run on larger inputs of
# the same series, to keep a default run within minutes.
SLOW_SECONDS = 4.0
# Pairs of the rounding-boundary check.
STRADDLE_PAIRS = 50_000
# The configuration the targets are stated for.
HEADLINE = ("near", 3, np.float64)
# Rows that share their row sum, (kind, columns), each timed at the largest row count of the
# run next to near-duplicates of the same shape, its scattered twin.
SHARED_SUMS = [("dirichlet", 3), ("centred", 8), ("antidiagonal", 2)]


def parse_arguments():
    """Command-line options."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--huge", action="store_true", help=f"also run {HUGE_ROWS} rows (m=3, float64)")
    parser.add_argument("--quick", action="store_true", help="small sizes only, for a smoke test")
    parser.add_argument("--output", default=os.path.join(os.path.dirname(__file__), "results"))
    return parser.parse_args()


def series_list(quick, huge):
    """(data kind, columns, dtype, row counts) for every series the run covers."""
    rows = QUICK_ROWS if quick else DEFAULT_ROWS
    series = [("near", m, dtype, list(rows)) for m in COLUMNS for dtype in DTYPES]
    series.append(("soup", 3, np.float64, list(rows)))
    series += [(kind, m, np.float64, [rows[-1]]) for kind, m in SHARED_SUMS]
    if huge and not quick:
        series[[s[:3] for s in series].index(HEADLINE)][3].append(HUGE_ROWS)
    return series


def make_data(kind, n, m, dtype):
    """Rows and true labels of one benchmark input."""
    if kind == "soup":
        return datasets.triangle_soup(n, dtype)
    if kind == "near":
        return datasets.near_duplicates(n, m, dtype)
    return datasets.shared_sums(kind, n, dtype)


def applicable(contender, m, n, slow):
    """True when the contender runs on this input: 3-D-only peers need m = 3, slow ones stop."""
    return not (contender.only_3d and m != 3) and contender.name not in slow


def first_run(contender, rows, labels, tolerance):
    """Runs a contender once, timing it and checking its groups; returns (seconds, groups
    found, rows split from their true group), the last two None for floors."""
    start = time.perf_counter()
    inverse = contender.run(rows, tolerance)
    seconds = time.perf_counter() - start
    if inverse is None:
        return seconds, None, None
    inverse = np.asarray(inverse)
    return seconds, int(len(np.unique(inverse))), datasets.split_true_groups(labels, inverse)


def best_times(active, rows, tolerance, repeats):
    """Best-of-`repeats` seconds per contender, the contenders interleaved in every round so
    that background load hits all of them alike."""
    best = {contender.name: float("inf") for contender in active}
    for _ in range(repeats):
        for contender in active:
            start = time.perf_counter()
            contender.run(rows, tolerance)
            best[contender.name] = min(best[contender.name], time.perf_counter() - start)
    return best


def run_case(kind, n, m, dtype, all_contenders, slow):
    """Times every applicable contender on one input; returns {name: measurement dict}."""
    rows, labels = make_data(kind, n, m, dtype)
    tolerance = datasets.TOLERANCE[dtype]
    active = [c for c in all_contenders if applicable(c, m, n, slow)]
    results = {}
    for contender in active:
        seconds, groups, split = first_run(contender, rows, labels, tolerance)
        results[contender.name] = {"groups": groups, "split": split, "first": seconds}
        if seconds > SLOW_SECONDS:
            slow.add(contender.name)
    repeats = REPEATS_LARGE if n >= LARGE_FROM_ROWS else REPEATS_SMALL
    for name, seconds in best_times(active, rows, tolerance, repeats - 1).items():
        results[name]["best"] = min(seconds, results[name]["first"])
    return len(rows), len(np.unique(labels)), results


def run_series(series, all_contenders, out):
    """Runs every row count of every series; returns a list of case records."""
    cases = []
    for kind, m, dtype, row_counts in series:
        slow = set()
        for n in row_counts:
            n_rows, true_groups, results = run_case(kind, n, m, dtype, all_contenders, slow)
            case = {"kind": kind, "m": m, "dtype": np.dtype(dtype).name, "n": n_rows,
                    "true_groups": true_groups, "results": results}
            cases.append(case)
            out(report.case_table(case))
    return cases


def straddle_check(all_contenders):
    """Rows split from their true group, per contender, on pairs straddling rounding cells."""
    tolerance = datasets.TOLERANCE[np.float64]
    rows, labels = datasets.straddling_pairs(STRADDLE_PAIRS, 3, tolerance)
    failures = {}
    for contender in all_contenders:
        inverse = contender.run(rows, tolerance)
        if inverse is not None:
            failures[contender.name] = datasets.split_true_groups(labels, np.asarray(inverse))
    return failures


def memory_check(quick):
    """Peak extra memory of every rilo call and of the NumPy baselines on the headline input."""
    kind, m, dtype = HEADLINE
    n = QUICK_ROWS[-1] if quick else DEFAULT_ROWS[-1]
    measured = {}
    for contender in contenders.RILO + contenders.FLOORS + contenders.NUMPY[:1]:
        measured[contender.name] = peak_memory.measure(contender.name, n, m, np.dtype(dtype).name, kind)
    return n, measured


def main():
    """Runs the whole benchmark and writes its report and plot."""
    arguments = parse_arguments()
    os.makedirs(arguments.output, exist_ok=True)
    lines = []

    def out(text):
        print(text, flush=True)
        lines.append(text)

    started = time.perf_counter()
    out(report.environment_summary())
    all_contenders = contenders.available_contenders(out)
    cases = run_series(series_list(arguments.quick, arguments.huge), all_contenders, out)
    out(report.straddle_table(straddle_check(all_contenders), STRADDLE_PAIRS))
    out(report.memory_table(*memory_check(arguments.quick)))
    out(threads.report(arguments.quick))
    out(report.targets(cases, HEADLINE))
    out(report.shared_sum_table(cases))
    out(scaling.table(arguments.quick))
    plot_path = os.path.join(arguments.output, "time_vs_rows.png")
    report.plot(cases, plot_path)
    out(f"plot: {plot_path}\nwhole run: {time.perf_counter() - started:.0f} s")
    with open(os.path.join(arguments.output, "results.txt"), "w") as text:
        text.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    sys.exit(main())
