#!/usr/bin/env bash
# `make bench`: measures brindle against dict and set, and draws the plots.
#
#   scripts/bench.sh [--quick] [--cpp] [--record]
#
#   --quick   smaller N and fewer rounds: about 1 minute instead of 5
#   --cpp     also run scripts/bench-cpp.sh (the C++ tables against boost
#             and absl; with --quick, its quick run) and plot it
#   --record  after a full run, copy the PNGs and the numbers into
#             bench/results/recorded/, which README.md shows
#
# Sets itself up like `make test`: an interpreter from ensure-python.sh, and a
# venv of its own under build/bench-venv (made once, kept while
# bench/requirements.txt and the build pins stay the same) into which brindle
# is installed as `pip install .` builds it, in release mode.  Numbers and
# plots go to bench/results/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
log() { printf 'bench: %s\n' "$*" >&2; }

quick=() cpp=0 record=0
for a in "$@"; do
  case "$a" in
    --quick) quick=(--quick) ;;
    --cpp) cpp=1 ;;
    --record) record=1 ;;
    *) log "unknown argument '$a' (use --quick, --cpp, --record)"; exit 2 ;;
  esac
done
if [ "$record" = 1 ] && [ ${#quick[@]} -gt 0 ]; then
  log "--record wants a full run; drop --quick"; exit 2
fi
if [ "$record" = 1 ] && [ "$cpp" = 0 ]; then
  log "note: README.md links the C++ plot too, which only --record --cpp records"
fi

. "$root/scripts/apt-ensure.sh"
apt_ensure g++ make
py=$(scripts/ensure-python.sh ft)
venv=${BRINDLE_BENCH_VENV:-$root/build/bench-venv}
build_pins=$(grep -E '^(scikit-build-core|cmake|ninja)==' requirements-dev.txt)
want="$py $(cat bench/requirements.txt - <<<"$build_pins" | sha256sum | cut -d' ' -f1)"
if [ ! -x "$venv/bin/python" ] || [ "$(cat "$venv/.brindle-stamp" 2>/dev/null)" != "$want" ]; then
  log "creating the bench venv in $venv"
  rm -rf "$venv"
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip >&2
  # shellcheck disable=SC2086 # one requirement per line
  "$venv/bin/python" -m pip install -q -r bench/requirements.txt $build_pins >&2
  echo "$want" >"$venv/.brindle-stamp"
fi
vpy=$venv/bin/python
log "building and installing brindle (release)"
scripts/install-module.sh "$vpy" -DBRINDLE_WERROR=ON

results=bench/results
mkdir -p "$results"
# Numbers from an earlier run must not be drawn as this one's.
rm -f "$results"/*.json "$results"/*.csv "$results"/*.png "$results"/*.svg

started=$SECONDS
log "Python benchmark${quick:+ (quick)}"
"$vpy" bench/python/suite.py "${quick[@]}" --out "$results"
python_s=$((SECONDS - started))

plot_args=()
if [ "$cpp" = 1 ]; then
  log "C++ benchmark${quick:+ (quick)}"
  cpp_started=$SECONDS
  scripts/bench-cpp.sh "${quick[@]}"
  cp build/bench/table_bench.json "$results/cpp.json"
  plot_args=(--cpp "$results/cpp.json")
  log "C++ benchmark took $((SECONDS - cpp_started)) s"
fi

MPLBACKEND=Agg "$vpy" bench/python/plot.py "$results" "${plot_args[@]}"
log "done in $((SECONDS - started)) s (Python part $python_s s); plots and numbers in $results/"

if [ "$record" = 1 ]; then
  rec=$results/recorded
  rm -rf "$rec"
  mkdir -p "$rec"
  cp "$results"/*.png "$results/python.json" "$rec/"
  [ "$cpp" = 1 ] && cp "$results/cpp.json" "$rec/"
  log "recorded in $rec/: commit the PNGs there and update the numbers in README.md"
fi
