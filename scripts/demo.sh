#!/usr/bin/env bash
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=$("$root/scripts/setup.sh")
"$root/scripts/install-module.sh" "$py"
exec "$py" "$root/examples/tour.py"
