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
  "$cmake_bin" -S . -B "build/$variant" -G Ninja -DBRINDLE_TESTS=ON "${extra[@]}" >/dev/null
  "$cmake_bin" --build "build/$variant" -j "$jobs"
  "build/$variant/brindle_cpp_tests" --gtest_brief=1
done

step "Python extension"
scripts/install-module.sh "$py"
step "Python tests"
"$py" -m pytest -q tests/python
