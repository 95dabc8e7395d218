"""Property-based tests of `unique_rows`: the result contract on arbitrary arrays, agreement with
a slow reference where the tolerant order is consistent, invariance under row permutation, and
independence from the memory layout. Also replays the fuzz corpus."""
import pathlib

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import rilo
from rilo_contract import check_contract, lay_out, partition, run_bytes, LAYOUTS

# Enough examples to meet NaN, infinities and near-tolerance chains in every configuration, few
# enough that the module stays within seconds.
EXAMPLES = 150
PROPERTY_SETTINGS = settings(max_examples=EXAMPLES, deadline=None,
                             suppress_health_check=[HealthCheck.too_slow])
CORPUS = pathlib.Path(__file__).resolve().parent.parent / "fuzz" / "corpus"

FLOAT_TYPES = [np.float32, np.float64]
METHODS = ["", "a"]

# Values around a tolerance of 1 (non-transitive chains), exact ties, signed zeros, extremes.
SPECIAL = [0.0, -0.0, 0.3, 0.6, 0.9, 1.0, 1.2, 1.5, 2.0, -1.0, float("nan"), float("inf"),
           float("-inf"), 1e-45, 3e38, -3e38]
TOLERANCES = st.one_of(st.sampled_from([0.0, -0.0, 0.5, 1.0, 1.0000001, float("inf"), -1.0, 1e39]),
                       st.floats(min_value=-3, max_value=3, allow_nan=False))


@st.composite
def arbitrary_rows(draw):
    """A 2-D float32 or float64 array of up to 40 x 4 values, special ones among them."""
    dtype = draw(st.sampled_from(FLOAT_TYPES))
    shape = (draw(st.integers(0, 40)), draw(st.integers(0, 4)))
    width = 32 if dtype == np.float32 else 64
    elements = st.one_of(st.sampled_from(SPECIAL), st.floats(width=width),
                         st.integers(-4, 4).map(lambda step: step * 0.3))
    with np.errstate(over="ignore"):
        return draw(hnp.arrays(dtype, shape, elements=elements))


@st.composite
def separated_clusters(draw):
    """Rows in clusters far apart compared with the tolerance, shuffled, with their labels and
    the clusters' centres.

    Centres lie on a grid of spacing 10 * tolerance; each value strays at most tolerance / (4m)
    from its centre. Within a cluster every column difference, every Euclidean distance and every
    projection gap is then below half the tolerance, and between clusters some column differs by
    more than 9 tolerances, so both methods' orders are consistent and find exactly the clusters.
    """
    dtype = draw(st.sampled_from(FLOAT_TYPES))
    tolerance = draw(st.sampled_from([0.25, 1.0, 3.0]))
    m = draw(st.integers(1, 4))
    grid = st.tuples(*[st.integers(-3, 3)] * m)
    centres = draw(st.lists(grid, min_size=1, max_size=8, unique=True))
    sizes = draw(st.lists(st.integers(1, 5), min_size=len(centres), max_size=len(centres)))
    labels = np.repeat(np.arange(len(centres)), sizes)
    labels = np.array(draw(st.permutations(labels.tolist())), dtype=np.int64)
    stray = tolerance / (4 * m)
    offsets = draw(hnp.arrays(np.float64, (len(labels), m),
                              elements=st.floats(-stray, stray, allow_nan=False)))
    spacing = 10 * tolerance
    rows = (np.array(centres, dtype=np.float64)[labels] * spacing + offsets).astype(dtype)
    return rows, tolerance, labels, centres


def projections(rows):
    """Each row's element sum, accumulated in column order in the rows' dtype."""
    totals = []
    for row in rows:
        total = rows.dtype.type(0)
        for value in row:
            total = total + value
        totals.append(total)
    return totals


def expected_groups(rows, labels, centres, sorted_index, method):
    """The slow reference for separated clusters: the list of groups, each the sorted member
    rows, in the order and (as the first entry) with the representative the method gives; for the
    sort method unsorted, only the members (its representative is any member)."""
    members = {label: sorted(np.flatnonzero(labels == label).tolist()) for label in set(labels.tolist())}
    if sorted_index:
        return sorted(members.values())
    if method == "":
        return [members[label] for label in sorted(members, key=lambda label: centres[label])]
    projection = projections(rows)
    opening = {label: min(rows_, key=lambda row: (projection[row], row)) for label, rows_ in members.items()}
    order = sorted(members, key=lambda label: (projection[opening[label]], opening[label]))
    return [[opening[label]] + [row for row in members[label] if row != opening[label]] for label in order]


def actual_groups(result):
    """The groups of a result in its order, each its representative followed by the other
    members in ascending order."""
    _, representatives, inverse = result
    return [[int(rep)] + [row for row in np.flatnonzero(inverse == group).tolist() if row != rep]
            for group, rep in enumerate(representatives)]


@pytest.mark.parametrize("sorted_index", [True, False])
@pytest.mark.parametrize("method", METHODS)
@PROPERTY_SETTINGS
@given(rows=arbitrary_rows(), tolerance=TOLERANCES)
def test_contract_holds_on_arbitrary_rows(rows, tolerance, method, sorted_index):
    with np.errstate(all="ignore"):
        check_contract(rows, tolerance, sorted_index, method,
                       rilo.unique_rows(rows, tolerance, sorted_index, method))


@pytest.mark.parametrize("sorted_index", [True, False])
@pytest.mark.parametrize("method", METHODS)
@PROPERTY_SETTINGS
@given(clusters=separated_clusters())
def test_separated_clusters_agree_with_reference(clusters, method, sorted_index):
    rows, tolerance, labels, centres = clusters
    result = rilo.unique_rows(rows, tolerance, sorted_index, method)
    expected = expected_groups(rows, labels, centres, sorted_index, method)
    actual = actual_groups(result)
    if method == "" and not sorted_index:
        assert [sorted(group) for group in actual] == expected
    else:
        assert actual == expected


@pytest.mark.parametrize("sorted_index", [True, False])
@pytest.mark.parametrize("method", METHODS)
@PROPERTY_SETTINGS
@given(clusters=separated_clusters(), data=st.data())
def test_partition_of_separated_clusters_ignores_row_order(clusters, data, method, sorted_index):
    rows = clusters[0]
    tolerance = clusters[1]
    permutation = np.array(data.draw(st.permutations(range(len(rows)))), dtype=np.int64)
    original = partition(rilo.unique_rows(rows, tolerance, sorted_index, method)[2])
    permuted = partition(rilo.unique_rows(rows[permutation], tolerance, sorted_index, method)[2])
    assert {frozenset(permutation[list(group)].tolist()) for group in permuted} == original


@pytest.mark.parametrize("layout", [layout for layout in LAYOUTS if layout != "c"])
@pytest.mark.parametrize("sorted_index", [True, False])
@pytest.mark.parametrize("method", METHODS)
@settings(max_examples=EXAMPLES // 3, deadline=None)
@given(rows=arbitrary_rows(), tolerance=TOLERANCES)
def test_every_layout_gives_the_contiguous_result(rows, tolerance, method, sorted_index, layout):
    view = lay_out(np.ascontiguousarray(rows), layout)
    before = view.copy()
    actual = rilo.unique_rows(view, tolerance, sorted_index, method)
    expected = rilo.unique_rows(np.ascontiguousarray(rows), tolerance, sorted_index, method)
    assert [array.tobytes() for array in actual] == [array.tobytes() for array in expected]
    assert [array.shape for array in actual] == [array.shape for array in expected]
    assert view.tobytes() == before.tobytes()


def test_fuzz_corpus_replays_cleanly():
    inputs = sorted(CORPUS.iterdir())
    assert inputs, f"no regression inputs in {CORPUS}"
    failures = []
    for path in inputs:
        try:
            run_bytes(path.read_bytes())
        except AssertionError as error:
            failures.append(f"{path.name}: {error}")
    assert not failures, "\n".join(failures)
