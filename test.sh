#!/bin/sh
# Builds a test tree with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test with CTest, then the cross-built suites (scripts/cross-test.sh).
# Exits non-zero on any failure.
set -eu
cd "$(dirname "$0")"
./scripts/install-deps.sh

BUILD=build/test
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Debug -DOMBRIX_SANITIZE=ON \
      -DOMBRIX_FAULT_INJECTION=ON >/dev/null
cmake --build "$BUILD" -j "$(nproc)"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
(cd "$BUILD" && ctest --output-on-failure -j "$(nproc)")

# The same suite on a 32-bit and on a big-endian build (the appliance is both).
# OMBRIX_SKIP_CROSS=1 skips them for a quick local run.
if [ "${OMBRIX_SKIP_CROSS:-0}" != 1 ]; then
  ./scripts/cross-test.sh i386
  ./scripts/cross-test.sh s390x
fi
