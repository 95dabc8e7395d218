"""Weld the vertices of a triangle soup back into an indexed mesh with rilo's two methods.

Without a file it builds a torus whose every triangle carries its own copies of its corners,
each copy moved by a tiny amount, as mesh exporters leave them. With a file it welds the rows
of a .npy array of shape (n, m) or the corners of a binary .stl mesh:

    python examples/weld_mesh.py [FILE] [--tolerance T]

It prints the rows in, the unique rows out, the time of each method next to np.unique(axis=0)
on the same data, and checks that the faces rebuilt through the inverse give back the
triangles. Exit status: 0 when every check passes, 1 when a check fails or the file cannot
be used, 2 for a wrong command line.
"""
import argparse
import contextlib
import dataclasses
import io
import pathlib
import sys
import time

import numpy as np

import rilo

DEFAULT_TOLERANCE = 1e-6
# Segments around the ring and around the tube of the built-in torus: 120,000 vertices and
# 720,000 soup rows, enough for the timings to mean something and still quick to run.
RING_SEGMENTS = 400
TUBE_SEGMENTS = 300
RING_RADIUS = 1.0
TUBE_RADIUS = 0.4
# Built-in corner copies move by up to this fraction of the tolerance: far below it.
PERTURBATION_PER_TOLERANCE = 1e-3
# The built-in torus's vertices lie about 0.008 apart; a tolerance near that would merge
# neighbours, and one near the float64 resolution of its coordinates would merge nothing.
BUILTIN_TOLERANCE_RANGE = (1e-10, 1e-3)
# Timings keep the best of up to this many runs, and stop repeating once a method has used
# this many seconds, so that a large file is timed once.
TIMING_RUNS = 3
TIMING_BUDGET_SECONDS = 1.0
NPY_MAGIC = b"\x93NUMPY"
STL_HEADER_BYTES = 80
STL_COUNT_BYTES = 4
STL_RECORD = np.dtype([("normal", "<f4", (3,)), ("corners", "<f4", (3, 3)), ("attribute", "<u2")])
# Label, `method` argument (any string that starts with "a" or "A" selects the projection
# sweep) and the closeness each method promises: per coordinate, or Euclidean distance.
METHODS = (("rilo sort method", "sort", "per coordinate"), ("rilo sweep method", "a", "distance"))


class DemoError(Exception):
    """A problem with the input that the demo reports in one line."""


@dataclasses.dataclass
class Soup:
    """Rows to weld, what they are, and what is known about their welding."""

    rows: np.ndarray
    description: str
    triangles: bool
    vertex_ids: np.ndarray | None = None
    expected_unique: int | None = None


@dataclasses.dataclass
class Timed:
    """The result of one welding and its best time in seconds."""

    label: str
    closeness: str
    unique: np.ndarray
    index: np.ndarray
    inverse: np.ndarray
    seconds: float


def parse_arguments(argv):
    """The command line as an argparse namespace; argparse exits with status 2 on misuse."""
    parser = argparse.ArgumentParser(
        description="Weld a triangle soup (or any float rows) with rilo's two methods.")
    parser.add_argument("file", nargs="?", type=pathlib.Path,
                        help="a .npy array of shape (n, m) or a binary .stl mesh "
                             "(default: a built-in torus)")
    parser.add_argument("--tolerance", type=float, default=DEFAULT_TOLERANCE,
                        help=f"rows closer than this count as one (default {DEFAULT_TOLERANCE:g})")
    arguments = parser.parse_args(argv)
    if not np.isfinite(arguments.tolerance) or arguments.tolerance < 0:
        parser.error(f"--tolerance must be a finite number >= 0, got {arguments.tolerance}")
    return arguments


@contextlib.contextmanager
def progress(message):
    """Shows on stderr that `message` is under way and, when it ends, how long it took."""
    print(f"... {message}", end="", file=sys.stderr, flush=True)
    start = time.perf_counter()
    try:
        yield
    finally:
        print(f" ({time.perf_counter() - start:.2f} s)", file=sys.stderr, flush=True)


def torus_vertices(ring_segments, tube_segments):
    """The torus's vertices, tube index fastest, as a (ring * tube, 3) float64 array."""
    ring = np.linspace(0.0, 2.0 * np.pi, ring_segments, endpoint=False)[:, None]
    tube = np.linspace(0.0, 2.0 * np.pi, tube_segments, endpoint=False)[None, :]
    radius = RING_RADIUS + TUBE_RADIUS * np.cos(tube)
    x = radius * np.cos(ring)
    y = radius * np.sin(ring)
    z = np.broadcast_to(TUBE_RADIUS * np.sin(tube), x.shape)
    return np.stack([x, y, z], axis=-1).reshape(-1, 3)


def torus_faces(ring_segments, tube_segments):
    """Two triangles per grid cell of the torus, wrapping around both ways, as (2 * cells, 3)."""
    i, j = np.meshgrid(np.arange(ring_segments), np.arange(tube_segments), indexing="ij")
    next_i = (i + 1) % ring_segments
    next_j = (j + 1) % tube_segments
    a = i * tube_segments + j
    b = next_i * tube_segments + j
    c = next_i * tube_segments + next_j
    d = i * tube_segments + next_j
    faces = np.stack([np.stack([a, b, c], -1), np.stack([a, c, d], -1)], axis=2)
    return faces.reshape(-1, 3)


def check_builtin_tolerance(tolerance):
    """Refuses a tolerance that the built-in mesh cannot show welding with."""
    low, high = BUILTIN_TOLERANCE_RANGE
    if not low <= tolerance <= high:
        raise DemoError(f"the built-in mesh needs a tolerance between {low:g} and {high:g}, "
                        f"got {tolerance:g}")


def builtin_soup(tolerance):
    """The built-in torus as a triangle soup whose corner copies move far less than `tolerance`."""
    vertices = torus_vertices(RING_SEGMENTS, TUBE_SEGMENTS)
    vertex_ids = torus_faces(RING_SEGMENTS, TUBE_SEGMENTS).ravel()
    shift = tolerance * PERTURBATION_PER_TOLERANCE
    noise = np.random.default_rng(seed=2026).uniform(-shift, shift, (vertex_ids.size, 3))
    description = (f"built-in torus, {vertex_ids.size // 3:,} triangles, each corner a copy "
                   f"moved by up to {shift:.0e}")
    return Soup(rows=vertices[vertex_ids] + noise, description=description, triangles=True,
                vertex_ids=vertex_ids, expected_unique=len(vertices))


def read_bytes(path):
    """The contents of `path`, or a DemoError naming why it cannot be read."""
    try:
        return path.read_bytes()
    except FileNotFoundError:
        raise DemoError(f"no such file: {path}") from None
    except IsADirectoryError:
        raise DemoError(f"{path} is a directory, not a file") from None
    except OSError as error:
        raise DemoError(f"cannot read {path}: {error.strerror or error}") from None


def npy_soup(path):
    """The rows of a .npy file holding a two-dimensional array of real numbers."""
    content = read_bytes(path)
    if not content.startswith(NPY_MAGIC):
        raise DemoError(f"{path} is not a .npy file: it does not start with the .npy signature")
    try:
        array = np.load(io.BytesIO(content), allow_pickle=False)
    except (ValueError, OSError, EOFError) as error:
        raise DemoError(f"{path} is not a valid .npy file: {error}") from None
    if array.ndim != 2:
        raise DemoError(f"{path} holds an array of shape {array.shape}; expected (n, m)")
    rows, read_as = as_float_rows(array, path)
    return Soup(rows=rows, description=f"{path} (.npy array{read_as})",
                triangles=array.shape[1] == 3 and len(array) % 3 == 0)


def as_float_rows(array, path):
    """`array` as float32 or float64, and a note when it was converted: integers and float16
    become float64, other element types are refused."""
    if array.dtype in (np.float32, np.float64):
        return array, ""
    if array.dtype.kind in "iu" or array.dtype == np.float16:
        return array.astype(np.float64), f" of {array.dtype}, read as float64"
    raise DemoError(f"{path} holds {array.dtype} values; expected real numbers")


def stl_soup(path):
    """The triangle corners of a binary STL file as a (3 * triangles, 3) float32 array."""
    content = read_bytes(path)
    header_size = STL_HEADER_BYTES + STL_COUNT_BYTES
    count = None
    if len(content) >= header_size:
        count = int(np.frombuffer(content, "<u4", count=1, offset=STL_HEADER_BYTES)[0])
    if count is None or len(content) != header_size + count * STL_RECORD.itemsize:
        if content.lstrip().startswith(b"solid"):
            raise DemoError(f"{path} looks like an ASCII STL file; save it as binary STL")
    if count is None:
        raise DemoError(f"{path} is too short for a binary STL file ({len(content)} bytes)")
    if len(content) != header_size + count * STL_RECORD.itemsize:
        raise DemoError(f"{path} is not a valid binary STL file: its header announces {count:,} "
                        f"triangles, which need {header_size + count * STL_RECORD.itemsize:,} "
                        f"bytes, but it has {len(content):,}")
    records = np.frombuffer(content, STL_RECORD, count=count, offset=header_size)
    rows = np.ascontiguousarray(records["corners"]).reshape(-1, 3)
    return Soup(rows=rows, description=f"{path} (binary STL, {count:,} triangles)", triangles=True)


def user_soup(path):
    """The rows of a user's .npy or .stl file."""
    if path.is_dir():
        raise DemoError(f"{path} is a directory, not a file")
    readers = {".npy": npy_soup, ".stl": stl_soup}
    reader = readers.get(path.suffix.lower())
    if reader is None:
        raise DemoError(f"cannot read {path}: expected a .npy or a binary .stl file")
    return reader(path)


def best_time(call):
    """The result of `call()` and its best time over up to TIMING_RUNS runs."""
    best = float("inf")
    spent = 0.0
    for _ in range(TIMING_RUNS):
        start = time.perf_counter()
        result = call()
        elapsed = time.perf_counter() - start
        best = min(best, elapsed)
        spent += elapsed
        if spent > TIMING_BUDGET_SECONDS:
            break
    return result, best


def run_rilo(rows, tolerance, label, method, closeness):
    """Welds `rows` with one rilo method (groups in the order met) and times it."""
    with progress(f"timing {label}"):
        (unique, index, inverse), seconds = best_time(
            lambda: rilo.unique_rows(rows, tolerance, False, method))
    return Timed(label, closeness, unique, index, inverse, seconds)


def run_numpy(rows):
    """Finds the exactly unique rows with np.unique(axis=0) and times it."""
    label = "np.unique(axis=0), exact"
    with progress(f"timing {label} on {len(rows):,} rows"):
        (unique, index, inverse), seconds = best_time(
            lambda: np.unique(rows, axis=0, return_index=True, return_inverse=True))
    return Timed(label, "exact", unique, index, inverse.reshape(-1), seconds)


def seconds_text(seconds):
    """A duration in a unit that suits it: "1.23 s", "45.6 ms" or "789 us"."""
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds * 1e6:.0f} us"


def ratio_text(seconds, reference_seconds):
    """How `seconds` compares with `reference_seconds`, as "12.3x faster" or "1.5x slower"."""
    if seconds <= 0 or reference_seconds <= 0:
        return "n/a"
    if seconds <= reference_seconds:
        return f"{reference_seconds / seconds:.1f}x faster"
    return f"{seconds / reference_seconds:.1f}x slower"


def timing_table(results, reference):
    """The lines of the table of unique-row counts, times and ratios to `reference`."""
    lines = [f"  {'(rilo: sorted_index=False)':<26}{'unique rows':>12}{'time':>12}   vs np.unique"]
    for result in results:
        ratio = "-" if result is reference else ratio_text(result.seconds, reference.seconds)
        lines.append(f"  {result.label:<26}{len(result.unique):>12,}"
                     f"{seconds_text(result.seconds):>12}   {ratio}")
    return lines


def coordinate_differences(rows, rebuilt):
    """Absolute differences of the coordinates, in the rows' own precision, with 0 where both
    are NaN or the same infinity: rilo keeps such coordinates together."""
    same = (rows == rebuilt) | (np.isnan(rows) & np.isnan(rebuilt))
    return np.where(same, rows.dtype.type(0), np.abs(rows - rebuilt))


def largest_box_shift(rows, rebuilt, tolerance):
    """Largest per-coordinate difference between rows and their rebuilt rows, and whether every
    one is within `tolerance` as the sort method compares, in the rows' own precision."""
    difference = coordinate_differences(rows, rebuilt)
    limit = rows.dtype.type(tolerance)
    largest = float(difference.max()) if difference.size else 0.0
    return largest, bool(np.all(difference <= limit))


def largest_distance(rows, rebuilt, tolerance):
    """Largest Euclidean distance between rows and their rebuilt rows, and whether every one is
    below `tolerance`, summing squares column by column in the rows' own precision as the sweep
    method does."""
    squared = np.zeros(len(rows), dtype=rows.dtype)
    difference = coordinate_differences(rows, rebuilt)
    for column in range(rows.shape[1]):
        squared = squared + difference[:, column] ** 2
    limit = rows.dtype.type(tolerance)
    largest = float(np.sqrt(squared.max())) if squared.size else 0.0
    return largest, bool(np.all(squared < limit * limit))


def closeness_check(soup, result, tolerance):
    """Whether every row lies within the method's tolerance of the unique row that its inverse
    names, and a sentence saying how far the farthest one lies."""
    rebuilt = result.unique[result.inverse]
    if result.closeness == "per coordinate":
        largest, ok = largest_box_shift(soup.rows, rebuilt, tolerance)
        bound = f"within {tolerance:g} per coordinate of"
    else:
        largest, ok = largest_distance(soup.rows, rebuilt, tolerance)
        bound = f"closer than {tolerance:g} to"
    what = "corner" if soup.triangles else "row"
    return ok, f"every {what} {bound} its original (largest shift {largest:.2g})"


def connectivity_check(soup, result):
    """Whether the welded faces name the original mesh's vertices one to one, and a sentence."""
    pairs = np.unique(np.stack([soup.vertex_ids, result.inverse]), axis=1).shape[1]
    ok = pairs == soup.expected_unique == len(result.unique)
    if ok:
        return ok, "same connectivity as the original mesh"
    return ok, f"connectivity differs from the original mesh ({pairs:,} vertex pairings)"


def faces_summary(result):
    """A sentence on the faces rebuilt through the inverse: how many triangles, and how many
    collapsed because two of their corners became one vertex."""
    faces = result.inverse.reshape(-1, 3)
    collapsed = (faces[:, 0] == faces[:, 1]) | (faces[:, 1] == faces[:, 2]) | \
        (faces[:, 0] == faces[:, 2])
    return f"{len(faces):,} triangles, {np.count_nonzero(collapsed):,} collapsed"


def check_lines(soup, result, tolerance):
    """Whether the welding in `result` passes every check, and the report lines saying so."""
    ok, closeness = closeness_check(soup, result, tolerance)
    sentences = [faces_summary(result)] if soup.triangles else []
    if soup.vertex_ids is not None:
        connected, connectivity = connectivity_check(soup, result)
        ok = ok and connected
        sentences.append(connectivity)
    if soup.expected_unique is not None and len(result.unique) != soup.expected_unique:
        ok = False
        sentences.append(f"{len(result.unique):,} unique rows, "
                         f"expected {soup.expected_unique:,}")
    sentences.append(closeness)
    verdict = "OK" if ok else "FAILED"
    lines = [f"  {result.label:<19}{verdict:<8}{sentences[0]}"]
    lines += [f"  {'':<27}{sentence}" for sentence in sentences[1:]]
    return ok, lines


def nan_warning(rows):
    """A warning line when some rows hold NaN: they cannot weld to any vertex with a number."""
    nan_rows = np.count_nonzero(np.isnan(rows).any(axis=1))
    if nan_rows == 0:
        return []
    return [f"warning    {nan_rows:,} rows hold NaN: they weld only to rows with NaN in the same "
            f"columns; drop them first with rows[~np.isnan(rows).any(axis=1)]"]


def report_header(soup, tolerance):
    """The lines that describe the input."""
    rows = soup.rows
    expected = (f"{soup.expected_unique:,} unique rows (the mesh's vertices)"
                if soup.expected_unique is not None else "not known for a user's file")
    return [f"rilo {rilo.__version__}: welding rows that lie within a tolerance of each other",
            "",
            f"input      {soup.description}",
            f"rows in    {rows.shape[0]:,} x {rows.shape[1]}, {rows.dtype}",
            *nan_warning(rows),
            f"tolerance  {tolerance:g}",
            f"expected   {expected}",
            ""]


def weld_and_report(soup, tolerance):
    """Welds `soup` with both methods and np.unique, prints the report, and tells whether every
    check passed."""
    welded = [run_rilo(soup.rows, tolerance, *method) for method in METHODS]
    exact = run_numpy(soup.rows)
    lines = report_header(soup, tolerance) + timing_table(welded + [exact], exact)
    if len(exact.unique) > max(len(result.unique) for result in welded):
        lines.append("  (np.unique compares exactly: copies that differ in any bit stay apart)")
    rebuilt = ("mesh: vertices = unique rows, faces = inverse.reshape(-1, 3)" if soup.triangles
               else "rows: unique[inverse]")
    lines += ["", f"rebuilt {rebuilt}"]
    outcomes = [check_lines(soup, result, tolerance) for result in welded]
    lines += [line for _, result_lines in outcomes for line in result_lines]
    print("\n".join(lines))
    return all(ok for ok, _ in outcomes)


def main(argv=None):
    """Runs the demo and returns its exit status."""
    arguments = parse_arguments(argv)
    try:
        if arguments.file is None:
            check_builtin_tolerance(arguments.tolerance)
            with progress("building the built-in torus"):
                soup = builtin_soup(arguments.tolerance)
        else:
            soup = user_soup(arguments.file)
        passed = weld_and_report(soup, arguments.tolerance)
    except DemoError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    except (ValueError, RuntimeError, MemoryError) as error:
        print(f"error: the input could not be welded: {error}", file=sys.stderr)
        return 1
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
