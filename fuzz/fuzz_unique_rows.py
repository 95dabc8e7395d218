#!/usr/bin/env python3
"""Coverage-guided fuzzing of `rilo.unique_rows` with atheris.

Each input is decoded into a call (dtype, shape, values with NaN, infinities and signed zeros,
tolerance, sorted_index, method, memory layout) by tests/rilo_contract.py, and the result is
checked against the contract there; a broken clause raises and atheris reports the input.
Run through `make fuzz` (sanitizer build with native coverage) or `make fuzz-short`; any
libFuzzer flag can follow, e.g. a corpus directory and -max_total_time=SECONDS.
"""
import os
import sys

import atheris

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))

# Coverage comes from the extension, built with clang's fuzzer instrumentation. The harness
# itself is left uninstrumented: atheris's tracing of Python comparisons keeps a few KiB alive
# per execution, which would end a long run in an out-of-memory report.
import numpy as np
import rilo
import rilo_contract

print(f"fuzzing {rilo.__file__}", flush=True)
np.seterr(all="ignore")
atheris.Setup(sys.argv, rilo_contract.run_bytes)
atheris.Fuzz()
