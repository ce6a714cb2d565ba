#!/usr/bin/env bash
# Renders screenshots of the real program into docs/screenshots/: the main window in the light and
# the dark appearance at its launch size, aligned, during a guided walk and after an auto-tune, the
# picture of that tune, and the open status menu. Runs offscreen in the built-in simulated room
# (at 40x speed) with every speaker included, in a temporary home so your own settings stay
# untouched.
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
ls -l "$out"
