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
# to serial-modem-setup. It ends with a key to the trace's "::: N" lines and
# the exit status in words; the exit status is serial-modem-setup's.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages cmake make g++

cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/demo -j2 >/dev/null
status=0
build/demo/tools/modem-sim/modem-sim -d 30 -r examples/modem-sim.replies -- \
  build/demo/tools/sandbox-run/sandbox-run --show-log -- \
  build/demo/modem-setup/serial-modem-setup -d {} -c examples/bridge.conf -D "$@" || status=$?

# What the run said, in words: the trace's "::: N" lines and the status.
case $status in
0) meaning="every command got its prompt back" ;;
1) meaning="it could not start or read the console, or one command got no prompt back (the log: lines tell which)" ;;
*) meaning="$status commands got no prompt back" ;;
esac
echo
echo "key: each '::: N' line is a command the console answered, N being the 10 ms polls it waited for the prompt"
echo "exit status $status: $meaning"
exit "$status"
