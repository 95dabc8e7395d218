"""A call releases the GIL while it computes, so calls from several Python threads run at once.
They return exactly what the same calls return one after another, for both methods, both
element types, failing calls and calls large enough to start helper threads included, and also
when the very first call of a process (which sets up NumPy access) is made by many threads
together; and other Python threads run while a call computes."""
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import rilo

THREADS = 8
ROUNDS = 40


def make_cases():
    """Calls of every kind: both methods and element types, both orders, NaN, near-tolerance
    chains, converted layouts and failing calls."""
    random = np.random.default_rng(11)
    clustered = np.repeat(random.normal(size=(40, 3)), 5, axis=0) + random.normal(scale=1e-3, size=(200, 3))
    chain = np.arange(0, 30, 0.3).reshape(-1, 1) * np.ones((1, 2))
    with_nan = clustered.copy()
    with_nan[::9, 0] = np.nan
    with_nan[::13, 2] = np.inf
    arrays = {"clustered": clustered, "chain": chain, "nan": with_nan}
    cases = []
    for name, rows in arrays.items():
        for dtype in (np.float32, np.float64):
            for method in ("", "a"):
                for sorted_index in (True, False):
                    cases.append((rows.astype(dtype), 0.5, sorted_index, method))
    cases.append((clustered.T.copy().T, 0.01, True, "a"))
    cases.append((clustered.astype(">f4")[::-1], 0.01, False, ""))
    cases.append((np.arange(6).reshape(2, 3), 0.1, True, ""))
    cases.append((clustered, float("nan"), True, "a"))
    cases.append((clustered[:, 0].copy(), 0.1, True, "a"))
    return cases


def outcome(case):
    """The result arrays' bytes and shapes of a call, or the type and text of its error."""
    try:
        result = rilo.unique_rows(*case)
    except Exception as error:  # failing calls are part of the comparison
        return (type(error), str(error))
    return tuple((array.dtype.str, array.shape, array.tobytes()) for array in result)


def large_cases():
    """Calls on 2 * 10^5 rows, half of them near-duplicates, with both methods and orders:
    large enough that the sort method starts helper threads."""
    random = np.random.default_rng(12)
    half = random.random((100_000, 3))
    rows = np.concatenate([half, half + 1e-7])[random.permutation(200_000)]
    return [(rows, 1e-5, sorted_index, method) for method in ("", "a") for sorted_index in (True, False)]


def run_concurrently(cases, rounds, thread_count=THREADS):
    """Runs every case `rounds` times in each of `thread_count` threads, each thread in its own
    order, all starting together; returns the outcomes per thread as a list of (case number,
    outcome)."""
    start = threading.Barrier(thread_count)
    outcomes = [[] for _ in range(thread_count)]

    def work(thread):
        order = np.random.default_rng(thread).permutation(len(cases) * rounds) % len(cases)
        start.wait()
        for number in order:
            outcomes[thread].append((int(number), outcome(cases[number])))

    threads = [threading.Thread(target=work, args=(thread,)) for thread in range(thread_count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return outcomes


def mismatches(cases, rounds, thread_count=THREADS):
    """(thread, case number) of every concurrent outcome that differs from the sequential one."""
    sequential = [outcome(case) for case in cases]
    return [(thread, number)
            for thread, results in enumerate(run_concurrently(cases, rounds, thread_count))
            for number, result in results if result != sequential[number]]


def test_concurrent_calls_match_sequential_calls():
    cases = make_cases()
    assert not mismatches(cases, ROUNDS)
    failing = [case for case in cases if isinstance(outcome(case)[0], type)]
    assert len(failing) == 3


def test_concurrent_large_calls_match_sequential_calls():
    assert not mismatches(large_cases(), rounds=2, thread_count=3)


# Sleeps of 1 ms that another thread must get through while one call computes: a call that held
# the GIL would let it through none (it can only run before and after the call), a call of
# 10^6 rows lasts a hundred or more of them.
MIN_TICKS_DURING_CALL = 10


@pytest.mark.parametrize("method", ["sort", "a"])
def test_other_threads_run_while_a_call_computes(method):
    rows, tolerance, sorted_index, _ = large_cases()[0]
    rows = np.tile(rows, (5, 1))
    entering = threading.Event()

    def call():
        entering.set()
        rilo.unique_rows(rows, tolerance, sorted_index, method)

    worker = threading.Thread(target=call)
    worker.start()
    entering.wait()
    ticks = 0
    while worker.is_alive():
        time.sleep(0.001)
        ticks += 1
    worker.join()
    assert ticks >= MIN_TICKS_DURING_CALL


FIRST_CALL_SCRIPT = """
import threading
import numpy as np
import rilo

rows = np.repeat(np.arange(20.0).reshape(10, 2), 3, axis=0)
start = threading.Barrier({threads})
results = [None] * {threads}

def work(thread):
    start.wait()
    results[thread] = rilo.unique_rows(rows, 0.1, True, "a" if thread % 2 else "")

threads = [threading.Thread(target=work, args=(thread,)) for thread in range({threads})]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
for thread, (unique, representatives, inverse) in enumerate(results):
    assert representatives.tolist() == list(range(0, 30, 3)), (thread, representatives)
    assert inverse.tolist() == [row // 3 for row in range(30)], (thread, inverse)
print("ok")
"""


@pytest.mark.parametrize("attempt", range(3))
def test_first_calls_of_a_process_from_many_threads(attempt):
    completed = subprocess.run([sys.executable, "-c", FIRST_CALL_SCRIPT.format(threads=THREADS)],
                               capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.strip() == "ok"
