#!/usr/bin/env bash
# Builds the extension with the venv's interpreter and installs it there.
#
#   scripts/install-module.sh [python] [-DNAME=VALUE ...]    CMake definitions, e.g. -DBRINDLE_WERROR=ON
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=${1:-$root/.venv/bin/python}
defines=()
for d in "${@:2}"; do
  defines+=(--config-settings="cmake.define.${d#-D}")
done
"$py" -m pip install -q --no-build-isolation --no-deps "${defines[@]}" "$root" >&2
