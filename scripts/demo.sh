#!/bin/sh
# Builds the agent driver (which builds the plug-in and the cluster emulator with it), then runs
# its demo: three backup jobs through the plug-in against the emulator on a loopback address.
# Arguments go to `snapjob demo` (for example --keep DIR).
set -eu
cd "$(dirname "$0")/.."
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target snapjob
exec build/bin/snapjob demo "$@"
