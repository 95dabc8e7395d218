"""The module object and the interface of `unique_rows`."""
import itertools
import re
import subprocess
import sys
import warnings
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import rilo

ELEMENT_TYPE_MESSAGE = (
    "RILO supports float32 and float64. For integer types, use `np.unique(data, axis=0)`"
)
METHODS = ["", "a"]
FLOAT_TYPES = [np.float32, np.float64]
# Rows where the two methods disagree at tolerance 0.5: every column is within 0.5, but the
# Euclidean distance is not, so the sort method finds one group and the sweep two.
METHOD_PROBE = np.array([[0.0, 0.0], [0.4, 0.4]])
# Rows with near duplicates, so that the results have groups of several rows.
NEAR_DUPLICATES = np.array(
    [[1.0, 2.0, 0.5], [0.0, 5.0, 0.5], [1.05, 2.02, 0.5], [0.02, 4.95, 0.5], [1.0, 3.0, 0.5],
     [3.0, 3.0, 3.0], [1.01, 1.99, 0.51], [3.0, 3.0, 3.04]]
)


def assert_same_results(actual, expected):
    assert len(actual) == len(expected) == 3
    for got, want in zip(actual, expected):
        assert got.dtype == want.dtype
        np.testing.assert_array_equal(got, want)


def test_module_attributes():
    assert rilo.__version__ == "0.1.0"
    assert rilo.__doc__ is None
    functions = [name for name in dir(rilo) if callable(getattr(rilo, name)) and not name.startswith("__")]
    assert functions == ["sweep_in_order", "unique_rows"]


@pytest.mark.parametrize("method", ["", "a"])
def test_worked_example_runs_for_both_methods(method):
    rows = np.array([[1.0, 2.0], [0.0, 5.0], [1.05, 2.02], [0.02, 4.95], [1.0, 3.0]])
    unique, index, inverse = rilo.unique_rows(rows, 0.1, True, method)
    np.testing.assert_array_equal(unique, rows[index])
    np.testing.assert_array_equal(index[inverse][index], index)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("m", [1, 2, 3, 5])
@pytest.mark.parametrize("dtype", FLOAT_TYPES)
def test_unique_rows_are_the_rows_of_index_when_copied_on_several_threads(method, m, dtype):
    # 2^17 rows at least 1 apart, each twice: enough unique rows that copying them out is split
    # between threads, at widths with code of their own and one without.
    random = np.random.default_rng(m)
    distinct = np.stack([random.permutation(1 << 17) + column for column in range(m)], axis=1).astype(dtype)
    rows = np.concatenate([distinct, distinct])[random.permutation(1 << 18)]
    unique, index, _ = rilo.unique_rows(rows, 0.5, False, method)
    assert len(index) == 1 << 17
    assert unique.tobytes() == rows[index].tobytes()


def test_import_does_not_import_numpy():
    script = "import sys, rilo; sys.exit('numpy' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", script], check=False).returncode == 0


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((METHOD_PROBE, 0.5, True), {}),
        ((METHOD_PROBE,), {"tolerance": 0.5, "sorted_index": True}),
        ((METHOD_PROBE, 0.5, True, "", None), {}),
        ((METHOD_PROBE, 0.5, True, ""), {"extra": 1}),
        ((METHOD_PROBE, 0.5, True), {"methods": ""}),
        ((METHOD_PROBE, 0.5, True, ""), {"method": ""}),
    ],
    ids=["none", "three", "missing keyword", "five", "unknown keyword", "misspelt keyword", "twice"],
)
def test_wrong_argument_lists_raise_type_error(args, kwargs):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        rilo.unique_rows(*args, **kwargs)


@pytest.mark.parametrize("names", list(itertools.permutations(["query", "tolerance", "sorted_index", "method"])))
def test_keywords_in_any_order(names):
    values = {"query": NEAR_DUPLICATES, "tolerance": 0.1, "sorted_index": False, "method": ""}
    expected = rilo.unique_rows(NEAR_DUPLICATES, 0.1, False, "")
    assert_same_results(rilo.unique_rows(**{name: values[name] for name in names}), expected)


def test_positional_and_keyword_arguments_mix():
    expected = rilo.unique_rows(NEAR_DUPLICATES, 0.1, True, "")
    actual = rilo.unique_rows(NEAR_DUPLICATES, 0.1, method="", sorted_index=True)
    assert_same_results(actual, expected)


class FloatLike:
    def __float__(self):
        return 0.5


@pytest.mark.parametrize(
    "tolerance, as_float",
    [
        (1, 1.0), (0, 0.0), (True, 1.0), (np.int64(1), 1.0), (np.float32(0.5), 0.5),
        (np.float64(0.05), 0.05), (Fraction(1, 2), 0.5), (Decimal("0.05"), 0.05), (FloatLike(), 0.5),
    ],
    ids=lambda value: type(value).__name__,
)
def test_tolerance_accepts_what_float_accepts(tolerance, as_float):
    expected = rilo.unique_rows(NEAR_DUPLICATES, as_float, True, "")
    assert_same_results(rilo.unique_rows(NEAR_DUPLICATES, tolerance, True, ""), expected)


@pytest.mark.parametrize("tolerance", ["0.1", None, [0.1], 1j, 10**400, object()], ids=repr)
def test_tolerance_refuses_what_float_refuses(tolerance):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        rilo.unique_rows(NEAR_DUPLICATES, tolerance, True, "")


@pytest.mark.parametrize(
    "sorted_index",
    [None, True, False, 0, 1, 3, 0.0, 2.5, np.bool_(True), np.bool_(False), np.int64(0), np.float64(1.0)],
    ids=repr,
)
def test_sorted_index_is_taken_by_truth_value(sorted_index):
    # Row 1 goes first in the ordering, so the two modes number the groups differently.
    rows = np.array([[1.0], [0.0]])
    expected = rilo.unique_rows(rows, 0.1, bool(sorted_index), "")
    assert_same_results(rilo.unique_rows(rows, 0.1, sorted_index, ""), expected)
    np.testing.assert_array_equal(expected[1], [0, 1] if sorted_index else [1, 0])


@pytest.mark.parametrize("sorted_index", ["yes", "", [], [1], object()], ids=repr)
def test_sorted_index_refuses_objects_without_a_number_truth_value(sorted_index):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        rilo.unique_rows(NEAR_DUPLICATES, 0.1, sorted_index, "")


def groups_of_probe(method):
    return len(rilo.unique_rows(METHOD_PROBE, 0.5, True, method)[1])


def test_probe_tells_the_methods_apart():
    assert groups_of_probe("") == 1
    assert groups_of_probe("a") == 2


@pytest.mark.parametrize(
    "method",
    ["A", "a", "Anything", "a\x00", "a sweep", b"A", b"a\xff", bytearray(b"a"), bytearray(b"Abc")],
    ids=repr,
)
def test_method_starting_with_a_selects_the_sweep(method):
    assert groups_of_probe(method) == 2


@pytest.mark.parametrize(
    "method",
    ["", " a", "b", "B", "sort", "1", "\x00a", "á", "Å", "\x01", "!", b"", b"\xe1",
     b"\xc1", b"q", bytearray(), bytearray(b"z")],
    ids=repr,
)
def test_other_methods_select_the_sort(method):
    assert groups_of_probe(method) == 1


@pytest.mark.parametrize("method", [None, 0, 65, ["a"], memoryview(b"a"), "\udc80", "a\ud800"], ids=repr)
def test_method_refuses_non_strings_and_unencodable_text(method):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        rilo.unique_rows(METHOD_PROBE, 0.5, True, method)


@pytest.mark.parametrize(
    "query",
    [[[1.0, 2.0], [1.0, 2.0]], ((1.0,),), 1.0, np.float64(1.0), None, memoryview(np.zeros((2, 2)))],
    ids=["nested list", "nested tuple", "float", "numpy scalar", "None", "memoryview"],
)
def test_query_must_be_an_ndarray(query):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        rilo.unique_rows(query, 0.1, True, "")


REFUSED_DTYPES = [
    np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint32, np.uint64, np.bool_, np.float16,
    np.longdouble, np.complex64, np.complex128, object, "U1", "S1", "datetime64[s]", "timedelta64[s]",
    [("x", np.float64)], [("x", np.float32), ("y", np.float32)],
]


@pytest.mark.parametrize("shape", [(3, 2), (0, 2), (4,), (), (2, 2, 2)], ids=str)
@pytest.mark.parametrize("dtype", REFUSED_DTYPES, ids=lambda dtype: np.dtype(dtype).str)
def test_other_element_types_are_refused(dtype, shape):
    query = np.zeros(shape, dtype=dtype)
    for method, sorted_index, tolerance in itertools.product(METHODS, [True, False], [0.1, float("nan")]):
        with pytest.raises(RuntimeError) as refused:
            rilo.unique_rows(query, tolerance, sorted_index, method)
        assert str(refused.value) == ELEMENT_TYPE_MESSAGE


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("dtype", FLOAT_TYPES)
@pytest.mark.parametrize("nan", [float("nan"), -float("nan"), np.float32("nan")], ids=["nan", "-nan", "float32 nan"])
def test_nan_tolerance_is_refused(nan, dtype, method):
    with pytest.raises(ValueError, match="tolerance must not be NaN"):
        rilo.unique_rows(NEAR_DUPLICATES.astype(dtype), nan, True, method)


@pytest.mark.parametrize("tolerance, groups", [(0.1, 1), (np.float32(0.1), 1), (0.09999999, 2)])
def test_float32_input_rounds_the_tolerance_to_float32(tolerance, groups):
    # The difference is float32(0.1) exactly, which equals 0.1 rounded to float32 and so matches.
    rows = np.array([[0.0], [0.1]], dtype=np.float32)
    assert len(rilo.unique_rows(rows, tolerance, True, "")[1]) == groups


def test_float64_input_uses_the_tolerance_unchanged():
    rows = np.array([[0.0], [float(np.float32(0.1))]])
    assert len(rilo.unique_rows(rows, 0.1, True, "")[1]) == 2
    assert len(rilo.unique_rows(rows, float(np.float32(0.1)), True, "")[1]) == 1


FLOAT32_MAX = float(np.finfo(np.float32).max)
FLOAT32_OVERFLOW = float.fromhex("0x1.ffffffp127")


@pytest.mark.parametrize(
    "tolerance, becomes_infinite",
    [
        (1e39, True), (1e300, True), (float("inf"), True), (FLOAT32_OVERFLOW, True),
        (np.nextafter(FLOAT32_OVERFLOW, 0.0), False), (FLOAT32_MAX, False), (1e38, False),
    ],
    ids=repr,
)
def test_float32_tolerance_beyond_range_becomes_infinity(tolerance, becomes_infinite):
    # In float32 the difference of these rows overflows to infinity, which only an infinite
    # tolerance covers.
    rows = np.array([[-3e38], [3e38]], dtype=np.float32)
    assert len(rilo.unique_rows(rows, tolerance, True, "")[1]) == (1 if becomes_infinite else 2)


def huge_view(shape, dtype):
    """A read-only array of the given shape over one element, so it needs no memory."""
    return np.lib.stride_tricks.as_strided(np.zeros(1, dtype=dtype), shape=shape, strides=(0,) * len(shape))


@pytest.mark.parametrize(
    "shape",
    [(2**31, 1), (2**31, 0), (0, 2**31), (1, 2**31), (2**16, 2**15), (2**40, 3), (2**11, 2**10, 2**10)],
    ids=str,
)
@pytest.mark.parametrize("dtype", ["<f4", ">f4", "<f8", ">f8"])
@pytest.mark.parametrize("method", METHODS)
def test_inputs_beyond_32_bit_indices_are_refused(shape, dtype, method):
    with pytest.raises(ValueError, match=r"input too large: .*2\*\*31 - 1 .*" + re.escape(str(shape))):
        rilo.unique_rows(huge_view(shape, dtype), 0.1, True, method)


def layouts(rows):
    """Views of `rows` (or arrays holding its values) in layouts the entry must copy or look through."""
    padded = np.zeros((2 * rows.shape[0], 2 * rows.shape[1]), dtype=rows.dtype)
    padded[::2, ::2] = rows
    wide = np.concatenate([rows, rows], axis=1)
    swapped = rows.astype(rows.dtype.newbyteorder())
    read_only = rows.copy()
    read_only.flags.writeable = False
    unaligned_buffer = bytearray(rows.nbytes + 1)
    unaligned = np.ndarray(rows.shape, dtype=rows.dtype, buffer=unaligned_buffer, offset=1)
    unaligned[...] = rows
    mask = np.zeros(rows.shape, dtype=bool)
    mask[::2] = True
    return {
        "transposed": np.ascontiguousarray(rows.T).T,
        "column slice": wide[:, : rows.shape[1]],
        "strided": padded[::2, ::2],
        "reversed": np.ascontiguousarray(rows[::-1, ::-1])[::-1, ::-1],
        "fortran": np.asfortranarray(rows),
        "byte-swapped": swapped,
        "byte-swapped fortran": np.asfortranarray(swapped),
        "read-only": read_only,
        "unaligned": unaligned,
        "matrix": np.asmatrix(rows),
        "masked": np.ma.masked_array(rows, mask=mask),
    }


with warnings.catch_warnings():
    warnings.simplefilter("ignore", PendingDeprecationWarning)
    LAYOUT_NAMES = list(layouts(NEAR_DUPLICATES))


@pytest.mark.filterwarnings("ignore:the matrix subclass:PendingDeprecationWarning")
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("dtype", FLOAT_TYPES)
@pytest.mark.parametrize("layout", LAYOUT_NAMES)
def test_layouts_give_the_results_of_a_c_ordered_copy(layout, dtype, method):
    rows = NEAR_DUPLICATES.astype(dtype)
    view = layouts(rows)[layout]
    before = np.array(view, copy=True)
    actual = rilo.unique_rows(view, 0.1, True, method)
    expected = rilo.unique_rows(rows, 0.1, True, method)
    assert_same_results(actual, expected)
    assert actual[0].dtype.isnative
    np.testing.assert_array_equal(np.asarray(view), before)
    assert not any(np.shares_memory(result, view) for result in actual)


RESULT_CASES = {
    "groups": (NEAR_DUPLICATES, None),
    "all distinct": (np.arange(12.0).reshape(4, 3), 4),
    "one row": (np.array([[1.5, -2.0]]), 1),
    "no rows": (np.zeros((0, 3)), 0),
    "no columns": (np.zeros((3, 0)), 1),
}


@pytest.mark.parametrize("sorted_index", [True, False])
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("dtype", FLOAT_TYPES)
@pytest.mark.parametrize("case", list(RESULT_CASES))
def test_result_contract(case, dtype, method, sorted_index):
    rows, known_groups = RESULT_CASES[case]
    query = rows.astype(dtype)
    before = query.copy()
    result = rilo.unique_rows(query, 0.1, sorted_index, method)
    assert type(result) is tuple and len(result) == 3
    unique, representatives, inverse = result
    groups = len(representatives)
    assert groups == known_groups or (known_groups is None and 1 < groups < len(query))
    assert [array.dtype for array in result] == [np.dtype(dtype), np.dtype(np.int32), np.dtype(np.int32)]
    assert [array.shape for array in result] == [(groups, query.shape[1]), (groups,), (query.shape[0],)]
    for array in result:
        assert type(array) is np.ndarray
        assert array.flags.c_contiguous and array.flags.owndata and array.flags.writeable
        assert array.base is None
        assert not np.shares_memory(array, query)
    np.testing.assert_array_equal(unique, query[representatives])
    unique[...] = 7
    np.testing.assert_array_equal(query, before)
