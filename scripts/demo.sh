#!/usr/bin/env bash
# Builds the programs and runs serial-modem-setup with its debug trace
# against the simulated modem console, on the example command file. The
# simulator's transcript of the dialogue goes to standard error.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages cmake make g++

cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/demo -j2 >/dev/null
exec build/demo/tools/modem-sim/modem-sim -- \
  build/demo/modem-setup/serial-modem-setup -d {} -c examples/bridge.conf -D "$@"
