#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds everything and runs the whole test suite.
#   scripts/test.sh              ordinary build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build
extra=()
if [ "${1:-}" = "--sanitize" ]; then
  build_dir=build-asan
  extra=(-DQUORVIA_SANITIZE=ON)
fi

# CI keeps the ordinary build at no warnings.
if [ "${CI:-}" = "true" ] && [ "$build_dir" = build ]; then
  extra+=(-DQUORVIA_WERROR=ON)
fi

scripts/install-deps.sh
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}"
cmake --build "$build_dir" -j"$(nproc)"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$PWD/scripts/lsan.supp}"
ctest --test-dir "$build_dir" --output-on-failure -j2
