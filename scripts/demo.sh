#!/usr/bin/env bash
# One command for a newcomer: sets up, builds, then records and replays a short interaction with a
# small application on a private X server. The workspace is left in ./demo-output.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDIRURI_BUILD_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target DiruriRediro >/dev/null
/usr/bin/python3 demo/run_demo.py --server build/client/DiruriRediro --output demo-output
