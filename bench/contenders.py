"""Everything the benchmark times: rilo's two methods, NumPy's exact and grid-rounding
deduplication, a k-d tree route, the mesh libraries' vertex welders, and two sort floors.
Each contender maps (rows, tolerance) to an inverse (group number per row), or to None for
a floor, which only sorts."""
import importlib
from dataclasses import dataclass
from typing import Callable

import numpy as np

import rilo


@dataclass(frozen=True)
class Contender:
    """A named way to group rows; `only_3d` marks callers that take 3-D points only and
    `everything` returns all the call's results (for the memory count), where it has more."""

    name: str
    kind: str
    run: Callable
    only_3d: bool = False
    everything: Callable | None = None


def rilo_contender(name, method, sorted_index):
    """rilo.unique_rows with the given method and index mode."""
    def everything(rows, tolerance):
        return rilo.unique_rows(rows, tolerance, sorted_index, method)

    return Contender(name, "rilo", lambda rows, tolerance: everything(rows, tolerance)[2],
                     everything=everything)


def numpy_exact(rows, tolerance):
    """Exact unique rows with index and inverse; ignores the tolerance."""
    return np.unique(rows, axis=0, return_index=True, return_inverse=True)[2]


def numpy_grid(rows, tolerance):
    """Snap every value to the nearest multiple of the tolerance, then exact unique rows."""
    cells = np.round(rows / tolerance).astype(np.int64)
    return np.unique(cells, axis=0, return_index=True, return_inverse=True)[2]


def kd_tree_components(rows, tolerance):
    """All pairs closer than the tolerance from a k-d tree, merged by connected components."""
    from scipy.sparse import coo_matrix
    from scipy.sparse.csgraph import connected_components
    from scipy.spatial import cKDTree

    n = len(rows)
    pairs = cKDTree(rows).query_pairs(tolerance, output_type="ndarray")
    graph = coo_matrix((np.ones(len(pairs), np.int8), (pairs[:, 0], pairs[:, 1])), shape=(n, n))
    return connected_components(graph, directed=False)[1]


def trimesh_unique_rows(rows, tolerance):
    """trimesh's grouping by rows rounded to the decimal digits of the tolerance."""
    import trimesh

    digits = trimesh.util.decimal_to_digits(tolerance)
    return trimesh.grouping.unique_rows(rows, digits=digits)[1]


def libigl_remove_duplicates(rows, tolerance):
    """libigl's remove_duplicate_vertices (float64 only, so float32 input is converted)."""
    import igl

    return igl.remove_duplicate_vertices(np.asarray(rows, np.float64), tolerance)[2]


def pcu_deduplicate(rows, tolerance):
    """point-cloud-utils' deduplicate_point_cloud on 3-D points."""
    import point_cloud_utils as pcu

    return pcu.deduplicate_point_cloud(rows, tolerance)[2]


def open3d_merge_close_vertices(rows, tolerance):
    """open3d's TriangleMesh.merge_close_vertices; one degenerate triangle per vertex carries
    the vertex map out of the merge."""
    import open3d

    vertex_ids = np.arange(len(rows), dtype=np.int32)[:, None].repeat(3, axis=1)
    mesh = open3d.geometry.TriangleMesh(open3d.utility.Vector3dVector(np.asarray(rows, np.float64)),
                                        open3d.utility.Vector3iVector(vertex_ids))
    return np.asarray(mesh.merge_close_vertices(tolerance).triangles)[:, 0]


def floor_first_column(rows, tolerance):
    """Stable argsort of the first column: one key, no tolerance."""
    np.argsort(rows[:, 0], kind="stable")


def floor_row_sum(rows, tolerance):
    """Stable argsort of the row sums: the projection sort without the sweep."""
    np.argsort(rows.sum(1), kind="stable")


RILO = [
    rilo_contender("rilo sort, sorted_index", "sort", True),
    rilo_contender("rilo sort", "sort", False),
    rilo_contender("rilo sweep, sorted_index", "A", True),
    rilo_contender("rilo sweep", "A", False),
]
FLOORS = [
    Contender("floor argsort x[:,0]", "floor", floor_first_column),
    Contender("floor argsort x.sum(1)", "floor", floor_row_sum),
]
NUMPY = [
    Contender("np.unique exact", "exact", numpy_exact),
    Contender("grid round + np.unique", "peer", numpy_grid),
    Contender("cKDTree pairs + components", "peer", kd_tree_components),
]
# (contender, module that must import for it to run)
LIBRARY_PEERS = [
    (Contender("trimesh unique_rows", "peer", trimesh_unique_rows), "trimesh"),
    (Contender("libigl remove_duplicate_vertices", "peer", libigl_remove_duplicates), "igl"),
    (Contender("pcu deduplicate_point_cloud", "peer", pcu_deduplicate, only_3d=True),
     "point_cloud_utils"),
    (Contender("open3d merge_close_vertices", "peer", open3d_merge_close_vertices, only_3d=True),
     "open3d"),
]


def importable(module):
    """None when `module` imports, else the reason it does not."""
    try:
        importlib.import_module(module)
    except Exception as error:  # a broken optional peer must not stop the benchmark
        return f"{type(error).__name__}: {error}"
    return None


def available_contenders(report):
    """Every contender whose library loads; `report` is told about the ones left out."""
    contenders = RILO + FLOORS + NUMPY
    for contender, module in LIBRARY_PEERS:
        reason = importable(module)
        if reason is None:
            contenders.append(contender)
        else:
            report(f"left out {contender.name}: {reason}")
    return contenders
