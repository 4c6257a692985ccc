#!/bin/sh
# Builds the agent driver (which builds the plug-in and the cluster emulator with it), then runs
# its demo: three backup jobs through the plug-in against the emulator on a loopback address.
# The build is quiet unless it fails. Arguments go to `snapjob demo` (for example --keep DIR).
set -eu
cd "$(dirname "$0")/.."
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B build && cmake --build build -j"$(nproc)" --target snapjob; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "demo: the build failed (output above)" >&2
    exit 1
fi
rm -f "$log"
trap - EXIT
exec build/bin/snapjob demo "$@"
