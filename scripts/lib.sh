# Helpers shared by scripts/demo and scripts/bench; sourced, not run.
# They expect to run from the repository root with `set -euo pipefail`.

lib_pids=()
lib_work=""

# A temporary folder in $work, removed with every started server on exit.
lib_init() {
  work=$(mktemp -d)
  lib_work=$work
  trap lib_cleanup EXIT
}

lib_cleanup() {
  local pid
  for pid in "${lib_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  [ -z "$lib_work" ] || rm -rf "$lib_work"
}

# Sets $binary: SITEMIRROR_BINARY when set, else build/sitemirror, built here.
build_or_use_binary() {
  binary=${SITEMIRROR_BINARY:-}
  if [ -z "$binary" ]; then
    echo "== build =="
    cmake -S . -B build >/dev/null
    cmake --build build --target sitemirror -j"${JOBS:-2}" >/dev/null
    binary="$(pwd)/build/sitemirror"
  fi
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits (at most 30 s) until a URL answers at all.
wait_for() {
  for _ in $(seq 1 150); do
    curl -s -o /dev/null "$1" && return 0
    sleep 0.2
  done
  echo "no answer from $1 within 30 s" >&2
  return 1
}

# Starts moto_server on a free loopback port; sets $moto_port.
start_moto() {
  moto_port=$(free_port)
  moto_server -H 127.0.0.1 -p "$moto_port" >"$work/moto.log" 2>&1 &
  lib_pids+=($!)
  local pid=$!
  for _ in $(seq 1 150); do
    curl -s -o /dev/null "http://127.0.0.1:$moto_port/" && return 0
    kill -0 "$pid" 2>/dev/null || { cat "$work/moto.log" >&2; echo "moto_server did not start" >&2; return 1; }
    sleep 0.2
  done
  echo "moto_server did not answer within 30 s" >&2
  return 1
}

# Starts a harness server script that prints its port first (sigproxy.py,
# relay.py) with the given arguments; sets $started_port.
start_script() {
  local name=$1
  shift
  python3 "tests/harness/$name" "$@" >"$work/$name.port" 2>"$work/$name.log" &
  lib_pids+=($!)
  for _ in $(seq 1 150); do [ -s "$work/$name.port" ] && break; sleep 0.2; done
  started_port=$(head -n1 "$work/$name.port")
  [ -n "$started_port" ] || { cat "$work/$name.log" >&2; echo "$name did not start" >&2; return 1; }
}
