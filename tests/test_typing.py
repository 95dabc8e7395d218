"""The installed type stubs: a typed caller passes `mypy --strict`, and wrong uses are reported."""
import ast
import doctest
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

import rilo

pytest.importorskip("mypy")

STUB = pathlib.Path(__file__).resolve().parent.parent / "stubs" / "rilo-stubs" / "__init__.pyi"

GOOD_CALLER = """
    from typing import assert_type

    import numpy as np
    import numpy.typing as npt

    import rilo


    def weld(points: npt.NDArray[np.float64]) -> npt.NDArray[np.int32]:
        unique, index, inverse = rilo.unique_rows(points, 1e-6, True, "sort")
        assert_type(unique, npt.NDArray[np.float64])
        assert_type(index, npt.NDArray[np.int32])
        return inverse


    single = np.zeros((4, 3), dtype=np.float32)
    result = rilo.unique_rows(single, tolerance=1, sorted_index=np.True_, method=b"a")
    assert_type(result[0], npt.NDArray[np.float32])
    assert_type(result[2], npt.NDArray[np.int32])
    openings, groups = rilo.sweep_in_order(single, 0.1)
    assert_type(groups, npt.NDArray[np.int32])
    version: str = rilo.__version__
"""

# Every line marked "# wrong" must be reported, and no other line.
BAD_CALLER = """
    import numpy as np
    import numpy.typing as npt

    import rilo

    single = np.zeros((4, 3), dtype=np.float32)
    double = np.zeros((4, 3), dtype=np.float64)
    integers = np.zeros((4, 3), dtype=np.int64)
    rilo.unique_rows(integers, 0.1, True, "")  # wrong
    widened: npt.NDArray[np.float64] = rilo.unique_rows(single, 0.1, True, "")[0]  # wrong
    rilo.unique_rows(double, "0.1", True, "")  # wrong
    rilo.unique_rows(double, 0.1, True, None)  # wrong
    rilo.unique_rows(double, 0.1, True)  # wrong
    wide_index: npt.NDArray[np.int64] = rilo.unique_rows(double, 0.1, True, "")[1]  # wrong
    rilo.sweep_in_order(integers, 0.1)  # wrong
    rilo.sweep_in_order(double, 0.1, False)  # wrong
    rilo.__version__ = "0.2"  # wrong
"""


def run_mypy(tmp_path, source):
    """Writes `source` to caller.py in `tmp_path` and runs `mypy --strict` on it there."""
    (tmp_path / "caller.py").write_text(textwrap.dedent(source))
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
         "--cache-dir", str(tmp_path / "cache"), "caller.py"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)


def test_typed_caller_passes_strict_mypy(tmp_path):
    checked = run_mypy(tmp_path, GOOD_CALLER)
    assert checked.returncode == 0, checked.stdout + checked.stderr


def test_wrong_uses_are_reported(tmp_path):
    checked = run_mypy(tmp_path, BAD_CALLER)
    lines = textwrap.dedent(BAD_CALLER).splitlines()
    expected = {number for number, line in enumerate(lines, 1) if line.endswith("# wrong")}
    reported = {int(found) for found in re.findall(r"^caller\.py:(\d+): error", checked.stdout, re.M)}
    assert checked.returncode == 1, checked.stdout + checked.stderr
    assert reported == expected, checked.stdout


def test_stub_names_what_the_module_has():
    checked = subprocess.run([sys.executable, "-m", "mypy.stubtest", "rilo"],
                             capture_output=True, text=True, timeout=300)
    assert checked.returncode == 0, checked.stdout + checked.stderr


FUNCTIONS = ["unique_rows", "sweep_in_order"]


def stub_function(name="unique_rows"):
    """The stub's one definition of the function `name`."""
    (function,) = [node for node in ast.parse(STUB.read_text()).body
                   if isinstance(node, ast.FunctionDef) and node.name == name]
    return function


def docstring_section(docstring, title):
    """The lines of a NumPy-style docstring section, up to the next section heading."""
    lines = docstring.splitlines()
    start = lines.index(title) + 2
    end = next((number for number in range(start, len(lines) - 1)
                if re.fullmatch(r"-+", lines[number + 1])), len(lines))
    return lines[start:end]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_stub_parameters_match_the_runtime_signature(name):
    runtime = re.match(name + r"\((.*)\) ->", getattr(rilo, name).__doc__).group(1)
    runtime_names = re.findall(r"(\w+): ", runtime)
    assert [argument.arg for argument in stub_function(name).args.args] == runtime_names


def test_stub_docstring_documents_parameters_returns_and_errors():
    docstring = ast.get_docstring(stub_function())
    entry = re.compile(r"^(\w+) : ")
    documented = [entry.match(line).group(1)
                  for line in docstring_section(docstring, "Parameters") if entry.match(line)]
    runtime = re.match(r"unique_rows\((.*)\) ->", rilo.unique_rows.__doc__).group(1)
    assert documented == re.findall(r"(\w+): ", runtime)
    returned = [line for line in docstring_section(docstring, "Returns") if entry.match(line)]
    assert len(returned) == 3
    raised = {line for line in docstring_section(docstring, "Raises") if re.fullmatch(r"\w+", line)}
    assert {"RuntimeError", "IndexError", "ValueError", "TypeError", "MemoryError"} <= raised


@pytest.mark.parametrize("name", FUNCTIONS)
def test_stub_docstring_example_runs_as_shown(name):
    examples = doctest.DocTestParser().get_doctest(
        ast.get_docstring(stub_function(name)), {}, name, str(STUB), 0)
    assert examples.examples
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(examples)
    assert runner.summarize(verbose=False).failed == 0
