"""A wheel installs into a fresh virtual environment, pulls in NumPy, carries the type stubs and
the licence, and passes the module's tests there, away from the source tree. The wheel is the
one RILO_WHEEL names (`make wheel` passes its repaired manylinux wheel), else one that `pip
wheel .` builds from the source tree through the build tree of `make build`."""
import os
import pathlib
import shutil
import subprocess
import sys
import zipfile

import pytest

pytestmark = pytest.mark.wheel

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The tests that exercise the module alone, with NumPy and pytest and nothing of the tree.
MODULE_TESTS = ["test_module.py", "test_sort_method.py", "test_sweep_method.py",
                "test_sweep_reference.py", "test_golden_results.py"]
# Installing takes well under a minute here; the limit only stops a hung step.
STEP_TIMEOUT_SECONDS = 600


# Settings that point at another build of rilo (a sanitizer run sets both), not at the wheel.
FOREIGN_SETTINGS = ("PYTHONPATH", "LD_PRELOAD", "RILO_BUILD_DIR")


def run(command, cwd):
    """Runs `command` in `cwd` without FOREIGN_SETTINGS, failing the test with its output on
    error."""
    environment = {key: value for key, value in os.environ.items()
                   if key not in FOREIGN_SETTINGS}
    finished = subprocess.run([str(part) for part in command], cwd=cwd, env=environment,
                              capture_output=True, text=True, timeout=STEP_TIMEOUT_SECONDS)
    assert finished.returncode == 0, f"{command}\n{finished.stdout}\n{finished.stderr}"
    return finished.stdout


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    """The wheel under test: RILO_WHEEL's, or one built by `pip wheel .` with this
    interpreter's build tools (its build tree is the one `make build` left, so nothing is
    compiled again)."""
    if os.environ.get("RILO_WHEEL"):
        return pathlib.Path(os.environ["RILO_WHEEL"]).resolve()
    directory = tmp_path_factory.mktemp("wheel")
    run([sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation",
         "--wheel-dir", directory, ROOT], cwd=ROOT)
    (built,) = directory.glob("rilo-*.whl")
    return built


@pytest.fixture(scope="module")
def installed(wheel, tmp_path_factory):
    """The Python of a fresh virtual environment with the wheel and pytest installed."""
    directory = tmp_path_factory.mktemp("venv")
    run([sys.executable, "-m", "venv", directory / "env"], cwd=directory)
    python = directory / "env" / "bin" / "python"
    run([python, "-m", "pip", "install", "--quiet", wheel, "pytest"], cwd=directory)
    return python


def test_wheel_carries_module_stubs_and_licence(wheel):
    names = zipfile.ZipFile(wheel).namelist()
    assert any(name.startswith("rilo.cpython-313") and name.endswith(".so") for name in names)
    assert "rilo-stubs/__init__.pyi" in names and "rilo.pyi" in names
    assert "rilo-0.1.0.dist-info/licenses/LICENSE" in names
    metadata = zipfile.ZipFile(wheel).read("rilo-0.1.0.dist-info/METADATA").decode()
    assert "Requires-Dist: numpy" in metadata
    assert "License-Expression: MIT" in metadata
    assert {"rilo_dask/__init__.py", "rilo_dask/py.typed"} <= set(names)
    assert "Provides-Extra: dask" in metadata
    assert any(line.startswith("Requires-Dist: distributed") and "extra == \"dask\"" in line
               for line in metadata.splitlines())


@pytest.mark.skipif(not os.environ.get("RILO_WHEEL"), reason="only a repaired wheel is tagged")
def test_repaired_wheel_is_tagged_for_package_indexes(wheel):
    tags = wheel.name.removesuffix(".whl").split("-")[-1].split(".")
    assert "manylinux_2_17_x86_64" in tags
    assert not any(tag.startswith("linux_") for tag in tags)


def test_fresh_environment_imports_the_installed_module(installed, tmp_path):
    where = run([installed, "-c", "import numpy, rilo; print(rilo.__file__)"], cwd=tmp_path)
    assert pathlib.Path(where.strip()).is_relative_to(installed.parent.parent)


def test_module_tests_pass_against_the_installed_wheel(installed, tmp_path):
    for source in [*(ROOT / "tests").glob("*.py"), *(ROOT / "tests").glob("*.json")]:
        shutil.copy(source, tmp_path)
    selected = [name for name in MODULE_TESTS if (tmp_path / name).exists()]
    assert "test_module.py" in selected
    where = run([installed, "-c", "import rilo; print(rilo.__file__)"], cwd=tmp_path)
    assert pathlib.Path(where.strip()).is_relative_to(installed.parent.parent)
    output = run([installed, "-m", "pytest", "-q", "-p", "no:cacheprovider", *selected],
                 cwd=tmp_path)
    assert " passed" in output and "failed" not in output
