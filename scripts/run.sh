#!/usr/bin/env bash
# Sets up, builds and runs the service on its local default: a local
# RabbitMQ, a local INI file and the launcher. Ctrl-C stops all of it.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TESSEL_BUILD_DIR:-$root/build}
run=${TESSEL_RUN_DIR:-$root/.run}

bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"

# shellcheck source=scripts/broker.sh
source "$root/scripts/broker.sh"
trap broker_stop EXIT
broker_start

mkdir -p "$run/log" "$run/ml"
conf="$run/tessel.conf"
cat > "$conf" <<INI
[main]
debug = true
api_uri = http://127.0.0.1:8089

[run]
rmq_host = guest:guest@127.0.0.1:${TESSEL_BROKER_PORT}
INI

export TESSEL_LOG_DIR="$run/log/" TESSEL_ML_DIR="$run/ml/"
export PYTHONPATH="$build/python${PYTHONPATH:+:$PYTHONPATH}"
echo "run: log file $run/log/tessel.log"
/usr/bin/python3 "$root/tools/launcher.py" --conf "$conf" || true
