#!/usr/bin/env bash
# Renders screenshots of the real program into docs/screenshots/: the main window in the light and
# the dark appearance at its launch size, aligned, during a guided walk and after an auto-tune, the
# picture of that tune, and the open status menu; then the aligned window at 2x scaling on a
# 1366 x 768 screen, and one with a speaker whose name is far too long for its row. Runs offscreen
# in a simulated room (at 40x speed) with every speaker included, in a temporary home so your own
# settings stay untouched.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target housetone housetone-screenshots
app="$build/src/housetone"
tour="$build/housetone-screenshots"
out=docs/screenshots
mkdir -p "$out"

for look in light dark; do
  home=$(mktemp -d)
  state="$home/.local/state/vuzeda"
  write_settings_including_every_speaker "$app" "$state"
  # A 1366 x 768 laptop screen, so the window opens at its launch size.
  printf '{"screens": [{"name": "laptop", "x": 0, "y": 0, "width": 1366, "height": 768,
    "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]}' >"$home/screen.json"
  HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$home" \
    QT_QPA_PLATFORM="offscreen:configfile=$home/screen.json" \
    timeout 300 "$tour" "$out" --appearance "$look" --sim-speed 40 2>&1 |
    grep '^screenshots:' || true
  rm -rf "$home"
done

# shoot_aligned NAME DPR [program options]: the aligned window alone, on a screen of 1366 x 768
# device pixels shown at DPR device pixels per pixel (2: a 683 x 384 desktop).
shoot_aligned() {
  local name=$1 dpr=$2 home
  shift 2
  home=$(mktemp -d)
  write_settings_including_every_speaker "$app" "$home/.local/state/vuzeda" "$@"
  printf '{"screens": [{"name": "laptop", "x": 0, "y": 0, "width": %d, "height": %d,
    "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": %s}]}' $((1366 / dpr)) $((768 / dpr)) "$dpr" \
    >"$home/screen.json"
  HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$home" \
    QT_QPA_PLATFORM="offscreen:configfile=$home/screen.json" \
    timeout 120 "$tour" "$out" --aligned-only "$name" --appearance light --sim-speed 40 "$@" 2>&1 |
    grep '^screenshots:' || true
  rm -rf "$home"
}
shoot_aligned main-light-aligned-2x.png 2

rooms=$(mktemp -d)
trap 'rm -rf "$rooms"' EXIT
cat >"$rooms/long-name.json" <<'ROOM'
{"outputs": [
  {"name": "Living Room Soundbar with Wireless Subwoofer and Rear Surrounds (HDMI eARC input)",
   "uid": "soundbar", "transport": "hdmi", "latencyMs": 40, "distanceM": 3},
  {"name": "Kitchen Speaker", "uid": "kitchen", "transport": "blue", "latencyMs": 180,
   "distanceM": 5},
  {"name": "Built-in Speakers", "uid": "builtin", "transport": "bltn", "latencyMs": 10,
   "distanceM": 0.5}],
 "inputs": [{"name": "Built-in Microphone", "uid": "mic", "transport": "bltn"}],
 "defaultOutput": "builtin", "defaultInput": "mic"}
ROOM
shoot_aligned main-light-long-name.png 1 --sim-room "$rooms/long-name.json"
ls -l "$out"
