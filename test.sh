#!/bin/sh
# Builds a test tree with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test with CTest. Exits non-zero on any failure.
set -eu
cd "$(dirname "$0")"
./scripts/install-deps.sh

BUILD=build/test
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Debug -DOMBRIX_SANITIZE=ON >/dev/null
cmake --build "$BUILD" -j "$(nproc)"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
cd "$BUILD"
ctest --output-on-failure -j "$(nproc)"
