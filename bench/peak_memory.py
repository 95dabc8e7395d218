"""Peak memory of one call, measured in a fresh child process.

The child builds the input, warms the module up on a tiny input, resets the kernel's
resident-set high-water mark (writing 5 to /proc/self/clear_refs), runs the call once and
reads VmHWM - VmRSS-before while the results are alive. That counts every page the call
touched, C++ allocations included (tracemalloc sees none of them), at page granularity.
glibc's mmap threshold is pinned so that large blocks freed while building the input go
back to the system instead of being reused by the measured call unseen.
"""
import json
import os
import subprocess
import sys

# Allocations above this size are mmapped and unmapped on free (glibc otherwise raises the
# threshold dynamically and keeps freed large blocks in its heap).
MMAP_THRESHOLD_BYTES = 128 * 1024
KIB = 1024


def status_kib(field):
    """The value of one Vm* line of /proc/self/status, in KiB."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def reset_high_water_mark():
    """Sets this process's peak resident size back to its current resident size."""
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")


def measure_in_this_process(contender_name, n, m, dtype_name, data_kind):
    """Runs the named contender once on fresh data and returns its peak extra memory and the
    size of what it returned, both in bytes."""
    import numpy as np

    import contenders
    import datasets

    dtype = np.dtype(dtype_name).type
    rows, _ = make_rows(datasets, data_kind, n, m, dtype)
    tolerance = datasets.TOLERANCE[dtype]
    contender = next(c for c in contenders.RILO + contenders.FLOORS + contenders.NUMPY
                     if c.name == contender_name)
    call = contender.everything or contender.run
    call(rows[:8].copy(), tolerance)
    reset_high_water_mark()
    before = status_kib("VmRSS")
    result = call(rows, tolerance)
    peak = status_kib("VmHWM")
    return {"extra_bytes": (peak - before) * KIB, "result_bytes": result_bytes(result)}


def make_rows(datasets, data_kind, n, m, dtype):
    """The benchmark input of the given kind and size."""
    if data_kind == "soup":
        return datasets.triangle_soup(n, dtype)
    return datasets.near_duplicates(n, m, dtype)


def result_bytes(result):
    """Bytes held by the arrays a contender returned (0 for floors, which return nothing)."""
    if result is None:
        return 0
    arrays = result if isinstance(result, tuple) else (result,)
    return sum(int(array.nbytes) for array in arrays)


def measure(contender_name, n, m, dtype_name, data_kind="near"):
    """Peak extra memory of one call of the named contender, measured in a child process."""
    environment = dict(os.environ, MALLOC_MMAP_THRESHOLD_=str(MMAP_THRESHOLD_BYTES))
    here = os.path.dirname(os.path.abspath(__file__))
    command = [sys.executable, os.path.join(here, "peak_memory.py"), contender_name, str(n),
               str(m), dtype_name, data_kind]
    output = subprocess.run(command, env=environment, capture_output=True, text=True, check=True)
    return json.loads(output.stdout)


if __name__ == "__main__":
    name, rows_text, columns_text, dtype_text, kind = sys.argv[1:6]
    print(json.dumps(measure_in_this_process(name, int(rows_text), int(columns_text),
                                             dtype_text, kind)))
