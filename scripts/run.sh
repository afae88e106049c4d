#!/usr/bin/env bash
# Sets up, builds and runs the service on its local default: a local
# RabbitMQ, the management-API simulator, a local INI file and the launcher.
# Ctrl-C stops all of it.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TESSEL_BUILD_DIR:-$root/build}
run=${TESSEL_RUN_DIR:-$root/.run}

bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"

# shellcheck source=scripts/broker.sh
source "$root/scripts/broker.sh"
sim_pid=
stop_all() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  broker_stop
}
trap stop_all EXIT
broker_start

mkdir -p "$run/log" "$run/ml"
sim_port=${TESSEL_SIM_PORT:-8089}
# The shared attack list plays the dataset service's attack dataset.
sim_datasets=()
if [ -f "$root/../shared/data/attack-payloads.jsonl" ]; then
  sim_datasets=(--datasets "$root/../shared/data/attack-payloads.jsonl")
fi
"$build/bin/tessel-mgmt-sim" --port "$sim_port" --record "$run/mgmt-sim.jsonl" \
  ${TESSEL_SIM_ANSWERS:+--answers "$TESSEL_SIM_ANSWERS"} "${sim_datasets[@]}" &
sim_pid=$!
conf="$run/tessel.conf"
cat > "$conf" <<INI
[main]
debug = true
api_uri = http://127.0.0.1:${sim_port}

[run]
rmq_host = guest:guest@127.0.0.1:${TESSEL_BROKER_PORT}
INI

export TESSEL_LOG_DIR="$run/log/" TESSEL_ML_DIR="$run/ml/" TESSEL_DATASET_URL="http://127.0.0.1:${sim_port}/vx"
export PYTHONPATH="$build/python${PYTHONPATH:+:$PYTHONPATH}"
echo "run: log file $run/log/tessel.log, management-API requests $run/mgmt-sim.jsonl"
/usr/bin/python3 "$root/tools/launcher.py" --conf "$conf" || true
