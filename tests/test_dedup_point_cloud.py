"""The point-cloud example: its cloud has the distinct points it claims, one rilo call finds the
result it expects, its checks catch wrong results, and a small run on a cluster passes.

The example reads zarr, which only the benchmark venv holds (`make bench-dask` installs it):
run these with `.venv-bench/bin/python -m pytest tests/test_dedup_point_cloud.py`."""
import importlib.util
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import rilo

pytest.importorskip("zarr")
pytest.importorskip("distributed")

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "dedup_point_cloud.py"


def load_example():
    """The example script imported as a module."""
    example_spec = importlib.util.spec_from_file_location("dedup_point_cloud", EXAMPLE)
    module = importlib.util.module_from_spec(example_spec)
    example_spec.loader.exec_module(module)
    return module


cloud = load_example()


@pytest.mark.parametrize("lattice, copies", [(5, 1), (9, 3), (16, 4)])
def test_cloud_holds_each_point_copies_times_and_one_call_finds_them(lattice, copies):
    n_points = lattice**cloud.COLUMNS
    n_rows = n_points * copies
    cut = n_rows // 3
    rows = np.concatenate([cloud.chunk_rows(0, cut, lattice),
                           cloud.chunk_rows(cut, n_rows - cut, lattice)])
    points = np.concatenate([cloud.point_of_rows(0, cut, n_points),
                             cloud.point_of_rows(cut, n_rows - cut, n_points)])
    assert np.array_equal(np.bincount(points, minlength=n_points), np.full(n_points, copies))
    unique, index, inverse = rilo.unique_rows(rows, cloud.TOLERANCE, True, cloud.SWEEP)
    assert np.array_equal(index, np.arange(n_points))
    assert np.array_equal(unique, rows[:n_points])
    assert np.array_equal(inverse, points)


@pytest.mark.parametrize("lattice", [3, 40])
def test_points_keep_apart_and_copies_stay_together(lattice):
    n_points = lattice**cloud.COLUMNS
    positions = cloud.lattice_points(np.arange(n_points), lattice)
    nodes = np.stack(np.unravel_index(np.arange(n_points), (lattice,) * 3), axis=1)
    offsets = positions * lattice - (nodes + 0.5)
    assert np.abs(offsets).max() <= cloud.JITTER_PER_SPACING
    # Neighbouring cells are at least half a spacing apart: far beyond the tolerance.
    assert (1 - 2 * cloud.JITTER_PER_SPACING) / lattice > 4 * cloud.TOLERANCE
    rows = cloud.chunk_rows(0, 2 * n_points, lattice)
    copies_apart = np.linalg.norm(rows[:n_points].astype(np.float64)
                                  - rows[n_points:][np.argsort(cloud.point_of_rows(
                                      n_points, n_points, n_points))], axis=1)
    assert copies_apart.max() < cloud.TOLERANCE / 10


def correct_result(tmp_path, lattice, copies, chunk_rows_count):
    """A small stored cloud and one rilo call's result on it: (path, unique, index, inverse)."""
    import zarr

    n_rows = lattice**cloud.COLUMNS * copies
    rows = cloud.chunk_rows(0, n_rows, lattice)
    path = str(tmp_path / "cloud.zarr")
    zarr.create_array(path, shape=rows.shape, chunks=(chunk_rows_count, 3), dtype=np.float32)
    zarr.open_array(path, mode="r+")[:] = rows
    unique, index, inverse = rilo.unique_rows(rows, cloud.TOLERANCE, True, cloud.SWEEP)
    return path, unique, index.astype(np.int64), inverse.astype(np.int64)


def drop_last(unique, index, inverse):
    """One unique row and its representative fewer."""
    return unique[:-1], index[:-1], inverse


def swap_representatives(unique, index, inverse):
    """Two representatives listed in each other's place."""
    index = index.copy()
    index[[3, 4]] = index[[4, 3]]
    return unique, index, inverse


def move_a_unique_row(unique, index, inverse):
    """One unique row one float32 step away from the stored row."""
    unique = unique.copy()
    unique[7, 1] = np.nextafter(unique[7, 1], np.float32(2))
    return unique, index, inverse


def renumber_one_row(unique, index, inverse):
    """One row's inverse pointing at another group."""
    inverse = inverse.copy()
    inverse[-5] = (inverse[-5] + 1) % len(unique)
    return unique, index, inverse


def point_past_the_end(unique, index, inverse):
    """One row's inverse pointing past the last group."""
    inverse = inverse.copy()
    inverse[0] = len(unique)
    return unique, index, inverse


@pytest.mark.parametrize("corrupt, failing", [
    (None, set()),
    (drop_last, {0}),
    (swap_representatives, {1, 2}),
    (move_a_unique_row, {2}),
    (renumber_one_row, {4}),
    (point_past_the_end, {3, 4}),
])
def test_checks_catch_a_wrong_result(tmp_path, corrupt, failing):
    lattice, copies, chunk = 6, 3, 100
    path, *result = correct_result(tmp_path, lattice, copies, chunk)
    unique, index, inverse = corrupt(*result) if corrupt else result
    n_points = lattice**cloud.COLUMNS
    cuts = [50, 51, 130]
    summaries = [cloud.block_summary(u, i, path)
                 for u, i in zip(np.split(unique, cuts), np.split(index, cuts))]
    mismatches = sum(int(cloud.inverse_mismatches(
        inverse[first:first + chunk], n_points,
        block_info={0: {"array-location": [(first, first + chunk)]}})[0])
        for first in range(0, len(inverse), chunk))
    results = cloud.verdicts(summaries, int(inverse.min()), int(inverse.max()), mismatches, n_points)
    assert {k for k, (_, passed) in enumerate(results) if not passed} == failing


def test_checks_run_each_step_of_rilo_dask_once(tmp_path, monkeypatch):
    """The checks read all three results: a step they share must not be fused into each one's
    graph and run again for each."""
    import dask
    import dask.array as da

    import rilo_dask
    from rilo_dask import _numbering

    lattice, copies, chunk = 6, 3, 100
    path, unique, index, inverse = correct_result(tmp_path, lattice, copies, chunk)
    calls = []
    receive = _numbering.receive
    monkeypatch.setattr(_numbering, "receive", lambda *args: calls.append(1) or receive(*args))
    query = da.from_zarr(path)
    result = rilo_dask.unique_rows(query, cloud.TOLERANCE, True, cloud.SWEEP)
    summaries, low, high, mismatches = dask.compute(
        *cloud.checks(*result, path, lattice**cloud.COLUMNS), scheduler="sync")
    assert len(calls) == query.numblocks[0]
    assert all(passed for _, passed in cloud.verdicts(
        summaries, int(low), int(high), int(mismatches), lattice**cloud.COLUMNS))


def test_small_run_on_a_cluster_passes_every_check(tmp_path):
    finished = subprocess.run(
        [sys.executable, str(EXAMPLE), "--lattice", "12", "--copies", "3", "--chunk-rows", "1000",
         "--dir", str(tmp_path)], capture_output=True, text=True, timeout=300)
    assert finished.returncode == 0, finished.stdout + finished.stderr
    assert "5,184 x 3 float32" in finished.stdout
    assert "unique rows: 1,728 (expected 1,728)" in finished.stdout
    assert finished.stdout.count("\nOK ") == 5
    assert "peak RSS   worker 0: " in finished.stdout and "run time   " in finished.stdout


def test_workers_that_reuse_freed_memory_start_without_the_trim_variable(tmp_path):
    # A cluster of Dask's settings first: its nanny leaves the variable in this process's
    # environment, where a later cluster's workers would inherit it.
    import dask
    from distributed import Client

    dask_setting = str(dask.config.get("distributed.nanny.pre-spawn-environ")[cloud.TRIM_VARIABLE])
    seen = []
    for reuse in (False, True, False):
        with cloud.local_cluster(str(tmp_path), workers=1, threads_per_worker=1,
                                 reuse_freed_memory=reuse) as cluster, Client(cluster) as client:
            seen.append(set(client.run(lambda name: os.environ.get(name), cloud.TRIM_VARIABLE).values()))
    assert seen == [{dask_setting}, {None}, {dask_setting}]
