"""The module object and the interface of `unique_rows`."""
import numpy as np
import pytest

import rilo


def test_module_attributes():
    assert rilo.__version__ == "0.1.0"
    assert rilo.__doc__ is None
    functions = [name for name in dir(rilo) if callable(getattr(rilo, name)) and not name.startswith("__")]
    assert functions == ["unique_rows"]


@pytest.mark.parametrize("method", ["", "a"])
def test_worked_example_runs_for_both_methods(method):
    rows = np.array([[1.0, 2.0], [0.0, 5.0], [1.05, 2.02], [0.02, 4.95], [1.0, 3.0]])
    unique, index, inverse = rilo.unique_rows(rows, 0.1, True, method)
    np.testing.assert_array_equal(unique, rows[index])
    np.testing.assert_array_equal(index[inverse][index], index)
