#!/usr/bin/env bash
# Measures Keep in step in simulated rooms against their truth (a measurement, not a test): each
# room of tools/keep_trial/rooms for the seconds given (default 1800 for the still rooms and the
# drift, 180 for the moves), one summary line each. Needs a build (BUILD_DIR, default build).
#   bash scripts/measure-keep-in-step.sh [ROOM...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake --build "$build" --target housetone-keep-trial -j"$(nproc)" >/dev/null
rooms=("$@")
if ((${#rooms[@]} == 0)); then
  mapfile -t rooms < <(ls tools/keep_trial/rooms/*.json)
fi
for room in "${rooms[@]}"; do
  case $(basename "$room") in
    still-* | drift.json) seconds=${LONG_SECONDS:-1800} ;;
    *) seconds=${SHORT_SECONDS:-180} ;;
  esac
  "$build/housetone-keep-trial" "$room" "$seconds" | tail -n 1
done
