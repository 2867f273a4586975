#!/usr/bin/env bash
# Builds a Release tree with the benchmarks and runs the protocol benchmark against the echo.
# Usage: bench/protocol/run.sh [BUILD_DIR] [LINES [ROUND_TRIPS [SPAWNS]]]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build-bench}"
shift || true
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DDIRURI_BUILD_BENCH=ON -DDIRURI_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target DiruriRediro bench_protocol_echo bench_protocol_driver >/dev/null
# A display for the status calls that ask one: a private Xvfb, stopped at the end.
exec 3< <(Xvfb -displayfd 4 -noreset -nolisten tcp 4>&1 >/dev/null 2>&1 & echo "$!")
read -r xvfb <&3
read -r number <&3
trap 'kill "$xvfb" 2>/dev/null' EXIT
DIRURI_BENCH_DISPLAY=":$number" "$build/bench/protocol/bench_protocol_driver" "$build/client/DiruriRediro" \
  "$build/bench/protocol/bench_protocol_echo" "$@"
