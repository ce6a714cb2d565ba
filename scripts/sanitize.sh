#!/usr/bin/env bash
# Runs the whole test suite under sanitizers, each in its own build directory.
#   scripts/sanitize.sh asan         AddressSanitizer + UndefinedBehaviorSanitizer
#   scripts/sanitize.sh asan-nonui   the same, every test program but the UI's (CI runs this)
#   scripts/sanitize.sh tsan         ThreadSanitizer
#   scripts/sanitize.sh              asan and tsan
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
run() {
  local name=$1 flags=$2 slowdown=$3 target=${4:-all} skip=${5:-^$}
  local build=build-$name
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DHOUSETONE_SANITIZE="$flags" \
    -DHOUSETONE_BUILD_BENCH=OFF -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g"
  cmake --build "$build" -j"$(nproc)" --target "$target"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  LSAN_OPTIONS=suppressions="$PWD/scripts/lsan.supp" \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp" \
  HOUSETONE_TEST_SLOWDOWN=$slowdown \
  QT_QPA_PLATFORM=offscreen ctest --test-dir "$build" -j"$(nproc)" --output-on-failure -E "$skip"
}
case "${1:-both}" in
  asan) run asan address,undefined 2 ;;
  # The UI test program is not built, so its stand-in "not built" test is left out.
  asan-nonui) run asan-nonui address,undefined 2 housetone-nonui-tests _NOT_BUILT$ ;;
  tsan) run tsan thread 5 ;;
  both) run asan address,undefined 2; run tsan thread 5 ;;
  *) echo "usage: $0 [asan|asan-nonui|tsan|both]" >&2; exit 2 ;;
esac
