"""The README's first usage example prints what the README shows."""
import pathlib
import re
import subprocess
import sys

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_first_usage_example_prints_the_output_shown():
    text = README.read_text()
    example = re.search(r"```python\n(.*?)```\n\n```text\n(.*?)```", text, re.S)
    assert example, "the README lost its usage example"
    code, shown = example.groups()
    finished = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=60)
    assert finished.returncode == 0, finished.stderr
    assert finished.stdout == shown
