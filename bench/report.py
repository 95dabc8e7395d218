"""Text tables, target checks and the plot of a benchmark run."""
import datetime
import importlib.metadata
import os
import platform

import numpy as np

import datasets

# Names the targets refer to.
SORT_MODES = ["rilo sort, sorted_index", "rilo sort"]
SWEEP_MODES = ["rilo sweep, sorted_index", "rilo sweep"]
EXACT = "np.unique exact"
KD_TREE = "cKDTree pairs + components"
FLOOR_COLUMN = "floor argsort x[:,0]"
FLOOR_SUM = "floor argsort x.sum(1)"
# (description, slower contender, faster contender, bound, True when the ratio must reach
# the bound, False when it must stay at or below it)
TARGETS = [(f"{EXACT} / {mode}", EXACT, mode, 8.0, True) for mode in SORT_MODES] + \
    [(f"{mode} / {FLOOR_COLUMN}", mode, FLOOR_COLUMN, 2.0, False) for mode in SORT_MODES] + \
    [(f"{KD_TREE} / {mode}", KD_TREE, mode, 10.0, True) for mode in SWEEP_MODES] + \
    [(f"{mode} / {FLOOR_SUM}", mode, FLOOR_SUM, 1.5, False) for mode in SWEEP_MODES]
PEER_PACKAGES = ["numpy", "scipy", "trimesh", "libigl", "point-cloud-utils", "open3d", "matplotlib"]
KIND_NAMES = {"near": "near-duplicates", "soup": "triangle soup", "dirichlet": "shared sums: Dirichlet",
              "centred": "shared sums: row-centred normal", "antidiagonal": "shared sums: (i, -i)"}
# The sweep on rows sharing their row sum may take at most this many times its time on
# scattered near-duplicates of the same shape and size.
SHARED_SUM_BOUND = 3.0


def package_version(name):
    """Installed version of a distribution, or 'absent'."""
    try:
        return importlib.metadata.version(name)
    except importlib.metadata.PackageNotFoundError:
        return "absent"


def cpu_name():
    """The processor's model name from /proc/cpuinfo."""
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor()


def environment_summary():
    """One paragraph saying when, where and against which versions the run was made."""
    versions = ", ".join(f"{name} {package_version(name)}" for name in PEER_PACKAGES)
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    load = ", ".join(f"{value:.1f}" for value in os.getloadavg())
    return (f"rilo benchmark, {when}\nPython {platform.python_version()} on {cpu_name()} "
            f"({os.cpu_count()} cores, load average at start {load})\n{versions}\n"
            f"tolerance: float64 {datasets.TOLERANCE[np.float64]}, float32 {datasets.TOLERANCE[np.float32]}; "
            "times are best of k, ratios are time / time of the named rilo call")


def case_title(case):
    """One line naming the input of a case."""
    return (f"\n== {KIND_NAMES[case['kind']]}, m={case['m']}, {case['dtype']}, n={case['n']} rows, "
            f"{case['true_groups']} true groups")


def case_table(case):
    """The times of one case, with ratios to rilo's unsorted sort and sweep calls, the number
    of groups found and the rows split from their true group."""
    results = case["results"]
    sort_time = results["rilo sort"]["best"]
    sweep_time = results["rilo sweep"]["best"]
    lines = [case_title(case),
             f"{'contender':34} {'best ms':>10} {'/sort':>8} {'/sweep':>8} {'groups':>9} {'split':>8}"]
    for name, result in sorted(results.items(), key=lambda item: item[1]["best"]):
        groups = "" if result["groups"] is None else result["groups"]
        split = "" if result["split"] is None else result["split"]
        lines.append(f"{name:34} {1e3 * result['best']:10.2f} {result['best'] / sort_time:8.2f} "
                     f"{result['best'] / sweep_time:8.2f} {groups:>9} {split:>8}")
    return "\n".join(lines)


def straddle_table(failures, pairs):
    """Rows each contender failed to merge with their true twin on straddling pairs."""
    lines = [f"\n== rounding-boundary pairs: {pairs} pairs (m=3, float64), each within 2% of the "
             "tolerance and straddling a multiple or half-multiple of it; rows split from their twin"]
    for name, split in sorted(failures.items(), key=lambda item: item[1]):
        lines.append(f"{name:34} {split:>8}")
    return "\n".join(lines)


def memory_table(n, measured):
    """Peak extra resident memory per call, and what remains beyond the returned arrays."""
    lines = [f"\n== peak memory, near-duplicates m=3 float64 n={n} (fresh child process per call; "
             "VmHWM after reset - VmRSS before; input not counted)",
             f"{'call':34} {'extra MB':>9} {'results MB':>11} {'beyond B/row':>13}"]
    for name, result in measured.items():
        beyond = (result["extra_bytes"] - result["result_bytes"]) / n
        lines.append(f"{name:34} {result['extra_bytes'] / 1e6:9.1f} {result['result_bytes'] / 1e6:11.1f} "
                     f"{beyond:13.1f}")
    return "\n".join(lines)


def headline_case(cases, headline):
    """The case the targets are stated for: the headline series at one million rows."""
    kind, m, dtype = headline
    matching = [c for c in cases if (c["kind"], c["m"], c["dtype"]) == (kind, m, np.dtype(dtype).name)]
    exact = [c for c in matching if c["n"] == 10**6]
    return (exact or matching)[-1]


def targets(cases, headline):
    """Each time target with its measured ratio and whether it was met."""
    case = headline_case(cases, headline)
    results = case["results"]
    lines = [f"\n== targets at n={case['n']}, m={case['m']}, {case['dtype']}, near-duplicates"]
    for description, slower, faster, bound, at_least in TARGETS:
        if slower not in results or faster not in results:
            lines.append(f"{description:64} not measured")
            continue
        ratio = results[slower]["best"] / results[faster]["best"]
        met = ratio >= bound if at_least else ratio <= bound
        sign = ">=" if at_least else "<="
        lines.append(f"{description:64} {ratio:6.2f}  (target {sign} {bound:g}) {'met' if met else 'MISSED'}")
    return "\n".join(lines)


def shared_sum_table(cases):
    """The sweep's time on each shared-sum input against its scattered twin (near-duplicates of
    the same columns, dtype and row count), with the target."""
    lines = [f"\n== sweep on rows sharing their row sum / on scattered near-duplicates of the same shape "
             f"(target <= {SHARED_SUM_BOUND:g})"]
    twins = {(c["m"], c["dtype"], c["n"]): c for c in cases if c["kind"] == "near"}
    for case in cases:
        if case["kind"] in ("near", "soup"):
            continue
        twin = twins.get((case["m"], case["dtype"], case["n"]))
        for mode in SWEEP_MODES:
            name = f"{KIND_NAMES[case['kind']]}, m={case['m']}, n={case['n']}, {mode}"
            if twin is None or mode not in case["results"] or mode not in twin["results"]:
                lines.append(f"{name:72} not measured")
                continue
            ratio = case["results"][mode]["best"] / twin["results"][mode]["best"]
            met = "met" if ratio <= SHARED_SUM_BOUND else "MISSED"
            lines.append(f"{name:72} {ratio:6.2f}  {met}")
    return "\n".join(lines)


def plot(cases, path):
    """Log-log plot of best time against rows, one panel per series, one line per contender."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    series = sorted({(c["kind"], c["m"], c["dtype"]) for c in cases}, key=str)
    names = sorted({name for c in cases for name in c["results"]})
    columns = 4
    figure, axes = plt.subplots(-(-len(series) // columns), columns, figsize=(18, 9), squeeze=False)
    for axis, key in zip(axes.ravel(), series):
        plot_series(axis, [c for c in cases if (c["kind"], c["m"], c["dtype"]) == key], names, key)
    for axis in axes.ravel()[len(series):]:
        axis.axis("off")
    handles = [plt.Line2D([], [], label=name, **line_style(name, index)) for index, name in enumerate(names)]
    figure.legend(handles=handles, loc="lower right", fontsize=9, ncol=1, frameon=False)
    figure.suptitle("rilo and peers: best time against rows (log-log)")
    figure.tight_layout(rect=(0, 0, 1, 0.97))
    figure.savefig(path, dpi=100)
    plt.close(figure)


def plot_series(axis, series_cases, names, key):
    """One panel: a line per contender over the row counts of one series."""
    kind, m, dtype = key
    for index, name in enumerate(names):
        points = [(c["n"], c["results"][name]["best"]) for c in series_cases if name in c["results"]]
        if not points:
            continue
        rows, seconds = zip(*points)
        style = line_style(name, index)
        axis.loglog(rows, seconds, label=name, **style)
    axis.set_title(f"{KIND_NAMES[kind]}, m={m}, {dtype}", fontsize=10)
    axis.set_xlabel("rows")
    axis.set_ylabel("seconds")
    axis.grid(True, which="major", alpha=0.3)


def line_style(name, index):
    """Bold solid lines for rilo, dotted for floors, thin dashed for peers; the colour is fixed
    by the contender's place in the sorted list of names, so it is the same in every panel."""
    import matplotlib

    colour = matplotlib.colormaps["tab20"](index % 20)
    if name.startswith("rilo"):
        return {"linewidth": 2.6, "marker": "o", "markersize": 4, "color": colour}
    if name.startswith("floor"):
        return {"linewidth": 1.5, "linestyle": ":", "color": "black" if "sum" in name else "grey"}
    return {"linewidth": 1.0, "marker": ".", "linestyle": "--", "color": colour}
