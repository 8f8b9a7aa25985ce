#!/usr/bin/env bash
# Runs every test: formatting, C++ unit tests (plain and sanitized), and the
# Python suite against the installed extension.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
py=$(scripts/setup.sh)
export PATH="$(dirname "$py"):$PATH"
jobs=$(nproc)
step() { printf '\n== %s\n' "$*"; }

step "format check"
mapfile -t sources < <(git ls-files -co --exclude-standard -- 'src/*.hpp' 'src/*.cpp' 'tests/*.cpp' 'tests/*.hpp' 'bench/*.cpp')
clang-format --dry-run --Werror "${sources[@]}"

cmake_bin=$(dirname "$py")/cmake
for variant in release asan; do
  step "C++ tests ($variant)"
  extra=()
  [ "$variant" = asan ] && extra=(-DBRINDLE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
  "$cmake_bin" -S . -B "build/$variant" -G Ninja -DBRINDLE_TESTS=ON -DBRINDLE_WERROR=ON "${extra[@]}" >/dev/null
  "$cmake_bin" --build "build/$variant" -j "$jobs"
  "build/$variant/brindle_cpp_tests" --gtest_brief=1
done

step "Python extension"
scripts/install-module.sh "$py" -DBRINDLE_WERROR=ON
step "Python tests"
"$py" -m pytest -q tests/python

step "Python tests with PYTHONMALLOC=debug"
PYTHONMALLOC=debug "$py" -m pytest -q -p no:cacheprovider tests/python

step "Python tests against an ASan+UBSan build of the extension"
"$cmake_bin" -S . -B build/asan-py -G Ninja -DBRINDLE_PYTHON=ON -DBRINDLE_SANITIZE=ON -DBRINDLE_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$py" >/dev/null
"$cmake_bin" --build build/asan-py -j "$jobs"
# The interpreter itself is not instrumented, so the sanitizer runtime must be
# loaded first, with libstdc++ beside it so that its exception interceptors
# find the real functions; leak checking would report the interpreter's own
# allocations.
asan_env=(env LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
  ASAN_OPTIONS=detect_leaks=0
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONPATH="$root/build/asan-py")
"${asan_env[@]}" "$py" -c 'import brindle, sys; assert "asan-py" in brindle.__file__, brindle.__file__'
"${asan_env[@]}" "$py" -m pytest -q -p no:cacheprovider tests/python

step "Python tests on the GIL-enabled CPython 3.14"
py_gil=$(scripts/setup.sh gil)
scripts/install-module.sh "$py_gil" -DBRINDLE_WERROR=ON
"$py_gil" -m pytest -q -p no:cacheprovider tests/python
