#!/usr/bin/env bash
# Instructions, mispredicted branches and last-level cache misses per
# operation, as valgrind's callgrind simulates them, for our tables next to
# boost::unordered_flat_map and absl::flat_hash_map.  These VMs have no
# hardware counters; the simulation is deterministic, so unlike timings the
# numbers repeat exactly from run to run.
#
#   scripts/callgrind-cpp.sh [N] [reps]     defaults: N = 100000, reps = 5
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
n=${1:-100000}
reps=${2:-5}
command -v valgrind >/dev/null || { . scripts/apt-ensure.sh && apt_ensure valgrind; }
cmake -S . -B build/bench -DBRINDLE_BENCH=ON -DBRINDLE_WERROR=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench --target brindle_profile -j 2 >/dev/null
out=build/bench/callgrind
mkdir -p "$out"
printf '| workload | container | instructions | mispredicts | LL misses |\n|---|---|---:|---:|---:|\n'
for what in insert hit miss; do
  for spec in elastic:0.25 funnel:0.125 boost:0 absl:0; do
    table=${spec%%:*} delta=${spec#*:}
    file="$out/$what-$table.out"
    valgrind --tool=callgrind --branch-sim=yes --cache-sim=yes --toggle-collect='*run_workload*' \
      --callgrind-out-file="$file" build/bench/brindle_profile "$what" "$table" "$n" "$delta" "$reps" \
      >/dev/null 2>&1
    # events: Ir Dr Dw I1mr D1mr D1mw ILmr DLmr DLmw Bc Bcm Bi Bim
    awk -v ops=$((n * reps)) -v w="$what" -v t="$table" '/^(summary|totals):/ {
        printf "| %s | %s | %.0f | %.2f | %.2f |\n", w, t, $2 / ops, ($12 + $14) / ops, ($8 + $9 + $10) / ops; exit }' "$file"
  done
done
