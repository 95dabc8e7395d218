"""Inputs of the benchmark: near-duplicate rows, a triangle soup, and pairs that straddle
rounding boundaries, each with the true group of every row."""
import numpy as np

# Noise added to a duplicate, as a fraction of the tolerance: far below it, so every
# tolerance-aware method should merge the copies.
NOISE_FRACTION = 1e-3
# Offset of a straddling pair's members from the grid boundary, as a fraction of the
# tolerance: the pair lies well within tolerance but rounds to two grid cells.
STRADDLE_FRACTION = 1e-2
# Base values of straddling pairs are this many grid steps apart, so distinct pairs never
# come within tolerance of each other.
STRADDLE_SPACING = 4
# Tolerance per element type (the same for both: float32 resolves about 6e-8 near 1, so
# 1e-6 is 16 of its steps; the noise of the copies is below its resolution).
TOLERANCE = {np.float64: 1e-6, np.float32: 1e-6}


def near_duplicates(n, m, dtype, seed=0):
    """Rows in [0, 1)^m where half are noisy copies of the others, shuffled; returns (rows, labels)."""
    rng = np.random.default_rng(seed)
    n_base = n - n // 2
    base = rng.random((n_base, m))
    copied = rng.integers(0, n_base, n // 2)
    noise = rng.uniform(-1, 1, (n // 2, m)) * TOLERANCE[dtype] * NOISE_FRACTION
    rows = np.concatenate([base, base[copied] + noise])
    labels = np.concatenate([np.arange(n_base), copied])
    order = rng.permutation(n)
    return rows[order].astype(dtype), labels[order]


def with_near_duplicates(base, n, dtype, rng):
    """`base` rows followed by n // 2 noisy copies of random ones, shuffled; returns (rows,
    labels)."""
    copied = rng.integers(0, len(base), n // 2)
    noise = rng.uniform(-1, 1, (n // 2, base.shape[1])) * TOLERANCE[dtype] * NOISE_FRACTION
    rows = np.concatenate([base, base[copied] + noise])
    labels = np.concatenate([np.arange(len(base)), copied])
    order = rng.permutation(n)
    return rows[order].astype(dtype), labels[order]


def shared_sums(kind, n, dtype, seed=0):
    """Rows that all share (nearly) one row sum, half of them noisy copies: "dirichlet", points
    of the probability simplex (m = 3, sum 1); "centred", normal rows minus their mean (m = 8,
    sum 0); "antidiagonal", the rows (i, -i) (m = 2, sum 0). Returns (rows, labels)."""
    rng = np.random.default_rng(seed)
    n_base = n - n // 2
    if kind == "dirichlet":
        base = rng.dirichlet(np.ones(3), n_base)
    elif kind == "centred":
        base = rng.normal(size=(n_base, 8))
        base -= base.mean(axis=1, keepdims=True)
    else:
        i = np.arange(n_base, dtype=np.float64)
        base = np.stack([i, -i], axis=1)
    return with_near_duplicates(base, n, dtype, rng)


def grid_size_for(n_rows):
    """Side of the square vertex grid whose triangle soup has about `n_rows` rows."""
    return max(2, int(round(np.sqrt(n_rows / 6.0))) + 1)


def triangle_soup(n, dtype, seed=0):
    """Every triangle of a wavy grid mesh written out with its own three vertices (about n
    rows, each vertex repeated up to six times, plus noise); returns (rows, labels)."""
    rng = np.random.default_rng(seed)
    side = grid_size_for(n)
    u, v = np.meshgrid(np.linspace(0, 1, side), np.linspace(0, 1, side), indexing="ij")
    vertices = np.stack([u, v, 0.1 * np.sin(6 * u) * np.cos(5 * v)], axis=-1).reshape(-1, 3)
    corner = (np.arange(side - 1)[:, None] * side + np.arange(side - 1)[None, :]).ravel()
    faces = np.concatenate([
        np.stack([corner, corner + side, corner + 1], axis=1),
        np.stack([corner + 1, corner + side, corner + side + 1], axis=1),
    ])
    labels = faces.ravel()
    noise = rng.uniform(-1, 1, (labels.size, 3)) * TOLERANCE[dtype] * NOISE_FRACTION
    return (vertices[labels] + noise).astype(dtype), labels


def straddling_pairs(n_pairs, m, tolerance, seed=0):
    """Float64 pairs of rows within tolerance of each other whose every column straddles a
    multiple (first half of the pairs) or an odd half-multiple (second half) of the
    tolerance, shuffled; returns (rows, labels) with one label per pair."""
    rng = np.random.default_rng(seed)
    steps = STRADDLE_SPACING * rng.integers(0, 10**6, (n_pairs, m)).astype(np.float64)
    steps[n_pairs // 2:] += 0.5
    offset = STRADDLE_FRACTION * tolerance
    centre = steps * tolerance
    rows = np.concatenate([centre - offset, centre + offset])
    labels = np.concatenate([np.arange(n_pairs), np.arange(n_pairs)])
    order = rng.permutation(2 * n_pairs)
    return rows[order], labels[order]


def split_true_groups(labels, inverse):
    """Number of rows not merged with the first row of their true group: 0 when every true
    group landed in one group of `inverse`."""
    first = np.unique(labels, return_index=True)[1]
    group_of_first = np.empty(labels.max() + 1, dtype=np.int64)
    group_of_first[labels[first]] = inverse[first]
    return int(np.count_nonzero(group_of_first[labels] != inverse))
