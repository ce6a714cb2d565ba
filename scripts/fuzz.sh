#!/usr/bin/env bash
# Builds and runs the libFuzzer targets (room file, WAV reader, settings decoder) with clang, in
# build-fuzz/, apart from the normal g++ build. The targets are CMake targets (tools/fuzz), so
# each is built from the libraries its decoder lives in.
#   scripts/fuzz.sh build              build the targets
#   scripts/fuzz.sh run SECONDS [T..]  build, then run every target (or the named ones)
# Each run starts from the seed corpus in tools/fuzz/corpus/<target> and keeps what it learns in
# build-fuzz/corpus/<target>; a crashing input is left in build-fuzz/crashes/. The status is not
# 0 when any target found something or could not run.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${FUZZ_BUILD_DIR:-build-fuzz}
cxx=${CXX_FUZZ:-clang++-14}
targets=(room wav settings)

build() {
  local launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S . -B "$out" -DCMAKE_CXX_COMPILER="$cxx" -DHOUSETONE_FUZZ=ON \
    -DHOUSETONE_BUILD_TESTS=OFF -DHOUSETONE_BUILD_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" "${launcher[@]}" >/dev/null
  cmake --build "$out" -j"$(nproc)" --target housetone-fuzz
}

# The targets run side by side, each for SECONDS, with its output in build-fuzz/<target>.log;
# each one's final figures follow, and the whole log of any that stopped early.
run() {
  local seconds=$1; shift
  local which=("$@")
  ((${#which[@]})) || which=("${targets[@]}")
  mkdir -p "$out/crashes"
  local t pids=()
  for t in "${which[@]}"; do
    [[ -d tools/fuzz/corpus/$t ]] || { echo "no fuzz target '$t' (${targets[*]})" >&2; exit 2; }
  done
  trap 'kill "${pids[@]}" 2>/dev/null' EXIT
  for t in "${which[@]}"; do
    mkdir -p "$out/corpus/$t"
    "$out/tools/fuzz/housetone-fuzz-$t" -max_total_time="$seconds" -max_len=65536 \
      -rss_limit_mb=2048 -artifact_prefix="$out/crashes/$t-" -print_final_stats=1 \
      "$out/corpus/$t" "tools/fuzz/corpus/$t" >"$out/$t.log" 2>&1 &
    pids+=($!)
  done
  echo "== fuzzing ${which[*]} for $seconds s each"
  local i status=0
  for i in "${!which[@]}"; do
    t=${which[$i]}
    if wait "${pids[$i]}"; then
      echo "== $t: $(grep -m1 -E '^Done ' "$out/$t.log")"
      grep -E 'DONE|^stat::(number_of_executed_units|new_units_added|peak_rss_mb)' "$out/$t.log"
    else
      status=1
      echo "== $t FAILED (crashing input in $out/crashes/, if any):"
      cat "$out/$t.log"
    fi
  done
  trap - EXIT
  return "$status"
}

case "${1:-}" in
  build) build ;;
  run) [[ $# -ge 2 ]] || { echo "usage: $0 run SECONDS [target...]" >&2; exit 2; }
       build; shift; run "$@" ;;
  *) echo "usage: $0 build | run SECONDS [target...]" >&2; exit 2 ;;
esac
