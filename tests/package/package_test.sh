#!/usr/bin/env bash
# Builds the Debian package and checks that it declares its libraries and installs a server that
# runs from PATH and finds its screenshot helper. In CI (CI=true, a throwaway machine) the package
# is really installed and removed again; elsewhere it is unpacked into a temporary root.
set -euo pipefail
build_dir=$1
work=$(mktemp -d)
xvfb_pid=
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package test: $*" >&2; exit 1; }

(cd "$build_dir" && cpack -G DEB -B "$work/out" >/dev/null 2>&1) || fail "cpack failed"
deb=$(ls "$work"/out/diruri-rediro_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
# The X client libraries and the C++ runtime are linked in; libatspi and libdbus are opened at run
# time, so they must be declared by hand.
for lib in libatspi2.0-0 libdbus-1-3 libpng16-16 libc6; do
  [[ "$depends" == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done
contents=$(dpkg-deb -c "$deb")
grep -q ' ./usr/bin/DiruriRediro$' <<<"$contents" || fail "no /usr/bin/DiruriRediro"
grep -q ' ./usr/bin/DiruriRediro-screenshot$' <<<"$contents" || fail "no screenshot helper"

if [ "${CI:-}" = "true" ]; then
  dpkg -i "$deb" >/dev/null
  trap 'dpkg -r diruri-rediro >/dev/null 2>&1 || true; cleanup' EXIT
  bin_dir=/usr/bin
else
  dpkg --dry-run -i "$deb" >/dev/null || fail "package would not install"
  dpkg-deb -x "$deb" "$work/root"
  bin_dir=$work/root/usr/bin
fi

[ "$(PATH="$bin_dir:$PATH" command -v DiruriRediro)" = "$bin_dir/DiruriRediro" ] || fail "not on PATH"
[ "$(cd / && PATH="$bin_dir:$PATH" DiruriRediro --version)" = "DiruriRediro 0.1.0" ] || fail "wrong version"

# The installed server finds the helper beside itself: with a display, screen capture is allowed.
exec 3< <(Xvfb -displayfd 4 -noreset -nolisten tcp 4>&1 >/dev/null 2>&1 & echo "pid $!")
read -r _ xvfb_pid <&3
read -r display <&3
answer=$(printf '%s\n' '{"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"permission_status"}}' |
  (cd / && env -i PATH=/usr/bin:/bin DISPLAY=":$display" "$bin_dir/DiruriRediro" mcp))
[[ "$answer" == *'\"screenCaptureAllowed\":true'* ]] || fail "helper not found: $answer"
