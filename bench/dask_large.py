"""rilo_dask at the size it exists for: about 10^8 rows of 3 float32 in zarr on a LocalCluster
of two worker processes of one thread with 4 GiB each, against Dask's own distributed sort of
the same rows. Reports, per contender, the best time, each worker's peak resident memory and
the bytes the workers spilled to disk (the most held at once, and all written), checks the
ratios against their targets and that rilo_dask gives one call's result, and writes
bench/results/dask-large.txt.

Usage: python bench/dask_large.py [--quick] [--reuse-freed-memory] [--lattice G] [--chunk-rows N] [--dir DIR] [--output DIR]
"""
import argparse
import os
import shutil
import sys
import tempfile

import zarr
from distributed import Client

import dask_run

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
import dedup_point_cloud as cloud  # noqa: E402

# 368^3 points, each twice: 99,672,064 rows of 3 float32 (1.2 GB), 5e6 rows per chunk.
DEFAULT_LATTICE = 368
QUICK_LATTICE = 60
DEFAULT_CHUNK_ROWS = 5_000_000
QUICK_CHUNK_ROWS = 50_000
WORKERS = 2
MEMORY_LIMIT = "4GiB"
# Best of this many rounds, each running every contender once, interleaved.
ROUNDS = 2
# Targets against the floor: peak resident memory per worker, and wall time.
PEAK_BOUND = 1.15
TIME_BOUND = 1.0
SPILL_BOUND_BYTES = 0.5e9
FLOOR = "floor: Dask set_index on row sum"


class Measured:
    """Each contender's best time, and the highest peak RSS per worker and spill over rounds."""

    def __init__(self):
        self.entries = {}

    def record(self, name, seconds, peaks, spills):
        """Keeps the best time and the highest peaks of a contender."""
        entry = self.entries.setdefault(name, {"seconds": float("inf"), "peaks": peaks,
                                               "spill held": 0, "spill written": 0})
        entry["seconds"] = min(entry["seconds"], seconds)
        entry["peaks"] = [max(old, new) for old, new in zip(entry["peaks"], peaks)]
        entry["spill held"] = max(entry["spill held"], sum(held for held, _ in spills))
        entry["spill written"] = max(entry["spill written"], sum(written for _, written in spills))


def large_cluster(folder, reuse_freed_memory):
    """The case's LocalCluster: WORKERS processes of one thread with MEMORY_LIMIT each, spilling
    to `folder`, their workers reusing freed memory or not."""
    return cloud.local_cluster(folder, memory_limit=MEMORY_LIMIT, workers=WORKERS, threads_per_worker=1,
                               reuse_freed_memory=reuse_freed_memory)


def run_rounds(folder, path, chunk_rows, rows, reuse_freed_memory):
    """ROUNDS interleaved rounds of rilo_dask in both orders and of the floor, each run on a
    fresh large_cluster; returns the Measured and, per order, whether the first round's result
    equals one call's."""
    measured, equal = Measured(), {}

    def timed(name, run, expected=None):
        # A fresh cluster for every run: memory that one run leaves in a worker's heap would
        # otherwise count towards the next one's peak. (Restarting the workers of one cluster
        # instead hangs now and then: distributed's restart waits for ever for workers that it
        # restarts soon after a client.run.) Returns whether the result equals `expected`.
        with large_cluster(folder, reuse_freed_memory) as cluster, Client(cluster) as client:
            peaks, spill = cloud.WorkerPeaks(client), cloud.WorkerSpill(client)
            seconds, worker_peaks, result = dask_run.timed_on_cluster(peaks, run)
            spills = spill.read()
            same = None if expected is None else dask_run.same_result(result[0], expected)
            del result
        measured.record(name, seconds, worker_peaks, spills)
        print(f"{name}: {seconds:.1f} s, peak RSS {', '.join(cloud.gib(p) for p in worker_peaks)}, "
              f"spilled {', '.join(f'{held / 1e9:.2f} GB held / {written / 1e9:.2f} GB written' for held, written in spills)}",
              file=sys.stderr, flush=True)
        return same

    for round_number in range(ROUNDS):
        for sorted_index in (False, True):
            expected = dask_run.one_call(rows, sorted_index)[1] if round_number == 0 else None
            same = timed(f"rilo_dask, sorted_index={sorted_index}",
                         lambda: dask_run.rilo_dask_run(path, chunk_rows, sorted_index), expected)
            if round_number == 0:
                equal[sorted_index] = same
            del expected
        timed(FLOOR, lambda: dask_run.dask_sort_run(path, chunk_rows))
    return measured, equal


def verdict(value, bound):
    """The ratio against its bound, and whether it is met."""
    return f"{value:.2f} (target <= {bound}: {'met' if value <= bound else 'MISSED'})"


def table(measured, equal):
    """The report's lines: per contender its time, peaks and spill; then the ratios."""
    floor = measured.entries[FLOOR]
    lines = [f"{'contender':34} {'best s':>7} {'/floor':>7}   {'peak RSS per worker':22} spilled: most held, all written"]
    for name, entry in measured.entries.items():
        lines.append(f"{name:34} {entry['seconds']:7.1f} {entry['seconds'] / floor['seconds']:7.2f}   "
                     f"{', '.join(cloud.gib(p) for p in entry['peaks']):22} "
                     f"{entry['spill held'] / 1e9:.2f} GB, {entry['spill written'] / 1e9:.2f} GB")
    lines.append("")
    for sorted_index in (False, True):
        entry = measured.entries[f"rilo_dask, sorted_index={sorted_index}"]
        lines.append(
            f"sorted_index={sorted_index}: time / floor {verdict(entry['seconds'] / floor['seconds'], TIME_BOUND)}, "
            f"peak RSS / floor's {verdict(max(entry['peaks']) / max(floor['peaks']), PEAK_BOUND)}, "
            f"spilled {entry['spill held'] / 1e9:.2f} GB held "
            f"({'met' if entry['spill held'] <= SPILL_BOUND_BYTES else 'MISSED'}: target <= {SPILL_BOUND_BYTES / 1e9} GB), "
            f"equal to one call: {'yes' if equal[sorted_index] else 'NO'}")
    return lines


def main():
    """Writes the rows, runs the rounds on a fresh cluster and writes the report."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reuse-freed-memory", action="store_true",
                        help=f"start the workers without {cloud.TRIM_VARIABLE} (default: Dask's own environment)")
    arguments = dask_run.parse_arguments(__doc__.splitlines()[0], DEFAULT_LATTICE, QUICK_LATTICE,
                                         DEFAULT_CHUNK_ROWS, QUICK_CHUNK_ROWS, parser)
    reuse = arguments.reuse_freed_memory
    folder = arguments.dir or tempfile.mkdtemp(prefix="rilo-dask-large-")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "rows.zarr")
    lines = [dask_run.machine_facts()]
    try:
        with large_cluster(folder, reuse) as cluster, Client(cluster) as client:
            n_rows = cloud.write_cloud(client, path, arguments.lattice, dask_run.COPIES, arguments.chunk_rows)
        lines.append(
            f"rows: {n_rows:,} x {cloud.COLUMNS} float32 in zarr ({arguments.chunk_rows:,} rows per "
            f"chunk), {arguments.lattice}^3 jittered-lattice points each {dask_run.COPIES} times, "
            f"noise {cloud.NOISE}, tolerance {cloud.TOLERANCE}\n"
            f"cluster: LocalCluster, {WORKERS} worker processes x 1 thread, memory_limit {MEMORY_LIMIT} "
            f"each, {cloud.worker_environment(reuse)}; results persisted and waited for\ntimes: best of {ROUNDS} interleaved rounds, each run on a fresh "
            f"cluster; peak RSS: each worker's high-water mark; spilled: the most bytes on disk at once "
            f"(summed over workers, sampled every {cloud.SPILL_POLL_SECONDS} s) and all bytes written, "
            f"highest over the rounds; equality: one rilo call in the client process")
        print("\n".join(lines), flush=True)
        rows = zarr.open_array(path, mode="r")[:]
        measured, equal = run_rounds(folder, path, arguments.chunk_rows, rows, reuse)
        del rows
    finally:
        if not arguments.dir:
            shutil.rmtree(folder, ignore_errors=True)
    return dask_run.write_report(lines, table(measured, equal), arguments.output, "dask-large.txt", equal)


if __name__ == "__main__":
    sys.exit(main())
