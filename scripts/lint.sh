#!/usr/bin/env bash
# Style and static checks of the C++ sources.
#   scripts/lint.sh           clang-format check of every tracked C++ file, then
#                             clang-tidy's bugprone and performance checks on src/
#   scripts/lint.sh --format  the clang-format check only (what scripts/test.sh runs)
#   scripts/lint.sh --fix     rewrite the files in the project's format
# clang-tidy reads the compile commands of the build directory
# (TESSEL_BUILD_DIR, default build/), which this script configures.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TESSEL_BUILD_DIR:-$root/build}
mode=${1:-all}
cd "$root"

mapfile -t files < <(git ls-files '*.cpp' '*.h' | grep -E '^(src|python|tests|bench|tools)/')

if [ "$mode" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi

echo "lint: clang-format check of ${#files[@]} files"
if ! clang-format --dry-run --Werror "${files[@]}"; then
  echo "lint: files differ from .clang-format; run scripts/lint.sh --fix" >&2
  exit 1
fi
[ "$mode" = "--format" ] && exit 0

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
mapfile -t sources < <(git ls-files 'src/*.cpp')
echo "lint: clang-tidy on ${#sources[@]} files of src/"
printf '%s\n' "${sources[@]}" |
  xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet --warnings-as-errors='*' 2>/dev/null
echo "lint: clean"
