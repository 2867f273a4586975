#!/usr/bin/env bash
# Sets up, builds the server and its screenshot helper (nothing else), and starts the server on
# this terminal's stdin/stdout.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh run >&2
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDIRURI_BUILD_TESTS=OFF -DDIRURI_BUILD_BENCH=OFF >&2
cmake --build build -j"$(nproc)" --target DiruriRediro >&2
exec build/client/DiruriRediro mcp
