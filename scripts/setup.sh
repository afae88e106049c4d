#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the local run and the
# benchmarks need. Safe to run again: apt-get skips what is installed.
set -euo pipefail

PKGS=(
  build-essential cmake ninja-build pkg-config git
  python3 python3-dev pybind11-dev
  librabbitmq-dev libcurl4-openssl-dev libssl-dev libsqlite3-dev
  nlohmann-json3-dev libre2-dev libicu-dev libidn11-dev libzip-dev
  libgeoip-dev geoip-database libjemalloc2
  libgtest-dev libgmock-dev libcpp-httplib-dev
  rabbitmq-server clang libclang-rt-14-dev clang-format clang-tidy
  python3-sklearn python3-pandas python3-pika python3-url-normalize
  python3-levenshtein python3-fuzzywuzzy python3-sqlalchemy libsimdjson-dev
  procps netcat-openbsd curl
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  # rabbitmq-server must not be started by the package scripts; tests start their own.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
    $SUDO chmod +x /usr/sbin/policy-rc.d
    trap '$SUDO rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
