"""Deduplicate a point cloud too large for one rilo call with rilo_dask on a local cluster.

The cloud is written to a zarr array chunk by chunk: `points` distinct points, one on each
node of a jittered cubic lattice in the unit cube, each present `copies` times, every copy
moved by noise far below the tolerance. Row q of copy c is lattice point (a_c q + b_c) mod k
(copy 0 in lattice order), so the expected result of the sweep with `sorted_index=True` is
known exactly: k unique rows, representatives rows 0 .. k-1, and each row's inverse its point.

    python examples/dedup_point_cloud.py [--lattice G] [--copies C] [--dir DIR] ...

The default, 565^3 points times 4 copies of 3 float32 values, is 2.16e9 elements, above the
2**31 - 1 that one `rilo.unique_rows` call accepts. It prints the run time, the peak memory of
each worker and the checks; exit status 0 when every check passes, 1 otherwise.
"""
import argparse
import math
import os
import shutil
import sys
import tempfile
import time

import dask
import dask.array as da
import numpy as np
import zarr
from distributed import Client, LocalCluster, progress

import rilo_dask

COLUMNS = 3
# Nodes per axis and copies per point of the default run: 565^3 * 4 = 721,448,500 rows, the
# smallest round size whose 3 columns exceed the 2**31 - 1 elements of one rilo call.
DEFAULT_LATTICE = 565
DEFAULT_COPIES = 4
# Rows per zarr chunk and per Dask chunk (120 MB of float32 rows): 73 chunks at the default
# size, and as many partitions, each swept by one rilo call on two workers' memory.
DEFAULT_CHUNK_ROWS = 10_000_000
# Each point lies within a quarter of the lattice spacing of its node, so distinct points are
# at least half a spacing (8.8e-4 at 565 nodes) apart; copies lie within 2 * sqrt(3) * NOISE
# (plus float32 rounding, 6e-8) of each other. The tolerance sits between the two scales.
JITTER_PER_SPACING = 0.25
NOISE = 1e-7
TOLERANCE = 1e-4
# Two worker processes of one thread each, each with half the machine's memory. In
# `make bench-dask`'s trials (bench/results/dask.txt) one process of two threads comes within
# 10% of it, either way round; at this size two processes also halve what one worker must
# hold.
WORKERS = 2
THREADS_PER_WORKER = 1
# The dashboard on any free port: another cluster on this machine may hold the usual 8787.
DASHBOARD_ADDRESS = ":0"
# Multipliers of the copies' permutations of the points, taken modulo k; each must be
# coprime with k, which the run checks.
COPY_MULTIPLIERS = (1, 2_654_435_761, 2_246_822_519, 3_266_489_917, 668_265_263, 374_761_393)
KIB = 1024
# The `method` argument that selects the projection sweep: any string starting with "a".
SWEEP = "a"
# Points whose squared count fits int64, for the copies' permutations.
MAX_POINTS = 3_000_000_000


def splitmix64(values):
    """A well-mixed uint64 hash of each uint64 value (the splitmix64 finaliser); wraps mod 2**64."""
    z = values + np.uint64(0x9E3779B97F4A7C15)
    z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
    z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    return z ^ (z >> np.uint64(31))


def unit_uniform(values, salt):
    """A uniform number in [0, 1) for each uint64 value, a different stream for each salt."""
    with np.errstate(over="ignore"):
        mixed = splitmix64(values * np.uint64(COLUMNS + 1) + np.uint64(salt))
    return (mixed >> np.uint64(11)).astype(np.float64) / float(1 << 53)


def lattice_points(points, lattice):
    """The positions (float64) of the given point numbers: node (i, j, l) of a lattice of
    `lattice` nodes per axis, centred in its cell and jittered by a hash of the point number."""
    nodes = np.stack(np.unravel_index(points, (lattice,) * COLUMNS), axis=1).astype(np.float64)
    keys = points.astype(np.uint64)
    jitter = np.stack([unit_uniform(keys, column) for column in range(COLUMNS)], axis=1)
    return (nodes + 0.5 + (2 * jitter - 1) * JITTER_PER_SPACING) / lattice


def copy_permutation(copy, n_points):
    """(multiplier, offset) of copy `copy`'s permutation q -> (a q + b) mod k of the points."""
    multiplier = COPY_MULTIPLIERS[copy % len(COPY_MULTIPLIERS)] % n_points
    if math.gcd(multiplier, n_points) != 1:
        raise ValueError(f"copy {copy}'s multiplier shares a factor with {n_points} points")
    return multiplier, (copy * 7_919) % n_points if copy else 0


def point_of_rows(first_row, n_rows, n_points):
    """The lattice point of each row in [first_row, first_row + n_rows): row c k + q holds copy c
    of point (a_c q + b_c) mod k; a_c q < k**2 fits int64 for k below MAX_POINTS."""
    rows = np.arange(first_row, first_row + n_rows, dtype=np.int64)
    copies, positions = np.divmod(rows, n_points)
    points = np.empty(n_rows, np.int64)
    for copy in np.unique(copies):
        multiplier, offset = copy_permutation(int(copy), n_points)
        here = copies == copy
        points[here] = (positions[here] * multiplier + offset) % n_points
    return points


def chunk_rows(first_row, n_rows, lattice):
    """The float32 rows [first_row, first_row + n_rows) of the cloud: each row's point plus
    uniform noise of at most NOISE per coordinate, drawn with the chunk's first row as seed."""
    points = point_of_rows(first_row, n_rows, lattice**COLUMNS)
    noise = np.random.default_rng(first_row).uniform(-NOISE, NOISE, (n_rows, COLUMNS))
    return (lattice_points(points, lattice) + noise).astype(np.float32)


def write_chunk(path, first_row, n_rows, lattice):
    """Writes rows [first_row, first_row + n_rows) of the cloud into the zarr array at `path`."""
    zarr.open_array(path, mode="r+")[first_row:first_row + n_rows] = \
        chunk_rows(first_row, n_rows, lattice)
    return n_rows


def write_cloud(client, path, lattice, copies, chunk_rows_count):
    """Creates the zarr array at `path` and fills it chunk by chunk on the cluster's workers."""
    n_rows = lattice**COLUMNS * copies
    zarr.create_array(path, shape=(n_rows, COLUMNS), chunks=(chunk_rows_count, COLUMNS),
                      dtype=np.float32, compressors=None, overwrite=True)
    firsts = range(0, n_rows, chunk_rows_count)
    written = client.gather(client.map(
        write_chunk, [path] * len(firsts), firsts,
        [min(chunk_rows_count, n_rows - first) for first in firsts], [lattice] * len(firsts)))
    return sum(written)


def read_kib(pid, field):
    """One Vm* line of another process's /proc status, in KiB."""
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/{pid}/status")


class WorkerPeaks:
    """The peak resident memory of each worker process of a cluster on this machine, from the
    kernel's high-water mark (so no sample can miss a peak, even while a task holds the GIL)."""

    def __init__(self, client):
        """Finds the workers' process ids; assumes they run on this machine."""
        self.pids = client.run(os.getpid)

    def reset(self):
        """Sets each worker's high-water mark back to its present resident size."""
        for pid in self.pids.values():
            with open(f"/proc/{pid}/clear_refs", "w") as clear_refs:
                clear_refs.write("5")

    def read(self):
        """Each worker's peak resident bytes since the last reset, in the order of their names."""
        return [read_kib(self.pids[name], "VmHWM") * KIB for name in sorted(self.pids)]


# How often each worker samples the bytes it holds on disk.
SPILL_POLL_SECONDS = 0.05


def watch_spill(dask_worker):
    """Runs on a worker: starts a thread that keeps the most bytes its spill buffer has held on
    disk."""
    import threading

    watch = {"peak": 0}
    dask_worker.spill_watch = watch

    def poll():
        while True:
            watch["peak"] = max(watch["peak"], dask_worker.data.spilled_total.disk)
            time.sleep(SPILL_POLL_SECONDS)

    threading.Thread(target=poll, daemon=True, name="spill-watch").start()


def read_spill(dask_worker):
    """Runs on a worker: (the most bytes held on disk at once, all bytes written) since
    watch_spill."""
    return dask_worker.spill_watch["peak"], dask_worker.data.cumulative_metrics["disk-write", "bytes"]


class WorkerSpill:
    """The bytes each worker of a cluster spills to disk while its data exceeds the worker's
    memory target: the most held on disk at once (sampled every SPILL_POLL_SECONDS) and all
    written."""

    def __init__(self, client):
        """Starts the watch on every worker; counts start from what each has written so far."""
        self.client = client
        client.run(watch_spill)
        self.written_before = dict(client.run(read_spill))

    def read(self):
        """Each worker's (most bytes on disk at once, bytes written since the start), in the
        order of their names."""
        spills = self.client.run(read_spill)
        return [(spills[name][0], spills[name][1] - self.written_before[name][1]) for name in sorted(spills)]


# The variable by which Dask's workers make glibc hand every freed block of 128 KiB or more back
# to the system at once (Dask sets it in `distributed.nanny.pre-spawn-environ`): each new array
# then lands on fresh pages that the kernel clears on first touch. Without it glibc keeps and
# reuses freed blocks of up to 32 MiB.
TRIM_VARIABLE = "MALLOC_TRIM_THRESHOLD_"


def worker_environment(reuse_freed_memory):
    """How local_cluster(..., reuse_freed_memory) starts its workers, for reports."""
    return f"without {TRIM_VARIABLE}" if reuse_freed_memory else f"{TRIM_VARIABLE} as Dask sets it"


def local_cluster(folder, memory_limit="auto", workers=WORKERS, threads_per_worker=THREADS_PER_WORKER,
                  reuse_freed_memory=False):
    """A LocalCluster of `workers` processes of `threads_per_worker` threads that spill to
    `folder`; with `reuse_freed_memory`, its workers start without TRIM_VARIABLE. Dask's nannies
    write their variables into this process's environment, which later workers inherit, so the
    variable is also taken out of it."""
    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ"))
    if reuse_freed_memory:
        environ.pop(TRIM_VARIABLE, None)
        os.environ.pop(TRIM_VARIABLE, None)
    with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}):
        return LocalCluster(n_workers=workers, threads_per_worker=threads_per_worker,
                            memory_limit=memory_limit, local_directory=folder,
                            dashboard_address=DASHBOARD_ADDRESS)


def gib(n_bytes):
    """Bytes as GiB, two decimals."""
    return f"{n_bytes / 2**30:.2f} GiB"


def block_summary(unique, index, path):
    """For one block of the result: (rows, first index, last index, whether the indices count up
    by one, whether the unique rows equal the stored rows at their indices)."""
    if len(index) == 0:
        return 0, -1, -1, True, True
    stored = zarr.open_array(path, mode="r")[int(index.min()):int(index.max()) + 1]
    consecutive = bool(np.all(np.diff(index) == 1))
    same = np.array_equal(unique, stored[index - index.min()])
    return len(index), int(index[0]), int(index[-1]), consecutive, same


def inverse_mismatches(inverse, n_points, block_info=None):
    """How many rows of one inverse block are not numbered by their lattice point."""
    first_row = block_info[0]["array-location"][0][0]
    return np.array([np.count_nonzero(inverse != point_of_rows(first_row, len(inverse), n_points))])


def checks(unique, index, inverse, path, n_points):
    """The delayed checks of the result: the blocks' summaries, the inverse's range and its
    mismatches against the rows' lattice points."""
    # Unoptimized blocks: optimizing each result's graph alone would fuse the step they share
    # into each, and the cluster would then run it once per result, holding its inputs meanwhile.
    summaries = [dask.delayed(block_summary)(u, i, path)
                 for u, i in zip(unique.to_delayed(optimize_graph=False).ravel(),
                                 index.to_delayed(optimize_graph=False).ravel())]
    mismatches = inverse.map_blocks(inverse_mismatches, n_points, chunks=(1,), dtype=np.int64)
    return summaries, inverse.min(), inverse.max(), mismatches.sum()


def verdicts(summaries, low, high, mismatches, n_points):
    """(description, passed) of each check, from the computed checks."""
    lengths = [s[0] for s in summaries if s[0]]
    chained = [s for s in summaries if s[0]]
    counted_up = all(s[3] for s in chained) and all(
        later[1] == earlier[2] + 1 for earlier, later in zip(chained, chained[1:]))
    first_ok = bool(chained) and chained[0][1] == 0
    return [
        (f"unique rows: {sum(lengths):,} (expected {n_points:,})", sum(lengths) == n_points),
        ("representatives are rows 0 .. k-1 in order", counted_up and first_ok),
        ("unique rows equal the stored rows at their representatives", all(s[4] for s in chained)),
        (f"inverse within [0, k): min {low:,}, max {high:,}", low == 0 and high == n_points - 1),
        (f"rows whose inverse is not their lattice point: {mismatches:,}", mismatches == 0),
    ]


def parse_arguments(argv):
    """Command-line options."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lattice", type=int, default=DEFAULT_LATTICE,
                        help=f"nodes per axis: G^3 distinct points (default {DEFAULT_LATTICE})")
    parser.add_argument("--copies", type=int, default=DEFAULT_COPIES,
                        help=f"copies of each point (default {DEFAULT_COPIES})")
    parser.add_argument("--chunk-rows", type=int, default=DEFAULT_CHUNK_ROWS,
                        help=f"rows per zarr and Dask chunk (default {DEFAULT_CHUNK_ROWS:,})")
    parser.add_argument("--dir", default=None,
                        help="folder for the zarr array and the workers' spill (default: a "
                             "temporary folder, removed at the end)")
    parser.add_argument("--memory-limit", default="auto",
                        help="memory limit per worker, as distributed takes it (default: auto, "
                             "the machine's memory shared out)")
    arguments = parser.parse_args(argv)
    if arguments.lattice < 2 or arguments.copies < 1 or arguments.chunk_rows < 1:
        parser.error("--lattice must be at least 2, --copies and --chunk-rows at least 1")
    if arguments.lattice**COLUMNS >= MAX_POINTS:
        parser.error(f"--lattice must give fewer than {MAX_POINTS:,} points")
    return arguments


def deduplicate(client, path, chunk_rows_count, n_points):
    """Runs rilo_dask on the stored cloud and its checks in one compute on the cluster, with a
    progress bar; returns the computed checks and the seconds that building the task graph
    and the compute took."""
    started = time.perf_counter()
    query = da.from_zarr(path).rechunk((chunk_rows_count, COLUMNS))
    unique, index, inverse = rilo_dask.unique_rows(query, TOLERANCE, True, SWEEP)
    built = time.perf_counter()
    print(f"graph      built in {built - started:.1f} s ({query.numblocks[0]} chunks)", flush=True)
    futures = client.compute(list(checks(unique, index, inverse, path, n_points)))
    progress(futures)
    print(file=sys.stderr)
    computed = client.gather(futures)
    return computed, (built - started, time.perf_counter() - built)


def run(arguments, folder):
    """Writes the cloud under `folder`, deduplicates it and prints figures and checks; returns
    whether every check passed."""
    n_points = arguments.lattice**COLUMNS
    n_rows = n_points * arguments.copies
    path = os.path.join(folder, "cloud.zarr")
    with local_cluster(folder, arguments.memory_limit) as cluster, Client(cluster) as client:
        started = time.perf_counter()
        write_cloud(client, path, arguments.lattice, arguments.copies, arguments.chunk_rows)
        print(f"cloud      {n_rows:,} x {COLUMNS} float32 = {n_rows * COLUMNS:,} elements "
              f"({gib(n_rows * COLUMNS * 4)}), {n_points:,} distinct points x {arguments.copies}, "
              f"written in {time.perf_counter() - started:.0f} s")
        print(f"one call   {'would raise: above' if n_rows * COLUMNS > 2**31 - 1 else 'within'} "
              f"the 2**31 - 1 elements of one rilo.unique_rows call")
        print(f"cluster    {WORKERS} workers x {THREADS_PER_WORKER} thread, tolerance "
              f"{TOLERANCE}, noise {NOISE}, sorted_index=True", flush=True)
        peaks, spill = WorkerPeaks(client), WorkerSpill(client)
        peaks.reset()
        (summaries, low, high, mismatches), seconds = deduplicate(
            client, path, arguments.chunk_rows, n_points)
        print(f"run time   {sum(seconds):.1f} s: graph {seconds[0]:.1f} s, compute (rilo_dask "
              f"and the checks) {seconds[1]:.1f} s")
        print("peak RSS   " + ", ".join(f"worker {w}: {gib(b)}" for w, b in enumerate(peaks.read())))
        print("spilled    " + ", ".join(f"worker {w}: {held / 1e9:.2f} GB on disk at most, {written / 1e9:.2f} GB written"
                                        for w, (held, written) in enumerate(spill.read())))
    results = verdicts(summaries, int(low), int(high), int(mismatches), n_points)
    for description, passed in results:
        print(f"{'OK    ' if passed else 'FAILED'}     {description}")
    return all(passed for _, passed in results)


def main(argv=None):
    """Runs the example in the folder given or a temporary one; exit status 0 when all checks pass."""
    arguments = parse_arguments(argv)
    if arguments.dir:
        os.makedirs(arguments.dir, exist_ok=True)
        return 0 if run(arguments, arguments.dir) else 1
    folder = tempfile.mkdtemp(prefix="dedup_point_cloud-")
    try:
        return 0 if run(arguments, folder) else 1
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
