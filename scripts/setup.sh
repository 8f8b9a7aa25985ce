#!/usr/bin/env bash
# Everything the demo and the tests need, made idempotent: system packages,
# a CPython 3.14 interpreter, and a virtual environment for it.
#
#   scripts/setup.sh [ft|gil]   ft (default): free-threaded, in .venv
#                               gil: the default GIL build, in .venv-gil
# Prints the venv's python on stdout.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
log() { printf 'setup: %s\n' "$*" >&2; }

# System packages for the C++ side: the unit-test framework and the formatter.
. "$root/scripts/apt-ensure.sh"
apt_ensure g++ make libgtest-dev clang-format

flavor=${1:-ft}
py=$("$root/scripts/ensure-python.sh" "$flavor")
venv=$root/.venv
[ "$flavor" = gil ] && venv=$root/.venv-gil
stamp=$venv/.brindle-stamp
want="$py $(sha256sum "$root/requirements-dev.txt" | cut -d' ' -f1)"
if [ ! -x "$venv/bin/python" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
  log "creating the virtual environment with $py"
  rm -rf "$venv"
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip >&2
  "$venv/bin/python" -m pip install -q -r "$root/requirements-dev.txt" >&2
  echo "$want" >"$stamp"
fi
echo "$venv/bin/python"
