#!/bin/sh
# Builds everything and runs every test. With --sanitize, the same in a build with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -eu
cd "$(dirname "$0")/.."

build_dir=build
sanitize=OFF
if [ "${1:-}" = "--sanitize" ]; then
    build_dir=build-asan
    sanitize=ON
fi

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSNAP_SANITIZE="$sanitize" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
cd "$build_dir"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=0" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    ctest -j"$(nproc)" --output-on-failure --timeout 600
