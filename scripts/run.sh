#!/usr/bin/env bash
# Builds the program and runs it.
#
# With a display: starts Housetone (extra arguments are passed on, e.g. --appearance dark).
# Without one ($DISPLAY and $WAYLAND_DISPLAY unset): runs the auto-tune self-check offscreen in the
# built-in simulated room at 40x speed with every speaker included, in a temporary home so your own
# settings stay untouched, then prints the log and the settings it produced.
# With --pipewire (first argument): runs the same self-check through the PipeWire backend in a
# virtual room on a private PipeWire graph (scripts/pipewire-room.sh), then prints the log, the
# settings and the room's delays beside what the self-check found. With HOUSETONE_ROOM_NETWORK=rtp
# or =tunnel the room has a speaker on a second graph (see scripts/pipewire-room.sh), whose delay
# the room does not know: the report then shows every speaker's arrival as the room probe measured
# it after the self-check, and the offsets those arrivals call for.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
pipewire=
if [[ ${1:-} == --pipewire ]]; then
  pipewire=1
  shift
fi
bash scripts/deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
targets=(housetone)
# A room with a speaker on another machine needs the room probe: it carries that speaker's air
# and measures the true arrivals the report shows.
if [[ -n $pipewire && -n ${HOUSETONE_ROOM_NETWORK:-} ]]; then
  targets+=(housetone-room-probe)
  export HOUSETONE_ROOM_PROBE="$PWD/$build/bench/room/housetone-room-probe"
fi
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"
app="$build/src/housetone"

if [[ -n $pipewire ]]; then
  run_selftest_in_pipewire_room "$app" "$@"
  exit
fi

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
  print_text "$home/stderr.txt" >&2
  exit "$status"
}
echo
echo "== $state/app-autotune-selftest.log"
print_text "$state/app-autotune-selftest.log"
echo
echo
echo "== $state/offsets.json"
print_text "$state/offsets.json"
