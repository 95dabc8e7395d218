"""Times rilo_dask on a LocalCluster against one rilo call and against Dask's own distributed
sort of the same rows, checks that rilo_dask gives that one call's result, and writes
bench/results/dask.txt. The cluster's layout (worker processes x threads, and whether workers
reuse freed memory) is the faster of LAYOUTS in a first, timed trial of rilo_dask, and the
report says which.

The rows are examples/dedup_point_cloud.py's jittered lattice, each point present twice (half
of the rows near-duplicates of the other half), stored as a zarr array on local disk.

Usage: python bench/dask_run.py [--quick] [--lattice G] [--chunk-rows N] [--dir DIR] [--output DIR]
"""
import argparse
import datetime
import importlib.metadata
import logging
import os
import platform
import shutil
import sys
import tempfile
import time

import dask
import dask.array as da
import dask.dataframe as dd
import numpy as np
import zarr
from distributed import Client, wait

import rilo
import rilo_dask

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
import dedup_point_cloud as cloud  # noqa: E402

# The scheduler logs every shuffle of the floor's set_index at WARNING level.
logging.getLogger("distributed.shuffle").setLevel(logging.ERROR)
# 216^3 points, each twice: 20,155,392 rows of 3 float32 (the smallest lattice reaching 2e7 rows).
DEFAULT_LATTICE = 216
QUICK_LATTICE = 60
COPIES = 2
# 1e6 rows (12 MB) per zarr and Dask chunk: 21 chunks, so both workers get several.
DEFAULT_CHUNK_ROWS = 1_000_000
QUICK_CHUNK_ROWS = 100_000
# Best of this many rounds; every round runs each contender once, interleaved, so that the
# other engineer's load on the two cores hits all of them alike.
ROUNDS = 3
# rilo_dask / Dask's sort must stay at or below this.
FLOOR_BOUND = 1.2
PACKAGES = ["numpy", "dask", "distributed", "pandas", "pyarrow", "zarr"]
# Worker layouts (processes, threads each, whether workers reuse freed memory) that use the
# machine's two cores: processes copy rows between them, threads share them but need calls that
# release the GIL. Workers reuse freed memory when started without Dask's setting that returns
# it to the system at once (cloud.TRIM_VARIABLE): fewer fresh pages, at some resident memory.
LAYOUTS = [(2, 1, False), (1, 2, False), (2, 1, True), (1, 2, True)]


def parse_arguments(description, default_lattice, quick_lattice, default_chunk_rows, quick_chunk_rows,
                    parser=None):
    """Command-line options of a Dask benchmark with these defaults, added to `parser` (default:
    a new one)."""
    parser = parser or argparse.ArgumentParser(description=description)
    parser.add_argument("--quick", action="store_true", help="a small lattice, for a smoke run")
    parser.add_argument("--lattice", type=int, help=f"nodes per axis (default {default_lattice})")
    parser.add_argument("--chunk-rows", type=int, help=f"rows per chunk (default {default_chunk_rows:,})")
    parser.add_argument("--dir", help="folder for the zarr array and the spill (default: a temporary one)")
    parser.add_argument("--output", default=os.path.join(os.path.dirname(__file__), "results"))
    arguments = parser.parse_args()
    arguments.lattice = arguments.lattice or (quick_lattice if arguments.quick else default_lattice)
    arguments.chunk_rows = arguments.chunk_rows or (
        quick_chunk_rows if arguments.quick else default_chunk_rows)
    return arguments


def machine_facts():
    """Lines saying when, where and against which versions the run was made."""
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    with open("/proc/meminfo") as meminfo:
        total_kib = int(meminfo.readline().split()[1])
    with open("/proc/cpuinfo") as cpuinfo:
        cpu = next((line.split(":", 1)[1].strip() for line in cpuinfo
                    if line.startswith("model name")), platform.processor())
    load = ", ".join(f"{value:.1f}" for value in os.getloadavg())
    versions = ", ".join(f"{name} {importlib.metadata.version(name)}" for name in PACKAGES)
    return (f"rilo_dask benchmark, {when}\nPython {platform.python_version()} on {cpu} "
            f"({os.cpu_count()} cores, {total_kib / 2**20:.1f} GiB, load average at start {load})\n"
            f"rilo {rilo.__version__}, {versions}")


def rilo_dask_run(path, chunk_rows, sorted_index):
    """A timed contender: rilo_dask on the zarr array, persisted on the cluster; returns the
    persisted (unique, index, inverse) and the seconds spent building its task graph."""
    started = time.perf_counter()
    query = da.from_zarr(path).rechunk((chunk_rows, cloud.COLUMNS))
    result = rilo_dask.unique_rows(query, cloud.TOLERANCE, sorted_index, cloud.SWEEP)
    built = time.perf_counter() - started
    persisted = dask.persist(*result)
    wait(persisted)
    return persisted, built


def dask_sort_run(path, chunk_rows):
    """A timed contender, the floor: a dataframe of the zarr rows with their row sum, indexed
    by that sum (Dask's distributed sort), persisted on the cluster."""
    rows = da.from_zarr(path).rechunk((chunk_rows, cloud.COLUMNS))
    frame = dd.from_dask_array(rows, columns=["x", "y", "z"])
    frame["row_sum"] = frame["x"] + frame["y"] + frame["z"]
    persisted = frame.set_index("row_sum").persist()
    wait(persisted)
    return persisted


def threaded_run(path, chunk_rows, sorted_index):
    """A timed contender without the cluster: rilo_dask computed on Dask's default scheduler
    for arrays, a thread pool in this process (one thread per core)."""
    query = da.from_zarr(path).rechunk((chunk_rows, cloud.COLUMNS))
    return dask.compute(*rilo_dask.unique_rows(query, cloud.TOLERANCE, sorted_index, cloud.SWEEP),
                        scheduler="threads")


def timed_on_cluster(peaks, run):
    """Runs `run()` with the workers' high-water marks reset; returns (seconds, each worker's
    peak bytes, what `run` returned)."""
    peaks.reset()
    started = time.perf_counter()
    result = run()
    seconds = time.perf_counter() - started
    return seconds, peaks.read(), result


def one_call(rows, sorted_index):
    """rilo.unique_rows on all rows at once in this process, timed alone; returns (seconds,
    result)."""
    started = time.perf_counter()
    result = rilo.unique_rows(rows, cloud.TOLERANCE, sorted_index, cloud.SWEEP)
    return time.perf_counter() - started, result


def same_result(persisted, expected):
    """Whether rilo_dask's computed result equals one call's, indices widened to int64, and its
    index arrays are int64."""
    unique, index, inverse = dask.compute(*persisted)
    return (index.dtype == np.int64 and inverse.dtype == np.int64
            and np.array_equal(unique, expected[0])
            and np.array_equal(index, expected[1].astype(np.int64))
            and np.array_equal(inverse, expected[2].astype(np.int64)))


def record(best, name, seconds, worker_peaks=None):
    """Keeps the best time and the highest peak per worker of a contender."""
    entry = best.setdefault(name, {"seconds": float("inf"), "peaks": None})
    entry["seconds"] = min(entry["seconds"], seconds)
    if worker_peaks is not None:
        entry["peaks"] = worker_peaks if entry["peaks"] is None else [
            max(old, new) for old, new in zip(entry["peaks"], worker_peaks)]


def layout_name(layout):
    """A layout as "P processes x T threads, <how freed memory goes>"."""
    processes, threads, reuse_freed_memory = layout
    return (f"{processes} worker process{'es' if processes > 1 else ''} x {threads} "
            f"thread{'s' if threads > 1 else ''}, {cloud.worker_environment(reuse_freed_memory)}")


def layout_cluster(folder, layout):
    """A LocalCluster of `layout` that spills to `folder`."""
    processes, threads, reuse_freed_memory = layout
    return cloud.local_cluster(folder, workers=processes, threads_per_worker=threads,
                               reuse_freed_memory=reuse_freed_memory)


def trial_seconds(client, path, chunk_rows):
    """Seconds rilo_dask takes on the cluster of `client`, both orders once after a run that
    warms the workers up (imports, first allocations), and seconds the floor takes, once;
    results released."""
    rilo_dask_run(path, chunk_rows, False)
    started = time.perf_counter()
    for sorted_index in (False, True):
        persisted, _ = rilo_dask_run(path, chunk_rows, sorted_index)
        del persisted
    rilo_seconds = time.perf_counter() - started
    started = time.perf_counter()
    dask_sort_run(path, chunk_rows)
    return rilo_seconds, time.perf_counter() - started


def pick_layout(folder, path, arguments):
    """Writes the rows on a cluster of the first layout, times a trial of rilo_dask on each of
    LAYOUTS, and returns (the faster layout, the report's line on the trial, rows written)."""
    trials = {}
    n_rows = None
    for layout in LAYOUTS:
        with layout_cluster(folder, layout) as cluster, Client(cluster) as client:
            if n_rows is None:
                n_rows = cloud.write_cloud(client, path, arguments.lattice, COPIES, arguments.chunk_rows)
            trials[layout] = trial_seconds(client, path, arguments.chunk_rows)
    faster = min(trials, key=lambda layout: trials[layout][0])
    line = ("layout: " + "; ".join(f"{layout_name(layout)} {seconds:.2f} s" for layout, (seconds, _) in trials.items())
            + f" in a trial of rilo_dask (both orders once, after a warm-up run); the rounds run on "
            f"the faster, {layout_name(faster)}\nthe floor once in the same trial: "
            + "; ".join(f"{layout_name(layout)} {floor:.2f} s" for layout, (_, floor) in trials.items())
            + " (the rounds compare with the floor on the same layout)")
    return faster, line, n_rows


def rounds(client, path, chunk_rows, rows):
    """ROUNDS interleaved rounds of every contender; returns ({name: best}, {sorted_index:
    equal to one call}), the equality checked in the first round."""
    peaks = cloud.WorkerPeaks(client)
    best, equal = {}, {}
    for round_number in range(ROUNDS):
        for sorted_index in (False, True):
            seconds, expected = one_call(rows, sorted_index)
            record(best, f"one rilo call, sorted_index={sorted_index}", seconds)
            seconds, worker_peaks, (persisted, built) = timed_on_cluster(
                peaks, lambda: rilo_dask_run(path, chunk_rows, sorted_index))
            record(best, f"rilo_dask, sorted_index={sorted_index}", seconds, worker_peaks)
            record(best, f"rilo_dask, sorted_index={sorted_index}: graph", built)
            record(best, f"rilo_dask, sorted_index={sorted_index}: compute", seconds - built)
            if round_number == 0:
                equal[sorted_index] = same_result(persisted, expected)
            started = time.perf_counter()
            threaded = threaded_run(path, chunk_rows, sorted_index)
            record(best, f"rilo_dask, sorted_index={sorted_index}: threaded scheduler",
                   time.perf_counter() - started)
            if round_number == 0:
                equal[sorted_index] &= same_result(threaded, expected)
            del persisted, expected, threaded
        seconds, worker_peaks, persisted = timed_on_cluster(
            peaks, lambda: dask_sort_run(path, chunk_rows))
        record(best, "floor: Dask set_index on row sum", seconds, worker_peaks)
        del persisted
        print(f"round {round_number + 1} of {ROUNDS} done", file=sys.stderr, flush=True)
    return best, equal


def table(best, equal):
    """The report's lines: best times, ratios, peaks per worker and the checks."""
    floor = best["floor: Dask set_index on row sum"]["seconds"]
    lines = [f"{'contender':38} {'best s':>8} {'/floor':>8}   peak RSS per worker"]
    for name, entry in best.items():
        peaks = "" if entry["peaks"] is None else ", ".join(cloud.gib(p) for p in entry["peaks"])
        lines.append(f"{name:38} {entry['seconds']:8.2f} {entry['seconds'] / floor:8.2f}   {peaks}")
    lines.append("")
    for sorted_index in (False, True):
        name = f"rilo_dask, sorted_index={sorted_index}"
        spread, compute = best[name]["seconds"], best[name + ": compute"]["seconds"]
        call = best[f"one rilo call, sorted_index={sorted_index}"]["seconds"]
        verdict = "met" if spread / floor <= FLOOR_BOUND else "MISSED"
        lines.append(f"sorted_index={sorted_index}: rilo_dask / floor {spread / floor:.2f} "
                     f"(target <= {FLOOR_BOUND}: {verdict}; compute alone {compute / floor:.2f}), "
                     f"rilo_dask / one call {spread / call:.2f} (compute alone {compute / call:.2f}), "
                     f"equal to one call: {'yes' if equal[sorted_index] else 'NO'}")
    return lines


def write_report(lines, table_lines, output, name, equal):
    """Prints `table_lines`, writes `lines` and them to `name` in the folder `output`, and
    returns the exit status: 0 when every result checked equalled one call's."""
    print("\n".join(table_lines))
    os.makedirs(output, exist_ok=True)
    with open(os.path.join(output, name), "w") as text:
        text.write("\n".join(lines + table_lines) + "\n")
    return 0 if all(equal.values()) else 1


def main():
    """Writes the rows, runs the rounds on a fresh cluster and writes the report."""
    arguments = parse_arguments(__doc__.splitlines()[0], DEFAULT_LATTICE, QUICK_LATTICE,
                                DEFAULT_CHUNK_ROWS, QUICK_CHUNK_ROWS)
    folder = arguments.dir or tempfile.mkdtemp(prefix="rilo-dask-bench-")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "rows.zarr")
    lines = [machine_facts()]
    try:
        layout, layout_line, n_rows = pick_layout(folder, path, arguments)
        with layout_cluster(folder, layout) as cluster, Client(cluster) as client:
            lines.append(
                f"rows: {n_rows:,} x {cloud.COLUMNS} float32 in zarr ({arguments.chunk_rows:,} rows "
                f"per chunk), {arguments.lattice}^3 jittered-lattice points each {COPIES} times, "
                f"noise {cloud.NOISE}, tolerance {cloud.TOLERANCE}\n"
                f"cluster: LocalCluster, {layout_name(layout)}; rilo_dask and the "
                f"floor persisted on it and waited for; one call in the client process on rows "
                f"loaded first\ntimes: best of {ROUNDS} interleaved rounds (rilo_dask: building its task graph and the compute, "
                f"also given apart); peak RSS: each worker's "
                f"high-water mark, highest over the rounds")
            lines.append(layout_line)
            print("\n".join(lines), flush=True)
            rows = zarr.open_array(path, mode="r")[:]
            best, equal = rounds(client, path, arguments.chunk_rows, rows)
    finally:
        if not arguments.dir:
            shutil.rmtree(folder, ignore_errors=True)
    return write_report(lines, table(best, equal), arguments.output, "dask.txt", equal)


if __name__ == "__main__":
    sys.exit(main())
