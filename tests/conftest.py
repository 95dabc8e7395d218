"""A run against another build of rilo (the sanitizer or libc++ build, put first on PYTHONPATH)
names that build's folder in RILO_BUILD_DIR; the run stops at once if `rilo` comes from
elsewhere, so that it never silently tests the .venv copy instead."""
import os
import pathlib

import pytest


def pytest_sessionstart(session):
    expected = os.environ.get("RILO_BUILD_DIR")
    if not expected:
        return
    import rilo

    imported = pathlib.Path(rilo.__file__).resolve()
    if not imported.is_relative_to(pathlib.Path(expected).resolve()):
        raise pytest.UsageError(f"rilo was imported from {imported}, not from {expected}")
