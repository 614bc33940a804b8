#!/usr/bin/env bash
# The boot script's DHCP renewal (DHCP_CLIENT) against real DHCP clients
# holding a lease from a real DHCP server, dnsmasq, over a veth pair: the
# client's end (wan0) in a network namespace of the test's own, the server's
# in a second one. The script's "run" configures modem-sim on a pty, whose
# last command takes 1.5 s, then asks the client to renew: the watch
# (MODEM_WATCH=yes, the default) from the outcome serial-modem-setup tells
# it, a single run (MODEM_WATCH=no) once the program has ended. Checked:
# the run logs "configured" (the watch on its standard output too), then
# the watch goes on until SIGTERM ends it with 254 (a single run exits 0); the server saw the client's renewal
# request (DHCPREQUEST and DHCPACK) only after the modem had its last
# command; the client still runs, alone, and wan0 still holds its address.
#
#   tests/dhcp-renew.sh CASE SCRIPT SERIAL_MODEM_SETUP MODEM_SIM SANDBOX_RUN
#
# CASE, the client and how it runs:
#   dhcpcd          Debian's dhcpcd 9 as its dhcpcd.service runs it: the
#                   manager of every interface (DHCP_CLIENT=dhcpcd)
#   dhcpcd-ipv4     dhcpcd 9 for wan0 alone, IPv4 only (dhcpcd -4 wan0)
#   udhcpc          busybox udhcpc -p /var/run/udhcpc.wan0.pid, as ifup runs it
#   udhcpc-openwrt  busybox udhcpc -p /var/run/udhcpc-wan0.pid, as OpenWrt does,
#                   the boot script run by busybox sh
#   dhcpcd-legacy   tests/board/fake-dhcpcd, the stand-in for dhcpcd 1.x to
#                   3.x: it must get serial-modem-setup's SIGALRM
#   no-dhcpcd       DHCP_CLIENT=dhcpcd with no client running: the failure is
#                   logged at err, the run still configures, and no dhcpcd is
#                   started
#   no-networkd     DHCP_CLIENT=networkd with no systemd-networkd: networkctl's
#                   own complaint is logged at err, the run still configures
#   dhcpcd-once     dhcpcd as for dhcpcd, the renewal by a single run
#                   (MODEM_WATCH=no)
#
# Everything runs in private namespaces (network, mount, pid, UTS): the
# sandbox's /dev/log, /run and /var/run, a private /etc/resolv.conf,
# /etc/default (the settings) and /var/lib/dhcpcd, and /usr/sbin with the
# programs of this build; nothing on the machine changes, and every process
# ends with the pid namespace. Exits 77 (skipped) when dnsmasq, dhcpcd or
# busybox is missing.
set -euo pipefail

if [ "${1:-}" != --inner ]; then
  case=$1 script=$2 setup=$3 modem_sim=$4 sandbox=$5
  missing=()
  for program in dnsmasq dhcpcd busybox networkctl; do
    command -v "$program" >/dev/null || missing+=("$program")
  done
  if [ ${#missing[@]} -ne 0 ]; then
    echo "not found: ${missing[*]} (Debian packages dnsmasq-base, dhcpcd-base, busybox, systemd)"
    exit 77
  fi
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  mkdir "$work/run"
  # --kill-child: whatever ends this script ends every process inside too.
  unshare --net --uts --pid --fork --kill-child "$sandbox" --run-dir "$work/run" -- \
    bash "$0" --inner "$case" "$(realpath "$script")" "$(realpath "$setup")" \
    "$(realpath "$modem_sim")" "$work" "$(readlink /proc/self/ns/mnt)"
  exit
fi

# Inside the namespaces, under the sandbox's mounts. The mount namespace the
# script was started in comes last: never run this part there.
shift
case=$1 script=$2 setup=$3 modem_sim=$4 work=$5 outside=$6
if [ ! -d "$work" ] || [ "$(readlink /proc/self/ns/mnt)" = "$outside" ]; then
  echo "dhcp-renew: --inner runs only in the namespaces the script makes" >&2
  exit 2
fi
name=$case
watch=yes
case $case in *-once) watch=no case=${case%-once} ;; esac
source_dir=$(cd "$(dirname "$0")/.." && pwd)
failed=0
ok() { echo "  ok: $*"; }
bad() {
  echo "  FAILED: $*" >&2
  failed=1
}

# waitfor SECONDS COMMAND...: until the command succeeds, at most so long.
waitfor() {
  local until=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $until ] || return 1
    sleep 0.1
  done
}

# Conditions to wait for (called through waitfor).
# shellcheck disable=SC2317
in_own_netns() { [ "$(readlink "/proc/$1/ns/net")" != "$(readlink /proc/self/ns/net)" ]; }
# shellcheck disable=SC2317
has_lease() {
  address=$(ip -4 -o addr show wan0 | sed -n 's/.* inet \(192\.0\.2\.[0-9]*\)\/.*/\1/p')
  [ -n "$address" ]
}
# shellcheck disable=SC2317
ended() { ! kill -0 "$1" 2>/dev/null; }
# The server's lines after the modem's last command.
after_mark() { tail -n +"$((mark + 1))" "$work/dnsmasq.log"; }
# shellcheck disable=SC2317
renewed() { after_mark | grep -q "DHCPACK(srv0) $address $mac"; }
requests() { grep -c "DHCPREQUEST(srv0) $address $mac" "$work/dnsmasq.log" 2>/dev/null || true; }

hostname dhcp-test
# /sys of this network namespace.
mount -t sysfs sysfs /sys
# The namespace's system logger, on the sandbox's /dev/log.
busybox syslogd -n -O "$work/messages" &
waitfor 10 test -S /dev/log || {
  bad "busybox syslogd is not listening on /dev/log"
  exit 1
}
ip link set lo up

# The server: dnsmasq on srv0 in a network namespace of its own.
ip link add wan0 type veth peer name srv0
# shellcheck disable=SC2016  # the inner shell's $1
unshare --net bash -c 'until ip link show srv0 >/dev/null 2>&1; do sleep 0.05; done
  ip link set lo up && ip addr add 192.0.2.1/24 dev srv0 && ip link set srv0 up &&
  exec dnsmasq --keep-in-foreground --conf-file=/dev/null --port=0 --user=root \
    --interface=srv0 --bind-interfaces --dhcp-range=192.0.2.10,192.0.2.20,255.255.255.0,1h \
    --dhcp-leasefile="$1/leases" --log-dhcp --log-facility="$1/dnsmasq.log"' sh "$work" &
server=$!
waitfor 10 in_own_netns "$server"
ip link set srv0 netns "$server"
ip link set wan0 up
mac=$(cat /sys/class/net/wan0/address)

# What a client may change on the machine, made private: resolv.conf (its
# hooks; they are off too), dhcpcd's lease database; /run is the sandbox's.
if [ -e /etc/resolv.conf ]; then
  cp /etc/resolv.conf "$work/resolv.conf"
  mount --bind "$work/resolv.conf" /etc/resolv.conf
fi
mkdir -p /var/lib/dhcpcd
mount -t tmpfs tmpfs /var/lib/dhcpcd
# No udev in here (nodev), no hooks.
printf '%s\n' ipv4only noipv6rs nodev 'script /bin/true' >"$work/dhcpcd.conf"
# udhcpc's script: the address on the interface, as a board's does.
# shellcheck disable=SC2016  # its own variables
printf '%s\n' '#!/bin/sh' 'case $1 in' 'deconfig) ip -4 addr flush dev "$interface" ;;' \
  'bound | renew) ip -4 addr flush dev "$interface" && ip addr add "$ip/${mask:-24}" dev "$interface" ;;' \
  'esac' >"$work/udhcpc.script"
chmod +x "$work/udhcpc.script"

client=
case $case in
dhcpcd)
  dhcpcd -f "$work/dhcpcd.conf" -b >"$work/client.out" 2>&1
  client=$(cat /run/dhcpcd/pid)
  ;;
dhcpcd-ipv4)
  dhcpcd -f "$work/dhcpcd.conf" -4 -b wan0 >"$work/client.out" 2>&1
  client=$(cat /run/dhcpcd/wan0-4.pid)
  ;;
udhcpc | udhcpc-openwrt)
  pidfile=/var/run/udhcpc.wan0.pid
  [ "$case" = udhcpc-openwrt ] && pidfile=/var/run/udhcpc-wan0.pid
  busybox udhcpc -f -i wan0 -p "$pidfile" -s "$work/udhcpc.script" >"$work/client.out" 2>&1 &
  client=$!
  ;;
dhcpcd-legacy)
  "$source_dir/tests/board/fake-dhcpcd" wan0 >"$work/client.out" 2>&1 &
  ;;
esac
address=
if [ -n "$client" ]; then
  if waitfor 30 has_lease; then
    ok "$case (pid $client) holds $address on wan0"
  else
    bad "$case got no lease within 30 s"
    cat "$work/client.out" "$work/dnsmasq.log" >&2
    exit 1
  fi
fi
before=$(requests)

# The programs the script runs: this build's, and the machine's dhcpcd.
# The test's own commands find the machine's /usr/sbin where it is bound.
mkdir -p "$work/sbin" "$work/host-sbin" "$work/default"
mount --bind /usr/sbin "$work/host-sbin"
ln -s "$work/host-sbin/dhcpcd" "$work/sbin/dhcpcd"
ln -s "$setup" "$work/sbin/serial-modem-setup"
mount --bind "$work/sbin" /usr/sbin
mount --bind "$work/default" /etc/default
PATH=$work/host-sbin:$PATH
# The sandbox's /dev has the pts directory; its ptmx makes new ptys.
[ -e /dev/ptmx ] || ln -s pts/ptmx /dev/ptmx

# The modem: three commands, the last one (a save) taking 1.5 s.
printf '%s\n' 'nat disable' 'bridge enable' 'save' >"$work/bridge.conf"
printf '%s\n' 'nat disable => NAT is off.' 'bridge enable => Bridge mode enabled' \
  'save =>@1500 Configuration saved' >"$work/replies"
"$modem_sim" -u admin -p bridge-42 -d 30 -r "$work/replies" -t "$work/transcript" \
  >"$work/modem-sim.out" 2>&1 &
waitfor 10 grep -qs '^/dev/' "$work/modem-sim.out" || {
  bad "modem-sim did not start: $(cat "$work/modem-sim.out")"
  exit 1
}
settings=(MODEM_DEVICE="$(head -n 1 "$work/modem-sim.out")" MODEM_COMMANDS="$work/bridge.conf"
  MODEM_USER=admin MODEM_PASSWORD=bridge-42 MODEM_QUIET=1 MODEM_WAIT=60 DHCP_INTERFACE=wan0
  MODEM_WATCH="$watch")
case $case in
dhcpcd-legacy) ;; # DHCP_INTERFACE alone means the legacy kick
dhcpcd* | no-dhcpcd) settings+=(DHCP_CLIENT=dhcpcd) ;;
udhcpc*) settings+=(DHCP_CLIENT=udhcpc) ;;
no-networkd) settings+=(DHCP_CLIENT=networkd) ;;
esac
printf '%s\n' "${settings[@]}" >"$work/default/dsl-modem"

# OpenWrt's and Buildroot's boards run it under busybox sh, the others
# under the machine's /bin/sh.
shell=(/bin/sh)
[ "$case" = udhcpc-openwrt ] && shell=(busybox sh)
"${shell[@]}" "$script" run >"$work/run.out" 2>&1 &
run=$!
# The modem has its last command: what the server saw by now came before
# the renewal, whose request can come only once the save is answered.
if waitfor 90 grep -q '^<- "save' "$work/transcript"; then
  mark=$(wc -l <"$work/dnsmasq.log" 2>/dev/null || echo 0)
  at_mark=$(requests)
else
  bad "the modem never got its last command; the run said: $(cat "$work/run.out")"
  exit 1
fi
# The outcome: a single run ends; the watch logs it and goes on.
run_status=0
if [ "$watch" = no ]; then
  waitfor 60 ended "$run" || bad "the run did not end within 60 s of the last command"
  wait "$run" || run_status=$?
  if [ "$run_status" -eq 0 ]; then
    ok "the run exited 0"
  else
    bad "the run exited $run_status: $(cat "$work/run.out")"
  fi
elif waitfor 60 grep -q "dsl-modem: modem configured in " "$work/messages" && kill -0 "$run"; then
  ok "the watch logged its outcome and goes on"
  # Its lines go where the run's own go too (under systemd, the journal).
  if waitfor 10 grep -q "^dsl-modem: modem configured in " "$work/run.out"; then
    ok "the run's output has the outcome: $(grep -m 1 "^dsl-modem: modem configured in " "$work/run.out")"
  else
    bad "the run's output has no outcome line: $(cat "$work/run.out")"
  fi
else
  bad "the watch logged no outcome within 60 s of the last command, or ended: $(cat "$work/run.out")"
fi

case $case in
dhcpcd | dhcpcd-ipv4 | udhcpc*)
  if [ "$at_mark" = "$before" ]; then
    ok "no request before the modem's last command but the lease's own ($before)"
  else
    bad "the server saw $at_mark requests by the last command, $before before the run"
  fi
  if waitfor 10 renewed; then
    ok "after the last command dnsmasq saw: $(after_mark | grep -o 'DHCP[A-Z]*(srv0) .*' | tr -s ' \n' ' ')"
  else
    bad "dnsmasq saw no renewal of $address after the last command"
    cat "$work/dnsmasq.log" >&2
  fi
  if kill -0 "$client" 2>/dev/null; then
    ok "the client (pid $client) still runs"
  else
    bad "the client (pid $client) is gone: $(cat "$work/client.out")"
  fi
  if ip -4 -o addr show wan0 | grep -q " $address/"; then
    ok "wan0 still holds $address"
  else
    bad "wan0 lost $address: $(ip -4 -o addr show wan0)"
  fi
  ;;
dhcpcd-legacy)
  if grep -q "got SIGALRM" "$work/client.out"; then
    ok "the stand-in client got SIGALRM: $(cat "$work/client.out")"
  else
    bad "the stand-in client got no SIGALRM"
  fi
  ;;
esac
# dhcpcd's main processes (titled "dhcpcd: [manager] ..." or "dhcpcd:
# wan0 ..."): the one the test started, or none; never one the renewal started.
mains=$(for cmdline in /proc/[0-9]*/cmdline; do
  tr '\0' ' ' <"$cmdline" 2>/dev/null
  echo
done | grep -c '^dhcpcd: \(\[manager\]\|wan0\)' || true)
expected=0
case $case in
dhcpcd | dhcpcd-ipv4) expected=1 ;;
esac
if [ "$mains" -eq "$expected" ]; then
  ok "$mains dhcpcd running"
else
  bad "$mains dhcpcd running, not $expected"
fi

# The watch ends on SIGTERM, with serial-modem-setup's status when stopped.
if [ "$watch" = yes ]; then
  kill -TERM "$run"
  waitfor 10 ended "$run" || bad "the watch did not end within 10 s of SIGTERM"
  wait "$run" || run_status=$?
  if [ "$run_status" -eq 254 ]; then
    ok "the watch ended on SIGTERM with 254"
  else
    bad "the watch ended on SIGTERM with $run_status, not 254: $(cat "$work/run.out")"
  fi
fi

# The log, "PRIORITY TEXT" for the boot script's lines, once a marker
# logged after them is in the file.
logger -t dhcp-renew "checks done"
waitfor 10 grep -q "dhcp-renew: checks done" "$work/messages" || bad "the marker never reached the log"
sed -n 's/^.* daemon\.\([a-z]*\) dsl-modem: /\1 /p' "$work/messages" >"$work/log"
# expect_log PATTERN FILE
expect_log() {
  if grep -q -- "$1" "$2"; then
    ok "logged: $(grep -m 1 -- "$1" "$2")"
  else
    bad "no log line '$1'; the log has:"
    sed 's/^/    /' "$2" >&2
  fi
}
expect_log '^info modem configured in ' "$work/log"
case $case in
dhcpcd) expect_log '^info DHCP: asked dhcpcd to renew the lease of wan0 (dhcpcd -n wan0)$' "$work/log" ;;
dhcpcd-ipv4) expect_log '^info DHCP: asked dhcpcd to renew the lease of wan0 (dhcpcd -4 -n wan0)$' "$work/log" ;;
udhcpc) expect_log '^info DHCP: asked udhcpc (pid [0-9]*, /var/run/udhcpc.wan0.pid) to renew' "$work/log" ;;
udhcpc-openwrt) expect_log '^info DHCP: asked udhcpc (pid [0-9]*, /var/run/udhcpc-wan0.pid) to renew' "$work/log" ;;
dhcpcd-legacy) expect_log 'user.debug serial-modem-setup: Kicking dhcpcd with pid [0-9]* successful' "$work/messages" ;;
no-dhcpcd) expect_log '^err DHCP: no dhcpcd runs for wan0 .* not renewed$' "$work/log" ;;
no-networkd) expect_log '^err DHCP: networkctl renew wan0 failed (exit status [0-9]*): .*[a-z].* not renewed$' "$work/log" ;;
esac
case $case in
no-*) ;;
*) if grep -q '^err ' "$work/log"; then bad "errors logged: $(grep '^err ' "$work/log")"; fi ;;
esac
[ "$failed" -eq 0 ] && echo "dhcp-renew $name: passed"
exit "$failed"
