"""A wheel installs into a fresh virtual environment, pulls in NumPy, carries the type stubs and
the licence, and passes the module's tests there, away from the source tree. The wheel is the
one RILO_WHEEL names (`make wheel` passes each of its repaired wheels in turn), else one that
`pip wheel .` builds from the source tree through the build tree of `make build`.

`make wheel` says what the wheel is for through the environment:
  RILO_WHEEL_PYTHON       the interpreter whose fresh venv the wheel is tested in (default: this
                          one), a musl or free-threaded CPython for those wheels
  RILO_WHEEL_PLATFORM     the platform tag the repaired wheel must carry (manylinux_2_17_x86_64)
  RILO_WHEEL_ABI          the ABI tag it must carry, and the one of that interpreter (cp313)
  RILO_WHEEL_FIND_LINKS   a folder of wheels to install NumPy and pytest from, offline, instead
                          of the package index (the musl interpreter has no TLS to reach it)
"""
import json
import os
import pathlib
import re
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


TARGET_PYTHON = pathlib.Path(os.environ.get("RILO_WHEEL_PYTHON") or sys.executable)
EXPECTED_PLATFORM = os.environ.get("RILO_WHEEL_PLATFORM", "manylinux_2_17_x86_64")
EXPECTED_ABI = os.environ.get("RILO_WHEEL_ABI", "cp313")


@pytest.fixture(scope="module")
def target():
    """What the interpreter under test says of itself: its ABI tag, extension suffix, and
    whether it is a free-threaded build."""
    script = ("import json, sys, sysconfig\n"
              "free = bool(sysconfig.get_config_var('Py_GIL_DISABLED'))\n"
              "abi = 'cp%d%d' % sys.version_info[:2] + ('t' if free else '')\n"
              "print(json.dumps({'abi': abi, 'free_threaded': free,\n"
              "                  'suffix': sysconfig.get_config_var('EXT_SUFFIX')}))")
    return json.loads(run([TARGET_PYTHON, "-c", script], cwd=ROOT))


@pytest.fixture(scope="module")
def installed(wheel, tmp_path_factory):
    """The Python of a fresh virtual environment of TARGET_PYTHON with the wheel, NumPy (a
    binary wheel, never a build from source) and pytest installed."""
    directory = tmp_path_factory.mktemp("venv")
    run([TARGET_PYTHON, "-m", "venv", directory / "env"], cwd=directory)
    python = directory / "env" / "bin" / "python"
    source = (["--no-index", "--find-links", os.environ["RILO_WHEEL_FIND_LINKS"]]
              if os.environ.get("RILO_WHEEL_FIND_LINKS") else [])
    run([python, "-m", "pip", "install", "--quiet", "--only-binary=:all:", *source, wheel,
         "pytest"], cwd=directory)
    return python


def test_wheel_carries_module_stubs_and_licence(wheel, target):
    names = zipfile.ZipFile(wheel).namelist()
    # The suffix the interpreter under test imports (cpython-313t-... for the free-threaded
    # build, ...-linux-musl for musl): a module under any other name is not found there.
    assert "rilo" + target["suffix"] in names
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
def test_repaired_wheel_is_tagged_for_package_indexes(wheel, target):
    python_tag, abi_tag, platform_tags = wheel.name.removesuffix(".whl").split("-")[-3:]
    assert python_tag == "cp313"
    assert abi_tag == EXPECTED_ABI == target["abi"]
    tags = platform_tags.split(".")
    assert EXPECTED_PLATFORM in tags
    assert not any(tag.startswith("linux_") for tag in tags)


def test_fresh_environment_imports_the_installed_module(installed, tmp_path):
    where = run([installed, "-c", "import numpy, rilo; print(rilo.__file__)"], cwd=tmp_path)
    assert pathlib.Path(where.strip()).is_relative_to(installed.parent.parent)


def test_module_tests_pass_against_the_installed_wheel(installed, tmp_path):
    for source in [*(ROOT / "tests").glob("*.py"), *(ROOT / "tests").glob("*.json")]:
        shutil.copy(source, tmp_path)
    selected = [name for name in MODULE_TESTS if (tmp_path / name).exists()]
    assert {"test_module.py", "test_golden_results.py"} <= set(selected)
    where = run([installed, "-c", "import rilo; print(rilo.__file__)"], cwd=tmp_path)
    assert pathlib.Path(where.strip()).is_relative_to(installed.parent.parent)
    output = run([installed, "-m", "pytest", "-q", "-p", "no:cacheprovider", *selected],
                 cwd=tmp_path)
    assert " passed" in output and "failed" not in output


def test_free_threaded_interpreter_keeps_the_gil_off_with_rilo(installed, target, tmp_path):
    """rilo declares that it does not need the GIL: a free-threaded interpreter that imports a
    module without that declaration turns the GIL back on (with a RuntimeWarning)."""
    if not target["free_threaded"]:
        pytest.skip("the interpreter under test has a GIL")
    script = ("import sys, warnings\n"
              "warnings.simplefilter('error')\n"
              "assert not sys._is_gil_enabled()\n"
              "import numpy as np, rilo\n"
              "rilo.unique_rows(np.zeros((4, 2)), 0.5, True, 'a')\n"
              "print(sys._is_gil_enabled())")
    environment = {key: value for key, value in os.environ.items() if key != "PYTHON_GIL"}
    finished = subprocess.run([installed, "-c", script], cwd=tmp_path, env=environment,
                              capture_output=True, text=True, timeout=STEP_TIMEOUT_SECONDS)
    assert finished.returncode == 0, finished.stderr
    assert finished.stdout.strip() == "False"


def elf_facts(path):
    """The C library an ELF file uses, as readelf shows it: its program interpreter (None for
    a shared library), the libraries it needs, and the glibc symbol versions it asks for."""
    def readelf(*options):
        return subprocess.run(["readelf", "-W", *options, str(path)], check=True,
                              capture_output=True, text=True).stdout
    interpreter = re.search(r"Requesting program interpreter: ([^\]]+)\]",
                            readelf("--program-headers"))
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", readelf("--dynamic"))
    glibc = set(re.findall(r"GLIBC_[0-9.]+", readelf("--version-info") + readelf("--dyn-syms")))
    return interpreter and interpreter.group(1), needed, glibc


def has_relr_relocations(path):
    """Whether the file packs relative relocations as RELR, which musl loads only from 1.2.4 on."""
    dynamic = subprocess.run(["readelf", "-W", "--dynamic", str(path)], check=True,
                             capture_output=True, text=True).stdout
    return "(RELR)" in dynamic


# glibc's own libraries; musl has all of them in its one libc.
GLIBC_LIBRARIES = re.compile(
    r"(libc\.so\.6|ld-linux-x86-64\.so\.2|lib(m|pthread|dl|rt|util)\.so\.[0-9]+)")


def assert_uses_musl(facts, executable):
    interpreter, needed, glibc = facts
    if executable:
        assert interpreter is not None and interpreter.endswith("/ld-musl-x86_64.so.1"), interpreter
    assert {"libc.so", "libc.musl-x86_64.so.1"} & set(needed), needed
    assert not [name for name in needed if GLIBC_LIBRARIES.fullmatch(name)], needed
    assert glibc == set(), glibc


def test_musl_interpreter_and_extension_need_musl_and_no_glibc(wheel, tmp_path):
    """The musl interpreter runs on musl's loader and the extension in the musllinux wheel
    links musl's libc; neither asks for a glibc symbol. The same check refuses this machine's
    glibc interpreter, so it does tell the two apart. The extension carries no RELR
    relocations, which musl before 1.2.4 cannot load, so the musllinux_1_2 tag (musl 1.2.0 and
    later) holds for the loader too."""
    if not EXPECTED_PLATFORM.startswith("musllinux"):
        pytest.skip("not a musllinux wheel")
    host = elf_facts(pathlib.Path(sys.executable).resolve())
    for executable in (True, False):
        with pytest.raises(AssertionError):
            assert_uses_musl(host, executable)
    assert_uses_musl(elf_facts(TARGET_PYTHON.resolve()), executable=True)
    with zipfile.ZipFile(wheel) as archive:
        (extension,) = [name for name in archive.namelist()
                        if name.startswith("rilo.") and name.endswith(".so")]
        archive.extract(extension, tmp_path)
    assert_uses_musl(elf_facts(tmp_path / extension), executable=False)
    assert not has_relr_relocations(tmp_path / extension)
