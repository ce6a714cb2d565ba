#!/usr/bin/env bash
# Builds and runs the libFuzzer targets (room file, WAV reader, settings decoder) with clang, in
# build-fuzz/, apart from the normal g++ build.
#   scripts/fuzz.sh build              build the targets
#   scripts/fuzz.sh run SECONDS [T..]  build, then run each target (or the named ones) in turn
# Each run starts from the seed corpus in tools/fuzz/corpus/<target> and keeps what it learns in
# build-fuzz/corpus/<target>; a crashing input is left in build-fuzz/crashes/.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build-fuzz
cxx=${CXX_FUZZ:-clang++-14}
targets=(room wav settings)
declare -A sources=(
  [room]="src/audio/sim/room.cpp src/audio/sim/wav.cpp src/core/bounded_read.cpp src/core/printable.cpp"
  [wav]="src/audio/sim/wav.cpp src/core/bounded_read.cpp"
  [settings]="src/core/settings_store.cpp"
)

build() {
  mkdir -p "$out"
  local flags=(-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
               -Isrc $(pkg-config --cflags sndfile))
  for t in "${targets[@]}"; do
    # shellcheck disable=SC2086
    "$cxx" "${flags[@]}" tools/fuzz/${t}_fuzz.cpp ${sources[$t]} \
      $(pkg-config --libs sndfile) -o "$out/${t}_fuzz"
  done
}

run() {
  local seconds=$1; shift
  local which=("$@")
  ((${#which[@]})) || which=("${targets[@]}")
  mkdir -p "$out/crashes"
  for t in "${which[@]}"; do
    mkdir -p "$out/corpus/$t"
    echo "== $t: $seconds s"
    "$out/${t}_fuzz" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
      -artifact_prefix="$out/crashes/$t-" -print_final_stats=1 \
      "$out/corpus/$t" "tools/fuzz/corpus/$t"
  done
}

case "${1:-}" in
  build) build ;;
  run) [[ $# -ge 2 ]] || { echo "usage: $0 run SECONDS [target...]" >&2; exit 2; }
       build; shift; run "$@" ;;
  *) echo "usage: $0 build | run SECONDS [target...]" >&2; exit 2 ;;
esac
