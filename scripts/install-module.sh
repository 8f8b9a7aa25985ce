#!/usr/bin/env bash
# Builds the extension with the venv's interpreter and installs it there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=${1:-$root/.venv/bin/python}
"$py" -m pip install -q --no-build-isolation --no-deps "$root" >&2
