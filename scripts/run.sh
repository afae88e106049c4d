#!/usr/bin/env bash
# Sets up, builds and runs the service on its local default: a local
# RabbitMQ, the management-API simulator, a local INI file and the launcher.
# Ctrl-C stops all of it. The service's log (without its debug lines) is
# followed on the terminal, with a status line of what reached the
# simulator (tools/mgmt-sim/record_summary.py) every TESSEL_STATUS_SECONDS
# (default 15; 0: none).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TESSEL_BUILD_DIR:-$root/build}
run=${TESSEL_RUN_DIR:-$root/.run}

bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Only what the run needs (tests and benchmarks: scripts/test.sh, or build all).
cmake --build "$build" -j "$(nproc)" --target local_run

# shellcheck source=scripts/broker.sh
source "$root/scripts/broker.sh"
sim_pid=
follow_pids=()
stop_all() {
  for p in "${follow_pids[@]}"; do kill "$p" 2>/dev/null || true; done
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
# The local run's settings: machine-learning detection for "localhost" (the
# host of the CSIC requests), whose training period is one day of
# TESSEL_DAY_SECONDS (default 300) seconds; DDoS and brute-force detection
# on windows of 5 seconds; schemas for "api.localhost".
"$build/bin/tessel-mgmt-sim" --port "$sim_port" --record "$run/mgmt-sim.jsonl" \
  --answers "$root/tools/mgmt-sim/local-run" --training "$root/tools/mgmt-sim/local-run/training.json" \
  ${TESSEL_SIM_ANSWERS:+--answers "$TESSEL_SIM_ANSWERS"} "${sim_datasets[@]}" &
sim_pid=$!
conf="$run/tessel.conf"
# Password guessing is looked for in the bodies sent to localhost/login.
echo "localhost/login body" > "$run/brute.rules"
cat > "$conf" <<INI
[main]
debug = true
api_uri = http://127.0.0.1:${sim_port}

[run]
rmq_host = guest:guest@127.0.0.1:${TESSEL_BROKER_PORT}

[brute]
brute_detect = $run/brute.rules
INI

export TESSEL_LOG_DIR="$run/log/" TESSEL_ML_DIR="$run/ml/" TESSEL_DATASET_URL="http://127.0.0.1:${sim_port}/vx"
export TESSEL_DAY_SECONDS=${TESSEL_DAY_SECONDS:-300} TESSEL_TRAINING_PASS_MS=${TESSEL_TRAINING_PASS_MS:-15000}
export TESSEL_SCHEMA_SECONDS=${TESSEL_SCHEMA_SECONDS:-30}
# A restart (new models, changed settings) waits 10 s instead of 120, and
# the launcher's grace before it interrupts a service that asked for one is
# 10 s longer than that.
export TESSEL_RESTART_WAIT_MS=${TESSEL_RESTART_WAIT_MS:-10000}
restart_grace=$((TESSEL_RESTART_WAIT_MS / 1000 + 10))
export PYTHONPATH="$build/python${PYTHONPATH:+:$PYTHONPATH}"
echo "run: log file $run/log/tessel.log, management-API requests $run/mgmt-sim.jsonl"

# The log as it is written, debug lines left out, and the launcher's lines
# too: the launcher writes them on the terminal itself.
touch "$run/log/tessel.log"
tail -n 0 -F "$run/log/tessel.log" 2>/dev/null \
  > >(grep --line-buffered -v -e '^[-0-9: ,]* [^ ]* *DEBUG ' -e '^[-0-9: ,]* LAUNCHER ') &
follow_pids+=($!)
status_every=${TESSEL_STATUS_SECONDS:-15}
if [ "$status_every" -gt 0 ]; then
  (
    while sleep "$status_every"; do
      echo "status: $(date +%H:%M:%S) at the simulator: $(/usr/bin/python3 "$root/tools/mgmt-sim/record_summary.py" "$run/mgmt-sim.jsonl")"
    done
  ) &
  follow_pids+=($!)
fi
/usr/bin/python3 "$root/tools/launcher.py" --conf "$conf" --restart-grace "$restart_grace" || true
