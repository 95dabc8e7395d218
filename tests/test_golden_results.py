"""Results are the same bytes on every toolchain: hostile inputs, generated the same way on every
platform, go through both methods in both modes, and the hash of the three result arrays must
equal the one recorded in golden_results.json (recorded with the GCC 12 build). Large cases
run the sorts on several threads.

To record the hashes again after a deliberate change of results:
    python tests/test_golden_results.py --record
"""
import hashlib
import json
import pathlib
import sys

import numpy as np
import pytest

import rilo

GOLDEN_PATH = pathlib.Path(__file__).with_name("golden_results.json")
TOLERANCE = 1e-3


def chain(rng, rows, columns):
    """Values on a lattice just finer than the tolerance, so that ties chain without being
    transitive."""
    return rng.integers(0, rows // 4 + 2, size=(rows, columns)) * (TOLERANCE * 0.999)


def grid(rng, rows, columns):
    """A grid whose spacing is the tolerance itself, half of it or twice it: differences land on
    the tolerance exactly."""
    steps = rng.choice([0.5, 1.0, 2.0], size=(1, columns)) * TOLERANCE
    return rng.integers(0, 12, size=(rows, columns)) * steps


def duplicates(rng, rows, columns):
    """Few distinct rows, with NaN and infinities among the values."""
    palette = np.array([0.0, TOLERANCE * 0.6, TOLERANCE * 1.2, np.nan, np.inf, -np.inf, 1.0])
    return palette[rng.integers(0, len(palette), size=(rows, columns))]


def near_duplicates(rng, rows, columns):
    """Random points and copies of them moved by a hundredth of the tolerance."""
    points = rng.random((rows // 2, columns))
    copies = points + (rng.integers(-1, 2, size=points.shape) * (TOLERANCE / 100))
    both = np.concatenate([points, copies])
    return both[rng.permutation(len(both))]


SHAPES = {"chain": chain, "grid": grid, "duplicates": duplicates, "near_duplicates": near_duplicates}
# (rows, columns): short ones cover the small-range paths, the largest the threaded ones.
SIZES = [(40, 1), (1000, 2), (5000, 3), (120_000, 3), (120_000, 2), (70_000, 5)]
CASES = [
    (shape, rows, columns, dtype, sorted_index, method)
    for shape in SHAPES
    for rows, columns in SIZES
    for dtype in ("float64", "float32")
    for sorted_index in (False, True)
    for method in ("", "a")
]


def case_name(case):
    shape, rows, columns, dtype, sorted_index, method = case
    return f"{shape}-{rows}x{columns}-{dtype}-{'sorted' if sorted_index else 'unsorted'}-{method or 'sort'}"


def result_hash(case):
    """SHA-256 of the shapes and bytes of the three arrays unique_rows returns for `case`."""
    shape, rows, columns, dtype, sorted_index, method = case
    seed = [list(SHAPES).index(shape), rows, columns]
    data = SHAPES[shape](np.random.default_rng(seed), rows, columns).astype(dtype)
    digest = hashlib.sha256()
    for array in rilo.unique_rows(data, TOLERANCE, sorted_index, method):
        digest.update(repr(array.shape).encode())
        digest.update(np.ascontiguousarray(array).tobytes())
    return digest.hexdigest()


@pytest.fixture(scope="module")
def golden():
    return json.loads(GOLDEN_PATH.read_text())


@pytest.mark.parametrize("case", CASES, ids=case_name)
def test_result_bytes_equal_the_recorded_ones(case, golden):
    assert result_hash(case) == golden[case_name(case)]


if __name__ == "__main__" and sys.argv[1:] == ["--record"]:
    GOLDEN_PATH.write_text(json.dumps({case_name(case): result_hash(case) for case in CASES}, indent=1) + "\n")
