#!/bin/sh
# Installs the Debian packages the build, the tests and the benchmarks need. zlib and brotli: the
# packaged cpp-httplib is built with them, and its header must be compiled with the same features.
# Idempotent: packages already present are skipped without touching apt.
set -eu

PACKAGES="cmake g++ make pkg-config ca-certificates openssl python3 \
libboost-dev libcurl4-openssl-dev libssl-dev libsimdjson-dev \
libcpp-httplib-dev zlib1g-dev libbrotli-dev libgtest-dev libgmock-dev"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -z "$missing" ]; then
    echo "bootstrap: all packages present"
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "bootstrap: installing$missing"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing
