#!/usr/bin/env bash
# Runs the soak (tools/soak): random operations on the controller and the engine for a stretch
# of simulated time, under AddressSanitizer + UndefinedBehaviorSanitizer, under ThreadSanitizer or
# in the plain build.
#   scripts/soak.sh [asan|tsan|both|plain] [SEEDS] [HOURS]
# SEEDS is one seed, a list (1,3) or a range (1-5); each seed runs in turn, and the status is not 0
# when any check failed for any of them. asan builds in build-asan-nonui (the tree
# `scripts/sanitize.sh asan-nonui` makes: the soak needs nothing of the UI), tsan in build-tsan
# (scripts/sanitize.sh), plain in BUILD_DIR (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
which=${1:-both}
seeds=${2:-1}
hours=${3:-1}

case "$seeds" in
  *-*) seeds=$(seq "${seeds%-*}" "${seeds#*-}") ;;
  *) seeds=${seeds//,/ } ;;
esac
for s in $seeds; do
  [[ $s =~ ^[0-9]+$ ]] || { echo "soak: '$s' is not a seed" >&2; exit 2; }
done

run() {
  local name=$1 flags=$2 build=$3
  if [[ -n $flags ]]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DHOUSETONE_SANITIZE="$flags" \
      -DHOUSETONE_BUILD_BENCH=OFF -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" >/dev/null
  else
    cmake -S . -B "$build" >/dev/null
  fi
  cmake --build "$build" -j"$(nproc)" --target housetone-soak
  local status=0
  for seed in $seeds; do
    echo "== soak under $name, seed $seed, $hours simulated hour(s)"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    LSAN_OPTIONS=suppressions="$PWD/scripts/lsan.supp" \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp" \
      "$build/housetone-soak" --seed "$seed" --hours "$hours" --quiet || status=1
  done
  return "$status"
}
status=0
case "$which" in
  asan) run asan address,undefined build-asan-nonui || status=$? ;;
  tsan) run tsan thread build-tsan || status=$? ;;
  both) run asan address,undefined build-asan-nonui || status=$?
        run tsan thread build-tsan || status=$? ;;
  plain) run plain "" "${BUILD_DIR:-build}" || status=$? ;;
  *) echo "usage: $0 [asan|tsan|both|plain] [SEEDS] [HOURS]" >&2; exit 2 ;;
esac
exit "$status"
