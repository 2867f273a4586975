#!/usr/bin/env bash
# Sets up, builds and starts the server on this terminal's stdin/stdout.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >&2
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" >&2
exec build/client/DiruriRediro mcp
