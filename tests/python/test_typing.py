"""The shipped stubs are what mypy sees for the installed module: a typed
program passes strict checking, and every line marked as an error is one."""

import os
import pathlib
import subprocess
import sys

TYPING = pathlib.Path(__file__).resolve().parent.parent / "typing"


def test_stubs_accept_typed_usage_and_flag_type_errors():
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull, "."],
        capture_output=True,
        text=True,
        cwd=TYPING,
    )
    flagged = {tuple(line.split(":")[:2]) for line in result.stdout.splitlines() if ": error:" in line}
    expected = {
        (path.name, str(i))
        for path in TYPING.glob("*.py")
        for i, line in enumerate(path.read_text().splitlines(), 1)
        if "# error" in line
    }
    assert flagged == expected and expected, result.stdout + result.stderr
