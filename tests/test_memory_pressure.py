"""Under memory pressure a call raises MemoryError or returns exactly the result it returns with
memory to spare, never another one, and the module stays usable. Each cap runs in a fresh
process whose address space is limited to its size before the call plus the cap; the caps span
each method's working memory on 2e6 rows (1e6 random points and copies moved by 1e-9), helper
threads that can no longer be started included."""
import concurrent.futures
import json
import subprocess
import sys

import pytest

pytestmark = pytest.mark.address_space

# Run in a child process: builds the input, caps the address space at its current size plus
# CAP_MIB (unless "none"), calls unique_rows, and prints the outcome and that of a small call
# made afterwards.
CHILD = r"""
import hashlib, json, resource, sys
import numpy as np
import rilo

sorted_index, cap, method = sys.argv[1] == "1", sys.argv[2], sys.argv[3]
rng = np.random.default_rng(1)
points = rng.random((1_000_000, 3))
data = np.concatenate([points, points + rng.choice([-1e-9, 1e-9], size=points.shape)])
data = data[rng.permutation(len(data))]
small = np.array([[0.0, 1.0], [0.0, 1.0 + 1e-9], [2.0, 3.0]])
rilo.unique_rows(small, 1e-6, sorted_index, method)  # NumPy access set up before the cap

def outcome(query):
    try:
        arrays = rilo.unique_rows(query, 1e-6, sorted_index, method)
    except MemoryError:
        return "MemoryError"
    digest = hashlib.sha256()
    for array in arrays:  # hashed in place: a copy might not fit under the cap
        digest.update(repr(array.shape).encode())
        digest.update(array.data)
    return digest.hexdigest()

if cap != "none":
    with open("/proc/self/status") as status:
        size_kib = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
    limit = size_kib * 1024 + int(cap) * 1024 * 1024
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))
print(json.dumps({"large": outcome(data), "small": outcome(small)}))
"""

# MiB above the process's size, per method: from too little for the inverse alone to enough for
# everything. The sort method's are closest around the records and the stable sort's buffer,
# where an earlier build changed its result; the sweep's step through its keys and order, the
# radix sort's scratch, the rows in sweep order and the groups.
CAPS_MIB = {"": [4, 16, 24, 28, 32, 36, 40, 44, 52, 160],
            "a": [4, 16, 32, 48, 64, 80, 96, 100, 104, 108, 112, 128, 320]}


def run_child(sorted_index, cap, method):
    completed = subprocess.run(
        [sys.executable, "-c", CHILD, "1" if sorted_index else "0", str(cap), method],
        capture_output=True, text=True, timeout=300,
    )
    assert completed.returncode == 0, completed.stderr
    return json.loads(completed.stdout)


@pytest.fixture(scope="module", params=[(False, ""), (True, ""), (False, "a"), (True, "a")],
                ids=["sort-unsorted", "sort-sorted", "sweep-unsorted", "sweep-sorted"])
def uncapped(request):
    sorted_index, method = request.param
    return sorted_index, method, run_child(sorted_index, "none", method)


def test_capped_calls_raise_memory_error_or_give_the_uncapped_result(uncapped):
    sorted_index, method, expected = uncapped
    caps = CAPS_MIB[method]
    # Two children at a time: each mostly waits on its own start-up and input.
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        outcomes = dict(zip(caps, pool.map(lambda cap: run_child(sorted_index, cap, method), caps)))
    for cap, got in outcomes.items():
        assert got["large"] in ("MemoryError", expected["large"]), f"cap {cap} MiB changed the result"
        assert got["small"] == expected["small"], f"module unusable after the call capped at {cap} MiB"
    # The caps do span the working memory: the smallest fails, the largest succeeds.
    assert outcomes[caps[0]]["large"] == "MemoryError"
    assert outcomes[caps[-1]]["large"] == expected["large"]
