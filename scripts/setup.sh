#!/usr/bin/env bash
# Installs the Debian packages the README's commands need, and the test-only MCP SDK client.
#   setup.sh run    what building and running the server needs
#   setup.sh        (or "test") that and everything the tests, sanitizer, fuzz and benchmark
#                   builds need
# Idempotent: when everything is present it only checks and returns. Installing needs root.
set -euo pipefail
mode=${1:-test}
root="$(cd "$(dirname "$0")/.." && pwd)"

packages=(
  build-essential cmake g++ pkg-config
  libxcb1-dev libxcb-record0-dev libxcb-xtest0-dev libxcb-res0-dev libxau-dev libxdmcp-dev
  libpng-dev
  libatspi2.0-dev
  x11proto-dev
  libwayland-dev libpipewire-0.3-dev
)
if [ "$mode" = test ]; then
  packages+=(
    git python3 python3-yaml nlohmann-json3-dev
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    xvfb openbox xdotool scrot x11-utils xterm dbus dbus-x11 at-spi2-core python3-gi gir1.2-gtk-3.0 gir1.2-atspi-2.0
    python3-pyatspi
    x11-xkb-utils xkb-data
    sway util-linux mutter pipewire gnome-shell wireplumber
    clang libclang-rt-14-dev clang-format
    nodejs npm
    file
  )
elif [ "$mode" != run ]; then
  echo "usage: setup.sh [run|test]" >&2
  exit 2
fi

# A package counts as present when it is installed, or when an installed package provides it (a
# Node.js build that carries its own npm provides "npm" and conflicts with Debian's).
provided=$(dpkg-query -W -f='${db:Status-Abbrev} ${Provides}\n' 2>/dev/null | awk '$1 == "ii" { $1 = ""; print }' |
  tr ',' '\n' | sed -E 's/\(.*\)//; s/^ +//; s/ +$//' | sort -u)
missing=()
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then continue; fi
  if grep -qxF "$p" <<<"$provided"; then continue; fi
  missing+=("$p")
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

# The MCP SDK clients of the client-compatibility test live in a test-only folder. They are
# installed whenever the lock file names something not installed from it yet.
if [ "$mode" = test ]; then
  sdk="$root/tests/sdk"
  stamp="$sdk/node_modules/.installed-from-lock"
  if ! cmp -s "$sdk/package-lock.json" "$stamp" 2>/dev/null; then
    (cd "$sdk" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
    cp "$sdk/package-lock.json" "$stamp"
  fi
fi
