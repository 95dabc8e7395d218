"""The thread benchmark's one-core run: it confines the calling thread alone, for the run alone,
so that the pool's threads and the rest of the benchmark keep every core."""
import os
import pathlib
import sys
import threading

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
import threads as bench_threads  # noqa: E402

pytestmark = pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two usable CPUs")


class Failed(Exception):
    pass


@pytest.mark.parametrize("raises", [False, True])
def test_run_on_one_cpu_confines_the_calling_thread_for_the_run_only(raises):
    before = os.sched_getaffinity(0)
    asked, answered, seen = threading.Event(), threading.Event(), {}

    def other_thread():  # started before the run: keeps its own CPUs
        asked.wait()
        seen["other"] = os.sched_getaffinity(0)
        answered.set()

    def run():
        seen["inside"] = os.sched_getaffinity(0)
        helper = threading.Thread(target=lambda: seen.setdefault("helper", os.sched_getaffinity(0)))
        helper.start()
        helper.join()
        asked.set()
        answered.wait()
        if raises:
            raise Failed
        return "result"

    other = threading.Thread(target=other_thread)
    other.start()
    if raises:
        with pytest.raises(Failed):
            bench_threads.run_on_one_cpu(run)
    else:
        assert bench_threads.run_on_one_cpu(run) == "result"
    other.join()
    assert len(seen["inside"]) == 1 and seen["inside"] <= before
    assert seen["helper"] == seen["inside"]  # helper threads of a call inherit the confinement
    assert seen["other"] == before
    assert os.sched_getaffinity(0) == before
