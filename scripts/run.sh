#!/usr/bin/env bash
# Builds the program and runs it.
#
# With a display: starts Housetone (extra arguments are passed on, e.g. --appearance dark).
# Without one ($DISPLAY and $WAYLAND_DISPLAY unset): runs the auto-tune self-check offscreen in the
# built-in simulated room at 40x speed with every speaker included, in a temporary home so your own
# settings stay untouched, then prints the log and the settings it produced.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
bash scripts/deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)" --target housetone
app="$build/src/housetone"

if [[ -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ]]; then
  exec "$app" "$@"
fi

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
state="$home/.local/state/vuzeda"
write_settings_including_every_speaker "$app" "$state"

echo "No display: running the auto-tune self-check offscreen (built-in room, 40x speed)..."
HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$home" QT_QPA_PLATFORM=offscreen \
  "$app" --autotune-selftest --sim-speed 40 "$@" 2>"$home/stderr.txt" || {
  status=$?
  cat "$home/stderr.txt" >&2
  exit "$status"
}
echo
echo "== $state/app-autotune-selftest.log"
cat "$state/app-autotune-selftest.log"
echo
echo
echo "== $state/offsets.json"
cat "$state/offsets.json"
