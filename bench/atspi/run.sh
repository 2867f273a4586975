#!/usr/bin/env bash
# Builds and runs the accessibility snapshot benchmark. bench_atspi starts its own Xvfb, openbox,
# session bus with the AT-SPI bus and GTK application, times one snapshot, runs the same query with
# pyatspi in a running process, and prints both medians and their ratio. Arguments go to it.
set -euo pipefail
cd "$(dirname "$0")/../.."
build="${BUILD_DIR:-build-bench}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDIRURI_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target bench_atspi >/dev/null
exec "$build/bench/atspi/bench_atspi" "$@"
