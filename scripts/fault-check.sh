#!/usr/bin/env bash
# Plants each fault of scripts/faults/ on its own in a copy of the working
# tree (uncommitted changes included), builds it, and runs the C++ tests and,
# when those pass, the Python suite (derandomised, stopping at the first
# failure).  Prints which test, if any, caught each fault.
#
#   scripts/fault-check.sh [--ref REV] [patch ...]
#
# Without patches, every scripts/faults/*.patch.  With --ref, the tree is the
# commit REV instead of the working tree (the patches still come from the
# working tree), so that a suite can be checked while it is being edited.
# Each fault keeps its own copy and build directories under build/faults/, and
# a copy is only touched where it differs, so a second run rebuilds only what
# changed since the first.  A fault whose patch no longer applies or builds is
# reported as such: that is a broken fault, not a caught one.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=${BRINDLE_FAULT_PYTHON:-$root/.venv/bin/python}
cmake_bin=$(command -v cmake)
work=$root/build/faults
jobs=2
mkdir -p "$work"

source_root=$root
if [ "${1:-}" = --ref ]; then
  source_root=$(mktemp -d)
  trap 'rm -rf "$source_root"' EXIT
  git -C "$root" archive "$2" | tar -x -C "$source_root"
  shift 2
fi

# The files of the tree under test, one per line.
tree_files() {
  if [ "$source_root" = "$root" ]; then
    (cd "$root" && git ls-files -co --exclude-standard)
  else
    (cd "$source_root" && find . -type f | sed 's|^\./||')
  fi
}

# Makes $2 hold exactly the tracked and untracked-but-not-ignored files of the
# working tree, with the files of patch $1 patched; writes only what differs,
# so that unchanged files keep their times and ninja their objects.
sync_tree() {
  local patch=$1 dest=$2 staged list f src
  staged=$(mktemp -d)
  list=$(mktemp)
  tree_files | grep -v '^scripts/faults/' | sort >"$list"
  while read -r f; do
    mkdir -p "$staged/$(dirname "$f")"
    cp "$source_root/$f" "$staged/$f"
  done < <(sed -n 's|^+++ b/||p' "$patch")
  if ! patch -s -p1 -d "$staged" <"$patch"; then
    rm -rf "$staged" "$list"
    return 1
  fi
  mkdir -p "$dest"
  (cd "$dest" && find . -type f | sed 's|^\./||' | sort) | comm -23 - "$list" | while read -r f; do rm -f "$dest/$f"; done
  while read -r f; do
    [ -f "$source_root/$f" ] || continue
    src=$source_root/$f
    [ -f "$staged/$f" ] && src=$staged/$f
    if ! cmp -s "$src" "$dest/$f"; then
      mkdir -p "$dest/$(dirname "$f")"
      cp "$src" "$dest/$f"
    fi
  done <"$list"
  rm -rf "$staged" "$list"
}

# The first failing C++ test in a gtest log, or the test that was running
# when the binary died.
cpp_culprit() {
  local log=$1 rc=$2 name
  # Per-test lines end in a time, "(12 ms)"; typed and parametrized tests put
  # ", where ..." between the name and the time.
  name=$(sed -n 's/^\[  FAILED  \] \([^ ,]*\).* ([0-9]* ms)$/\1/p' "$log" | head -1)
  if [ -n "$name" ]; then
    local more
    more=$(grep -c '^\[  FAILED  \] .* ([0-9]* ms)$' "$log")
    echo "caught: C++ $name$([ "$more" -gt 1 ] && echo " (+$((more - 1)) more)")"
  else
    name=$(sed -n 's/^\[ RUN      \] //p' "$log" | tail -1)
    echo "caught: C++ $name (died, exit $rc)"
  fi
}

py_culprit() {
  local log=$1 rc=$2 name
  name=$(sed -n 's/^FAILED \([^ ]*\).*/\1/p' "$log" | head -1)
  if [ -n "$name" ]; then
    echo "caught: py ${name#tests/python/}"
  else
    # -v prints a test's id before it runs: the last one is where it died.
    name=$(grep -o '^tests/python/[^ ]*' "$log" | tail -1)
    echo "caught: py ${name#tests/python/} (died, exit $rc)"
  fi
}

check_fault() {
  local patch=$1 name dir
  name=$(basename "$patch" .patch)
  dir=$work/$name
  mkdir -p "$dir"
  if ! sync_tree "$patch" "$dir/tree"; then
    echo "patch does not apply"
    return
  fi
  if ! { "$cmake_bin" -S "$dir/tree" -B "$dir/cpp" -G Ninja -DBRINDLE_TESTS=ON &&
    "$cmake_bin" --build "$dir/cpp" -j "$jobs"; } >"$dir/cpp-build.log" 2>&1; then
    echo "C++ build failed (see $dir/cpp-build.log)"
    return
  fi
  local rc
  (cd "$dir/cpp" && timeout 600 ./brindle_cpp_tests) >"$dir/cpp-test.log" 2>&1
  rc=$?
  if [ "$rc" -ne 0 ]; then
    cpp_culprit "$dir/cpp-test.log" "$rc"
    return
  fi
  if ! { "$cmake_bin" -S "$dir/tree" -B "$dir/py" -G Ninja -DBRINDLE_PYTHON=ON -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$py" && "$cmake_bin" --build "$dir/py" -j "$jobs"; } >"$dir/py-build.log" 2>&1; then
    echo "Python module build failed (see $dir/py-build.log)"
    return
  fi
  (cd "$dir/tree" && BRINDLE_HYPOTHESIS_PROFILE=ci PYTHONPATH="$dir/py" timeout 1800 \
    "$py" -m pytest -v -x -p no:cacheprovider tests/python) >"$dir/py-test.log" 2>&1
  rc=$?
  if [ "$rc" -ne 0 ]; then
    py_culprit "$dir/py-test.log" "$rc"
    return
  fi
  echo "NOT caught"
}

patches=("$@")
[ ${#patches[@]} -eq 0 ] && patches=("$root"/scripts/faults/*.patch)
results=()
for p in "${patches[@]}"; do
  p=$(cd "$(dirname "$p")" && pwd)/$(basename "$p")
  echo "== $(basename "$p" .patch)" >&2
  verdict=$(check_fault "$p")
  echo "   $verdict" >&2
  results+=("$(printf '%-40s %s' "$(basename "$p" .patch)" "$verdict")")
done
printf '\n%-40s %s\n' "fault" "verdict"
printf '%s\n' "${results[@]}"
