"""The mesh-welding demo: built-in mesh, users' .npy and .stl files, and bad input."""
import dataclasses
import importlib.util
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

DEMO = pathlib.Path(__file__).resolve().parent.parent / "examples" / "weld_mesh.py"
STL_RECORD = np.dtype([("normal", "<f4", (3,)), ("corners", "<f4", (3, 3)), ("attribute", "<u2")])
TABLE_ROW = re.compile(r"^  (rilo sort method|rilo sweep method|np\.unique\(axis=0\), exact)"
                       r"\s+([\d,]+)\s", re.M)
CUBE_CORNERS = np.array([[x, y, z] for x in (0, 1) for y in (0, 1) for z in (0, 1)], np.float32)
CUBE_FACES = np.array([[0, 1, 3], [0, 3, 2], [4, 6, 7], [4, 7, 5], [0, 4, 5], [0, 5, 1],
                       [2, 3, 7], [2, 7, 6], [0, 2, 6], [0, 6, 4], [1, 5, 7], [1, 7, 3]])


def run_demo(*arguments, cwd=None):
    """Runs the demo script with `arguments` and returns the finished process."""
    return subprocess.run([sys.executable, str(DEMO), *map(str, arguments)], cwd=cwd,
                          capture_output=True, text=True, timeout=300)


def unique_counts(stdout):
    """The unique-row count of each line of the timing table, by its label."""
    return {label: int(count.replace(",", "")) for label, count in TABLE_ROW.findall(stdout)}


def verdicts(stdout):
    """The OK / FAILED verdict of each method's rebuilt-mesh check."""
    return dict(re.findall(r"^  (rilo \w+ method)\s+(OK|FAILED)\s", stdout, re.M))


def write_stl(path, corners, header=b"binary STL written by the rilo tests"):
    """Writes triangles given as a (t, 3, 3) array of corners as a binary STL file."""
    records = np.zeros(len(corners), STL_RECORD)
    records["corners"] = corners
    path.write_bytes(header.ljust(80, b" ") + np.uint32(len(corners)).tobytes()
                     + records.tobytes())


def clustered_rows(clusters, copies, columns, noise):
    """`copies` copies of each of `clusters` rows on a grid one unit apart, moved by `noise`."""
    rng = np.random.default_rng(7)
    centres = rng.permutation(clusters * 4)[:clusters, None] + np.arange(columns)[None, :]
    rows = np.repeat(centres.astype(np.float64), copies, axis=0)
    return rng.permutation(rows + rng.uniform(-noise, noise, rows.shape))


def load_demo_module():
    """The demo script imported as a module, to test its checks directly."""
    demo_spec = importlib.util.spec_from_file_location("weld_mesh", DEMO)
    module = importlib.util.module_from_spec(demo_spec)
    demo_spec.loader.exec_module(module)
    return module


def test_builtin_mesh_welds_back_to_its_vertices():
    finished = run_demo()
    assert finished.returncode == 0, finished.stdout + finished.stderr
    assert "rows in    720,000 x 3, float64" in finished.stdout
    assert "expected   120,000 unique rows" in finished.stdout
    assert unique_counts(finished.stdout) == {
        "rilo sort method": 120_000, "rilo sweep method": 120_000,
        "np.unique(axis=0), exact": 720_000}
    assert verdicts(finished.stdout) == {"rilo sort method": "OK", "rilo sweep method": "OK"}
    assert finished.stdout.count("same connectivity as the original mesh") == 2
    assert "timing np.unique" in finished.stderr


def test_npy_file_with_near_duplicate_rows(tmp_path):
    np.save(tmp_path / "points.npy", clustered_rows(clusters=40, copies=5, columns=4, noise=1e-5))
    finished = run_demo("points.npy", "--tolerance", "1e-3", cwd=tmp_path)
    assert finished.returncode == 0, finished.stdout + finished.stderr
    assert "rows in    200 x 4, float64" in finished.stdout
    assert unique_counts(finished.stdout) == {
        "rilo sort method": 40, "rilo sweep method": 40, "np.unique(axis=0), exact": 200}
    assert verdicts(finished.stdout) == {"rilo sort method": "OK", "rilo sweep method": "OK"}


def test_integer_npy_file_is_read_as_float64(tmp_path):
    np.save(tmp_path / "grid.npy", np.array([[0, 1], [2, 3], [0, 1], [2, 3], [4, 5]]))
    finished = run_demo("grid.npy", cwd=tmp_path)
    assert finished.returncode == 0, finished.stdout + finished.stderr
    assert "read as float64" in finished.stdout
    assert unique_counts(finished.stdout)["rilo sort method"] == 3


def test_rows_holding_nan_are_pointed_out(tmp_path):
    rows = np.array([[0.0, 1.0], [np.nan, 1.0], [0.0, 1.0], [2.0, np.nan]])
    np.save(tmp_path / "gaps.npy", rows)
    finished = run_demo("gaps.npy", cwd=tmp_path)
    assert finished.returncode == 0, finished.stdout + finished.stderr
    assert "warning    2 rows hold NaN" in finished.stdout


def test_stl_cube_soup_welds_to_eight_corners(tmp_path):
    soup = CUBE_CORNERS[CUBE_FACES]
    moved = soup + np.random.default_rng(3).uniform(-1e-5, 1e-5, soup.shape).astype(np.float32)
    write_stl(tmp_path / "cube.stl", moved, header=b"solid cube, but binary")
    finished = run_demo("cube.stl", "--tolerance", "1e-3", cwd=tmp_path)
    assert finished.returncode == 0, finished.stdout + finished.stderr
    assert "rows in    36 x 3, float32" in finished.stdout
    assert unique_counts(finished.stdout) == {
        "rilo sort method": 8, "rilo sweep method": 8, "np.unique(axis=0), exact": 36}
    assert finished.stdout.count("12 triangles, 0 collapsed") == 2


def test_too_large_a_tolerance_collapses_stl_triangles(tmp_path):
    write_stl(tmp_path / "cube.stl", CUBE_CORNERS[CUBE_FACES])
    finished = run_demo("cube.stl", "--tolerance", "1.5", cwd=tmp_path)
    assert finished.returncode == 0, finished.stdout + finished.stderr
    # Every corner lies within 1.5 of the others per coordinate, so the sort method keeps one;
    # the far corner (1, 1, 1) is 1.73 away from (0, 0, 0), so the sweep keeps two.
    assert unique_counts(finished.stdout) == {
        "rilo sort method": 1, "rilo sweep method": 2, "np.unique(axis=0), exact": 8}
    assert finished.stdout.count("12 triangles, 12 collapsed") == 2


def bad_files(directory):
    """Files the demo must refuse, each with a phrase its error message must contain."""
    np.save(directory / "vector.npy", np.zeros(5))
    np.save(directory / "complex.npy", np.zeros((3, 2), complex))
    np.save(directory / "objects.npy", np.array([[1, "a"]], dtype=object), allow_pickle=True)
    (directory / "text.npy").write_text("1 2 3\n")
    (directory / "broken.npy").write_bytes(b"\x93NUMPY\x01\x00garbage")
    (directory / "points.csv").write_text("1,2,3\n")
    (directory / "folder.stl").mkdir()
    (directory / "short.stl").write_bytes(b"too short")
    (directory / "ascii.stl").write_text("solid t\nfacet normal 0 0 1\nendfacet\nendsolid t\n")
    write_stl(directory / "cut.stl", CUBE_CORNERS[CUBE_FACES])
    (directory / "cut.stl").write_bytes((directory / "cut.stl").read_bytes()[:-10])
    return {"missing.npy": "no such file", "vector.npy": "expected (n, m)",
            "complex.npy": "complex128", "objects.npy": "not a valid .npy file",
            "text.npy": "not a .npy file", "broken.npy": "not a valid .npy file",
            "points.csv": "expected a .npy or a binary .stl", "folder.stl": "is a directory",
            "short.stl": "too short", "ascii.stl": "ASCII STL",
            "cut.stl": "announces 12 triangles"}


def test_bad_files_get_a_one_line_error(tmp_path):
    for name, phrase in bad_files(tmp_path).items():
        finished = run_demo(name, cwd=tmp_path)
        assert finished.returncode == 1, (name, finished.stdout, finished.stderr)
        assert finished.stdout == ""
        assert finished.stderr.startswith("error: ") and finished.stderr.count("\n") == 1, name
        assert phrase in finished.stderr, (name, finished.stderr)


@pytest.mark.parametrize("tolerance", ["nan", "-1", "inf", "abc"])
def test_bad_tolerance_is_a_usage_error(tolerance):
    finished = run_demo("--tolerance", tolerance)
    assert finished.returncode == 2
    assert "error:" in finished.stderr and "Traceback" not in finished.stderr


def test_builtin_mesh_refuses_a_tolerance_that_merges_its_vertices():
    finished = run_demo("--tolerance", "0.01")
    assert finished.returncode == 1
    assert finished.stderr.startswith("error: the built-in mesh needs a tolerance between")


def test_checks_catch_a_wrong_welding():
    demo = load_demo_module()
    soup = demo.Soup(rows=np.array([[0.0, 0.0, 0.0]] * 3 + [[1.0, 0.0, 0.0]] * 3),
                     description="two triangles", triangles=True,
                     vertex_ids=np.array([0, 0, 0, 1, 1, 1]), expected_unique=2)
    right = demo.Timed("rilo sweep method", "distance", np.array([[0.0, 0, 0], [1.0, 0, 0]]),
                       np.array([0, 3]), np.array([0, 0, 0, 1, 1, 1]), 1.0)
    assert demo.check_lines(soup, right, 1e-6)[0]
    shifted = dataclasses.replace(right, unique=right.unique + 1e-3)
    assert not demo.check_lines(soup, shifted, 1e-6)[0]
    swapped = dataclasses.replace(right, inverse=np.array([0, 0, 1, 1, 1, 1]))
    assert not demo.check_lines(soup, swapped, 2.0)[0]

