#!/usr/bin/env bash
# Builds everything and runs the whole test suite, then the non-UI test programs again under
# AddressSanitizer + UndefinedBehaviorSanitizer in a build directory of their own (build-asan-nonui;
# Qt is not built with the sanitizers, so the UI stays out). Then the safety nets, briefly, so they
# cannot rot: the soak for three simulated minutes in that sanitized tree, and every fuzz target for
# 15 s from its corpus (clang, build-fuzz). Each run ends with its summary.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh ccache
# Three trees are built from the same sources: a compiler cache keyed on paths relative to this
# checkout lets a later run, or another clone, reuse what an earlier one compiled.
export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"
QT_QPA_PLATFORM=offscreen ctest --test-dir "$build" -j"$(nproc)" --output-on-failure
bash scripts/sanitize.sh asan-nonui
bash scripts/soak.sh asan 1 0.05
bash scripts/fuzz.sh run 15
