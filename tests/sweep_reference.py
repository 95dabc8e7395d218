"""A slow, plain-Python model of the projection sweep, for checking the extension bit for bit.

Every operation is one NumPy scalar operation in the array's own dtype, in the order the sweep
performs it, so float32 input is never widened. Meant for small NaN-free inputs only.
"""
import numpy as np


def row_sums(rows):
    """Each row's projection onto the all-ones direction: 1*x0, then + 1*x1, + 1*x2, ..."""
    one = rows.dtype.type(1)
    sums = []
    for row in rows:
        total = rows.dtype.type(0)
        for column, value in enumerate(row):
            total = one * value if column == 0 else total + one * value
        sums.append(total)
    return sums


def squared_distance(row_a, row_b):
    """Sum of squared column differences, accumulated from zero in column order."""
    total = row_a.dtype.type(0)
    for a, b in zip(row_a, row_b):
        difference = a - b
        total = total + difference * difference
    return total


def distance_below(row_a, row_b, tolerance):
    """True when two rows of finite values lie closer than `tolerance` (of their dtype): the
    squared distance against the squared tolerance where that square is a normal number (or the
    tolerance is not positive); else, for a finite tolerance, both the differences and the
    tolerance scaled by 2**e, with tolerance * 2**e in [1, 2); an infinite tolerance holds every
    pair."""
    squared_tolerance = tolerance * tolerance
    if not tolerance > 0 or np.finfo(tolerance.dtype).tiny <= squared_tolerance < np.inf:
        return squared_distance(row_a, row_b) < squared_tolerance
    if np.isinf(tolerance):
        return True
    exponent = 1 - int(np.frexp(tolerance)[1])
    total = row_a.dtype.type(0)
    for a, b in zip(row_a, row_b):
        difference = np.ldexp(a - b, exponent)
        total = total + difference * difference
    scaled_tolerance = np.ldexp(tolerance, exponent)
    return total < scaled_tolerance * scaled_tolerance


def sweep(rows, tolerance):
    """Runs the grouping sweep on a 2-D float array and a tolerance of its dtype.

    Returns (opening rows in the order groups opened, final group number of every row, the
    rows flagged as representatives for the ascending-index presentation).
    """
    n = rows.shape[0]
    projection = row_sums(rows)
    order = sorted(range(n), key=lambda row: projection[row])  # stable: ties keep row order
    group_of = [-1] * n
    flagged = set()
    openings = []
    for position, opening in enumerate(order):
        if group_of[opening] != -1:
            continue
        group = len(openings)
        openings.append(opening)
        group_of[opening] = group
        flagged.add(opening)
        representative = opening
        for candidate in order[position + 1:]:
            gap = projection[candidate] - projection[opening]
            if not gap < tolerance:
                break
            if distance_below(rows[opening], rows[candidate], tolerance):
                group_of[candidate] = group
                if candidate < representative:
                    flagged.add(candidate)
                    flagged.discard(representative)
                    representative = candidate
                else:
                    flagged.discard(candidate)
    return openings, group_of, flagged


def by_opening_order(rows, openings, group_of):
    """Result tuple with groups in opening order, each represented by its opening row."""
    index = np.array(openings, dtype=np.int32)
    return rows[index], index, np.array(group_of, dtype=np.int32)


def by_lowest_row(rows, group_of):
    """Result tuple with groups in ascending order of their lowest member row, which represents
    the group."""
    new_number = {}
    index = []
    inverse = []
    for row, group in enumerate(group_of):
        if group not in new_number:
            new_number[group] = len(index)
            index.append(row)
        inverse.append(new_number[group])
    index = np.array(index, dtype=np.int32)
    return rows[index], index, np.array(inverse, dtype=np.int32)


def by_flags(rows, group_of, flagged, k):
    """Result tuple from the representative flags, walking rows in ascending index; None when
    some group lost its flagged row to a later group (the flags then do not name k rows)."""
    if sorted(group_of[row] for row in flagged) != list(range(k)):
        return None
    remap = [-1] * k
    index = []
    inverse = []
    for row, group in enumerate(group_of):
        if row in flagged:
            remap[group] = len(index)
            index.append(row)
        inverse.append(remap[group])
    index = np.array(index, dtype=np.int32)
    return rows[index], index, np.array(inverse, dtype=np.int32)


def unique_rows(rows, tolerance, sorted_index):
    """The sweep method's result tuple for a 2-D float32/float64 array; `tolerance` is rounded
    to the array's dtype first."""
    with np.errstate(all="ignore"):
        tolerance = rows.dtype.type(tolerance)
        openings, group_of, _ = sweep(rows, tolerance)
    if sorted_index:
        return by_lowest_row(rows, group_of)
    return by_opening_order(rows, openings, group_of)
