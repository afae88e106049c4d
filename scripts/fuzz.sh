#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang in a build directory
# of their own and runs each for a bounded time. A crash, a sanitizer report,
# a leak or an input that runs longer than 10 s fails the run.
#   TESSEL_FUZZ_SECONDS  time per target (default 25)
#   TESSEL_FUZZ_BUILD_DIR  build directory (default build-fuzz)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TESSEL_FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${TESSEL_FUZZ_SECONDS:-25}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTESSEL_BUILD_FUZZ=ON -DTESSEL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target tessel_fuzzers -j "$(nproc)"

mkdir -p "$build/fuzz-artifacts"
status=0
for bin in "$build"/tests/fuzz/fuzz_*; do
  name=$(basename "$bin")
  name=${name#fuzz_}
  work=$(mktemp -d)
  seeds=()
  if [ -d "$root/tests/fuzz/corpus/$name" ]; then seeds=("$root/tests/fuzz/corpus/$name"); fi
  echo "fuzz: $name for ${seconds}s"
  if ! "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
      -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$name-" \
      "$work" "${seeds[@]}" >"$build/fuzz-artifacts/$name.log" 2>&1; then
    echo "fuzz: $name FAILED; the tail of its log:"
    tail -n 60 "$build/fuzz-artifacts/$name.log"
    status=1
  else
    grep -E "stat::number_of_executed_units|Done [0-9]+ runs" "$build/fuzz-artifacts/$name.log" | tail -n 1 || true
  fi
  rm -rf "$work"
done
exit $status
