"""Many calls, successful and failing on every error path, leave the reference counts of their
arguments and the process's resident memory flat."""
import gc
import os
import sys

import numpy as np
import pytest

import rilo

CALLS = 3000
# Each successful call below creates results of several kilobytes, so leaking even one of them
# per call would add more than 10 MiB over CALLS calls; allocator noise stays well below this.
RSS_GROWTH_LIMIT = 4 * 1024 * 1024
# AddressSanitizer keeps freed memory in quarantine, so resident memory says nothing there.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "") or "asan_with_fuzzer" in os.environ.get("LD_PRELOAD", "")

ROWS = np.random.default_rng(5).normal(size=(300, 3))
ROWS[::7] = ROWS[1::7] + 1e-3
ROWS[::11, 1] = np.nan
# A failed argument conversion puts the repr of every argument into its message; a small array
# keeps that cheap.
FEW_ROWS = ROWS[:4].copy()


def resident_bytes():
    """The process's resident set size, from /proc."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def call(query, tolerance, sorted_index, method):
    """Calls unique_rows and returns its result, or the exception it raised."""
    try:
        return rilo.unique_rows(query, tolerance, sorted_index, method)
    except Exception as error:  # every failure of the error table is exercised on purpose
        return error


# (arguments, expected exception type or None for success)
CASES = {
    "sort float64": ((ROWS, 0.01, False, ""), None),
    "sort float64 sorted": ((ROWS, 0.01, True, "sort"), None),
    "sort float32 sorted": ((ROWS.astype(np.float32), 0.01, True, ""), None),
    "sweep float64": ((ROWS, 0.01, False, "a"), None),
    "sweep float32 sorted": ((ROWS.astype(np.float32), 0.01, True, "A"), None),
    "converted view": ((ROWS.T.copy().T[::-1], 0.01, True, b"a"), None),
    "byte-swapped": ((ROWS.astype(">f8"), 0.01, False, ""), None),
    "list query": (([[1.0, 2.0]], 0.1, True, ""), TypeError),
    "str tolerance": ((FEW_ROWS, "0.1", True, ""), TypeError),
    "None method": ((FEW_ROWS, 0.1, True, None), TypeError),
    "str sorted_index": ((FEW_ROWS, 0.1, "yes", ""), TypeError),
    "int elements": ((np.arange(12).reshape(4, 3), 0.1, True, "a"), RuntimeError),
    "sort 1-D": ((ROWS[:, 0].copy(), 0.1, True, ""), RuntimeError),
    "sort 3-D": ((ROWS.reshape(100, 3, 3), 0.1, False, ""), RuntimeError),
    "sweep 3-D": ((ROWS.reshape(100, 3, 3), 0.1, False, "a"), RuntimeError),
    "sweep 1-D": ((ROWS[:, 0].copy(), 0.1, True, "a"), IndexError),
    "sweep 0-D": ((np.array(1.0), 0.1, True, "a"), IndexError),
    "NaN tolerance": ((ROWS, float("nan"), True, ""), ValueError),
    "oversized": ((np.broadcast_to(np.zeros(1, np.float32), (2**31, 1)), 0.1, True, ""), ValueError),
}


def run_case(case, times):
    """Calls the case `times` times, checking each outcome against the expected kind."""
    arguments, expected_error = CASES[case]
    for _ in range(times):
        outcome = call(*arguments)
        if expected_error is None:
            assert isinstance(outcome, tuple), outcome
        else:
            assert type(outcome) is expected_error, outcome
        del outcome


@pytest.mark.parametrize("case", list(CASES))
def test_calls_leave_argument_reference_counts_flat(case):
    arguments = CASES[case][0]
    run_case(case, 10)
    before = [sys.getrefcount(argument) for argument in arguments]
    run_case(case, CALLS)
    gc.collect()
    assert [sys.getrefcount(argument) for argument in arguments] == before


@pytest.mark.parametrize("case", [case for case, (_, error) in CASES.items() if error is None])
def test_results_are_held_by_the_tuple_alone(case):
    unique, representatives, inverse = rilo.unique_rows(*CASES[case][0])
    # One reference from the local name, one from getrefcount's argument.
    assert sys.getrefcount(unique) == 2
    assert sys.getrefcount(representatives) == 2
    assert sys.getrefcount(inverse) == 2


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer's quarantine keeps freed memory resident")
def test_many_calls_leave_resident_memory_flat():
    for case in CASES:
        run_case(case, 50)
    gc.collect()
    before = resident_bytes()
    for case in CASES:
        run_case(case, CALLS)
    gc.collect()
    growth = resident_bytes() - before
    assert growth < RSS_GROWTH_LIMIT, f"resident memory grew by {growth} bytes"
