"""Calls from several threads at once, now that a call releases the GIL: a thread pool of two
against one thread over the same calls, for both methods, and rilo_dask on Dask's threaded
scheduler against its synchronous one. Part of `make bench`; also runs alone, for instance on
a free-threaded interpreter, where the peers of `make bench` may not install:

Usage: python bench/threads.py [--quick]
"""
import argparse
import concurrent.futures
import os
import sys
import sysconfig
import time

import numpy as np

import datasets
import rilo

# The workload the pool target is stated for: 16 calls of 10^6 rows (m = 3, float64, half of
# them near-duplicates), shared out by a pool of two threads on the 2-core machine.
CALLS, ROWS, POOL_THREADS = 16, 10**6, 2
QUICK_CALLS, QUICK_ROWS = 4, 10**4
# Pool throughput over one thread's must reach this.
POOL_TARGET = 1.6
# rilo_dask's input: rows in chunks, swept on Dask's threaded scheduler and its synchronous one.
DASK_ROWS, DASK_CHUNK_ROWS = 4 * 10**6, 5 * 10**5
QUICK_DASK_ROWS, QUICK_DASK_CHUNK_ROWS = 4 * 10**4, 10**4
# Best of this many rounds, the contenders interleaved in each.
ROUNDS, QUICK_ROUNDS = 3, 1
METHODS = {"sort": "sort", "sweep": "a"}


def interpreter_kind():
    """Whether this interpreter is free-threaded, and whether its GIL is on."""
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        return "regular interpreter (GIL)"
    enabled = sys._is_gil_enabled()  # present on free-threaded builds
    return f"free-threaded interpreter, GIL {'ENABLED' if enabled else 'disabled'}"


def best_of(rounds, contenders):
    """Best seconds of each named callable over `rounds` interleaved rounds."""
    best = dict.fromkeys(contenders, float("inf"))
    for _ in range(rounds):
        for name, run in contenders.items():
            started = time.perf_counter()
            run()
            best[name] = min(best[name], time.perf_counter() - started)
    return best


def run_on_one_cpu(run):
    """run(), with the calling thread, and so the helper threads of the calls it makes, confined
    to one of its CPUs: the pace of a call on one core, beside the pool's two calls at once."""
    cpus = os.sched_getaffinity(0)  # pid 0: this thread alone on Linux
    os.sched_setaffinity(0, {min(cpus)})
    try:
        return run()
    finally:
        os.sched_setaffinity(0, cpus)


def pool_lines(calls, rows, rounds, judged):
    """Lines comparing `calls` calls in one thread with the same calls on a pool of
    POOL_THREADS, per method and order, against the target when `judged`; also the same calls in
    one thread on one CPU, since a lone call of this size already uses every core while the
    pool's calls share them out. Checks that one thread and the pool give the same results."""
    inputs = [datasets.near_duplicates(rows, 3, np.float64, seed=seed)[0] for seed in range(calls)]
    tolerance = datasets.TOLERANCE[np.float64]
    lines = [f"{calls} calls of {rows:,} rows (m=3, float64): one thread against a pool of "
             f"{POOL_THREADS} threads (target >= {POOL_TARGET}x), best of {rounds}; also one thread whose "
             f"calls run on one core (one/1cpu), and the pool's gain over that"]
    with concurrent.futures.ThreadPoolExecutor(POOL_THREADS) as pool:
        for label, method in METHODS.items():
            for sorted_index in (False, True):
                def call(query, sorted_index=sorted_index, method=method):
                    return rilo.unique_rows(query, tolerance, sorted_index, method)
                same = all(np.array_equal(a, b) for one, other in zip(map(call, inputs), pool.map(call, inputs))
                           for a, b in zip(one, other))
                best = best_of(rounds, {"one": lambda: list(map(call, inputs)),
                                        "one/1cpu": lambda: run_on_one_cpu(lambda: list(map(call, inputs))),
                                        "pool": lambda: list(pool.map(call, inputs))})
                ratio = best["one"] / best["pool"]
                verdict = ("met" if ratio >= POOL_TARGET else "MISSED") if judged else "smoke run"
                lines.append(f"  {label:5} sorted_index={sorted_index!s:5}  one {best['one']:7.3f} s  "
                             f"pool {best['pool']:7.3f} s  {ratio:4.2f}x ({verdict})  "
                             f"one/1cpu {best['one/1cpu']:7.3f} s  pool gain over it "
                             f"{best['one/1cpu'] / best['pool']:4.2f}x  same results: {'yes' if same else 'NO'}")
    return lines


def dask_lines(rows, chunk_rows, rounds):
    """Lines comparing rilo_dask on Dask's threaded scheduler with its synchronous one, or why
    they are missing."""
    try:
        import dask
        import dask.array as da
        import rilo_dask
    except ImportError as error:
        return [f"rilo_dask on Dask's schedulers: skipped ({error})"]
    query = da.from_array(datasets.near_duplicates(rows, 3, np.float32)[0], chunks=(chunk_rows, 3))
    tolerance = datasets.TOLERANCE[np.float32]
    lines = [f"rilo_dask, {rows:,} rows (m=3, float32) in chunks of {chunk_rows:,}: Dask's threaded "
             f"scheduler ({POOL_THREADS} workers) against its synchronous one, best of {rounds}"]
    for sorted_index in (False, True):
        result = rilo_dask.unique_rows(query, tolerance, sorted_index, "a")

        def compute(scheduler, result=result):
            return dask.compute(*result, scheduler=scheduler, num_workers=POOL_THREADS)

        same = all(np.array_equal(a, b) for a, b in zip(compute("synchronous"), compute("threads")))
        best = best_of(rounds, {"sync": lambda: compute("synchronous"), "threads": lambda: compute("threads")})
        lines.append(f"  sorted_index={sorted_index!s:5}  synchronous {best['sync']:7.3f} s  threaded "
                     f"{best['threads']:7.3f} s  {best['sync'] / best['threads']:4.2f}x  "
                     f"same results: {'yes' if same else 'NO'}")
    return lines


def report(quick):
    """The section's lines, for `make bench` or a run alone."""
    rounds = QUICK_ROUNDS if quick else ROUNDS
    lines = [f"\n== calls from several threads, {interpreter_kind()}"]
    lines += pool_lines(QUICK_CALLS if quick else CALLS, QUICK_ROWS if quick else ROWS, rounds, not quick)
    lines += dask_lines(QUICK_DASK_ROWS if quick else DASK_ROWS,
                        QUICK_DASK_CHUNK_ROWS if quick else DASK_CHUNK_ROWS, rounds)
    return "\n".join(lines)


def main():
    """Prints the section."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke test")
    print(report(parser.parse_args().quick))


if __name__ == "__main__":
    sys.exit(main())
