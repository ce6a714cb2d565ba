#!/usr/bin/env bash
# Builds everything and runs the whole test suite, then the non-UI test programs again under
# AddressSanitizer + UndefinedBehaviorSanitizer in a build directory of their own (build-asan-nonui;
# Qt is not built with the sanitizers, so the UI stays out). Each run ends with ctest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"
QT_QPA_PLATFORM=offscreen ctest --test-dir "$build" -j"$(nproc)" --output-on-failure
bash scripts/sanitize.sh asan-nonui
