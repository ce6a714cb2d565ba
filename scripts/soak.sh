#!/usr/bin/env bash
# Runs the soak (tools/soak) for one simulated hour under AddressSanitizer + UndefinedBehavior-
# Sanitizer and under ThreadSanitizer, each in its own build directory (as scripts/sanitize.sh
# builds them).
#   scripts/soak.sh [asan|tsan|both] [SEED] [HOURS]
set -euo pipefail
cd "$(dirname "$0")/.."
which=${1:-both}
seed=${2:-1}
hours=${3:-1}
run() {
  local name=$1 flags=$2
  local build=build-$name
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DHOUSETONE_SANITIZE="$flags" \
    -DHOUSETONE_BUILD_BENCH=OFF -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" >/dev/null
  cmake --build "$build" -j"$(nproc)" --target housetone-soak
  echo "== soak under $name, seed $seed, $hours simulated hour(s)"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  LSAN_OPTIONS=suppressions="$PWD/scripts/lsan.supp" \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp" \
    "$build/housetone-soak" --seed "$seed" --hours "$hours" --quiet
}
status=0
case "$which" in
  asan) run asan address,undefined || status=$? ;;
  tsan) run tsan thread || status=$? ;;
  both) run asan address,undefined || status=$?; run tsan thread || status=$? ;;
  *) echo "usage: $0 [asan|tsan|both] [SEED] [HOURS]" >&2; exit 2 ;;
esac
exit "$status"
