#!/usr/bin/env bash
# A whole run of serial-modem-setup under valgrind's memcheck against the
# simulated console: the login, every command of examples/bridge.conf, then
# the DHCP kick of a stand-in client. Fails on any memcheck error, on any
# leaked or still reachable block, on a run that did not answer every
# command, and when the kick did not reach the client.
#
#   scripts/memcheck.sh [BUILD_DIR]     (default build/default, already built)
#
# The run happens in a private pid namespace, so the stand-in client gets a
# pid the kick accepts, and the program runs in the tests' sandbox launcher
# with a /var/run of its own and no /dev/log: the machine's /var/run and
# system logger are never touched. valgrind's report: BUILD_DIR/memcheck.log.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages valgrind util-linux

build=${1:-build/default}
for program in modem-setup/serial-modem-setup tools/modem-sim/modem-sim tools/sandbox-run/sandbox-run; do
  if [ ! -x "$build/$program" ]; then
    echo "memcheck: $build/$program is missing: build $build first" >&2
    exit 2
  fi
done

work=$(mktemp -d /tmp/memcheck.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/run"
log=$build/memcheck.log
rm -f "$log"

# Statuses: the program's, then the stand-in client's: 42 when the kick's
# SIGALRM came (142 when it came before the trap was set), 143 when it was
# still waiting afterwards and we ended it. Whatever is left in the pid
# namespace ends with it.
# shellcheck disable=SC2016  # the script's variables are the inner bash's
statuses=$(unshare --pid --fork --mount-proc bash -c '
  set -u
  build=$1 work=$2 log=$3
  # The stand-in client: SIGALRM is what dhcpcd 1.x to 3.x take as a kick.
  bash -c "trap \"exit 42\" ALRM; sleep 600 & wait" &
  client=$!
  echo "$client" >"$work/run/dhcpcd-eth9.pid"
  "$build/tools/modem-sim/modem-sim" -t "$work/transcript" -- \
    "$build/tools/sandbox-run/sandbox-run" --run-dir "$work/run" -- \
    valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
      --show-leak-kinds=all --errors-for-leak-kinds=all --track-origins=yes \
      --vgdb=no --log-file="$log" \
      "$build/modem-setup/serial-modem-setup" -d {} -c examples/bridge.conf -w 0 -k eth9
  status=$?
  kill -TERM "$client" 2>/dev/null
  wait "$client"
  echo "$status $?"
' memcheck "$build" "$work" "$log")
read -r status client <<<"$statuses"
if ! [[ $status =~ ^[0-9]+$ && $client =~ ^[0-9]+$ ]] || [ ! -f "$log" ]; then
  echo "memcheck: the run did not happen (statuses: '$statuses')" >&2
  exit 1
fi

cat "$log"
failed=0
# valgrind's own word that it watched the whole run and found nothing.
if ! grep -q "ERROR SUMMARY: 0 errors from 0 contexts" "$log"; then
  echo "memcheck: valgrind found errors or did not finish (see $log)" >&2
  failed=1
fi
if [ "$status" -ne 0 ]; then
  echo "memcheck: serial-modem-setup exited with $status (99: memcheck errors; others: commands without a prompt)" >&2
  sed -n '1,200p' "$work/transcript" >&2
  failed=1
fi
if [ "$client" -ne 42 ] && [ "$client" -ne 142 ]; then
  echo "memcheck: the kick did not reach the stand-in DHCP client (its status: $client)" >&2
  failed=1
fi
if [ "$failed" -eq 0 ]; then
  echo "memcheck: no errors, no leaks; every command answered, the client kicked"
fi
exit "$failed"
