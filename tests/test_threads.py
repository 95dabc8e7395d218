"""Calls from several Python threads at once return exactly what the same calls return one
after another, for both methods, both element types, failing calls included, and also when the
very first call of a process (which sets up NumPy access) is made by many threads together."""
import subprocess
import sys
import threading

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


def run_concurrently(cases, rounds):
    """Runs every case `rounds` times in each of THREADS threads, each thread in its own order,
    all starting together; returns the outcomes per thread as a list of (case number, outcome)."""
    start = threading.Barrier(THREADS)
    outcomes = [[] for _ in range(THREADS)]

    def work(thread):
        order = np.random.default_rng(thread).permutation(len(cases) * rounds) % len(cases)
        start.wait()
        for number in order:
            outcomes[thread].append((int(number), outcome(cases[number])))

    threads = [threading.Thread(target=work, args=(thread,)) for thread in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return outcomes


def test_concurrent_calls_match_sequential_calls():
    cases = make_cases()
    sequential = [outcome(case) for case in cases]
    mismatches = [(thread, number)
                  for thread, results in enumerate(run_concurrently(cases, ROUNDS))
                  for number, result in results if result != sequential[number]]
    assert not mismatches
    assert sum(isinstance(result, tuple) and isinstance(result[0], type) for result in sequential) == 3


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
