"""The shipped stubs are what mypy sees for the installed module."""

import os
import pathlib
import subprocess
import sys

TYPING = pathlib.Path(__file__).resolve().parent.parent / "typing"


def mypy(path):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull, str(path)],
        capture_output=True,
        text=True,
        cwd=TYPING,
    )


def test_typed_usage_passes_strict_checking():
    result = mypy(TYPING / "typed_usage.py")
    assert result.returncode == 0, result.stdout + result.stderr


def test_type_errors_are_reported():
    result = mypy(TYPING / "typed_errors.py")
    assert result.returncode == 1, result.stdout + result.stderr
    flagged = {int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line}
    expected = {i for i, line in enumerate((TYPING / "typed_errors.py").read_text().splitlines(), 1) if "# error" in line}
    assert flagged == expected, result.stdout
