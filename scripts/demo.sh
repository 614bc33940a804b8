#!/usr/bin/env bash
# Builds the programs and configures a simulated modem with the example
# command file, the way a board would: a console that answers in about 30 ms
# and takes about a second to save to flash (examples/modem-sim.replies).
#
# serial-modem-setup's debug trace goes to standard output, the simulator's
# transcript of the dialogue (<- received, -> sent) to standard error, and
# then the messages it sent to the system log ("log: ..."). It runs in a
# private mount namespace whose /dev/log is a socket of the demo's own, so
# the machine's logger never sees them; that needs root. Extra arguments go
# to serial-modem-setup. The exit status is serial-modem-setup's.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages cmake make g++

cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/demo -j2 >/dev/null
exec build/demo/tools/modem-sim/modem-sim -d 30 -r examples/modem-sim.replies -- \
  build/demo/tools/sandbox-run/sandbox-run --show-log -- \
  build/demo/modem-setup/serial-modem-setup -d {} -c examples/bridge.conf -D "$@"
