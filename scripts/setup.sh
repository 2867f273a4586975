#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need. Idempotent: when all
# packages are present it only checks and returns.
set -euo pipefail

packages=(
  build-essential cmake g++ pkg-config git
  nlohmann-json3-dev
  libxcb1-dev libxcb-record0-dev libxcb-xtest0-dev libxcb-res0-dev libxau-dev libxdmcp-dev
  libpng-dev
  libatspi2.0-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  xvfb openbox xdotool scrot x11-utils dbus dbus-x11 at-spi2-core python3-gi gir1.2-gtk-3.0 gir1.2-atspi-2.0
  python3-pyatspi
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: run as root to install: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The MCP SDK client used by the client-compatibility test lives in its own test-only folder.
sdk_dir="$(cd "$(dirname "$0")/.." && pwd)/tests/sdk"
if [ -f "$sdk_dir/package-lock.json" ] && command -v npm >/dev/null 2>&1; then
  if [ ! -d "$sdk_dir/node_modules/@modelcontextprotocol/sdk" ]; then
    (cd "$sdk_dir" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
  fi
fi
