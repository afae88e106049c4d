#!/usr/bin/env bash
# Sets up, builds and runs every test. Starts a local RabbitMQ when none
# answers on 127.0.0.1:5672 and stops what it started.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TESSEL_BUILD_DIR:-$root/build}
jobs=$(nproc)

bash "$root/scripts/setup.sh"
# The walls between the libraries of src/ and the project's format.
/usr/bin/python3 "$root/scripts/check_includes.py"
bash "$root/scripts/lint.sh" --format
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSEL_WERROR=ON
cmake --build "$build" -j "$jobs"

# shellcheck source=scripts/broker.sh
source "$root/scripts/broker.sh"
trap broker_stop EXIT
broker_start
export TESSEL_REQUIRE_BROKER=1
# Tests that restart a broker start a node of their own for it.
export TESSEL_BROKER_RESTART_OK=1

ctest --test-dir "$build" -j "$jobs" --output-on-failure --timeout 600

# A short fuzzing stage: each libFuzzer target of tests/fuzz for a bounded time.
bash "$root/scripts/fuzz.sh"
