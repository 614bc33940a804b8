#!/usr/bin/env bash
# serial-modem-setup's wait for a booting modem (-W 40 -q 2) against a real
# bootloader: Debian's U-Boot (u-boot-qemu, its qemu_arm build) under
# qemu-system-arm -M virt, its UART relayed to the program's pty by
# modem-sim --relay, which drops what the program sends before U-Boot's first
# output byte, as on a board whose UART the bootloader itself sets up. A byte
# that reaches U-Boot after that, before its countdown ("Hit any key to stop
# autoboot") is over, stops the autoboot.
#
# U-Boot is powered on (qemu, started held with -S and connected, told to
# "cont") at moments spread over the wait, and around the program's own
# newlines: after 2 s of quiet, each unanswered one doubling the quiet
# needed, they fall at about 2, 6, 14 and 30 s. The moments aim U-Boot's
# first output byte just before, at and just after them; what they hit is
# measured from the relay's transcript and shown. For each moment the
# autoboot must run (U-Boot goes on to its boot command after the countdown,
# rather than printing its "=> " prompt), and the program must still be
# waiting then. Two checks of the harness come first: a byte sent right
# after U-Boot's first output must stop the autoboot, and one sent while
# qemu is connected but U-Boot has printed nothing must be dropped.
#
#   tests/uboot-autoboot.sh SERIAL_MODEM_SETUP MODEM_SIM SANDBOX_RUN
#
# Everything runs in a pid namespace of its own (and a mount namespace with
# its /proc): qemu and the programs end with the test. About 2 minutes;
# exits 77 (skipped) when qemu-system-arm or U-Boot's qemu_arm build is
# missing.
set -euo pipefail

UBOOT=/usr/lib/u-boot/qemu_arm/u-boot.bin
QUIET=2
WAIT=40

if [ "${1:-}" != --inner ]; then
  missing=()
  command -v qemu-system-arm >/dev/null || missing+=("qemu-system-arm (Debian package qemu-system-arm)")
  [ -r "$UBOOT" ] || missing+=("$UBOOT (Debian package u-boot-qemu)")
  if [ ${#missing[@]} -ne 0 ]; then
    echo "not found: ${missing[*]}"
    exit 77
  fi
  # --kill-child: whatever ends this script ends qemu and the programs too.
  # --mount-proc: /proc shows that pid namespace (LeakSanitizer reads it).
  exec unshare --pid --fork --kill-child --mount-proc bash "$0" --inner "$(realpath "$1")" \
    "$(realpath "$2")" "$(realpath "$3")"
fi
setup=$2 modem_sim=$3 sandbox=$4

work=$(mktemp -d)
relay_pid='' qemu_pid=''
stop_all() {
  local pid
  for pid in $qemu_pid $relay_pid; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in $qemu_pid $relay_pid; do
    wait "$pid" 2>/dev/null || true
  done
  qemu_pid='' relay_pid=''
}
trap 'stop_all; rm -rf "$work"' EXIT
# qemu's monitors read this fifo: "cont" powers U-Boot on.
mkfifo "$work/monitor"
exec 3<>"$work/monitor"
printf 'echo unused\n' >"$work/commands"

now_ms() {
  local us=${EPOCHREALTIME/./}
  echo $((us / 1000))
}

# sleep_until MS: until now_ms reaches MS.
sleep_until() {
  local left=$(($1 - $(now_ms)))
  [ $left -le 0 ] || sleep "$((left / 1000)).$(printf %03d $((left % 1000)))"
}

seconds() { printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)); }

# wait_for SECONDS COMMAND...: until the command succeeds, at most so long.
wait_for() {
  local until=$(($(now_ms) + $1 * 1000))
  shift
  until "$@"; do
    [ "$(now_ms)" -lt $until ] || return 1
    sleep 0.02
  done
}

# relay_started NAME: its socket is there, or the relay has ended.
# shellcheck disable=SC2317  # called through wait_for
relay_started() { [ -S "$work/$1.sock" ] || ! kill -0 "$relay_pid" 2>/dev/null; }

# start_relay NAME COMMAND...: modem-sim --relay, running the command ("{}"
# is the pty) with its transcript in NAME.t; sets relay_pid and relay_ms,
# the time it started, and waits for its socket.
start_relay() {
  local name=$1
  shift
  relay_ms=$(now_ms)
  "$modem_sim" --relay "$work/$name.sock" -t "$work/$name.t" -- "$@" >"$work/$name.out" 2>&1 &
  relay_pid=$!
  # The socket comes before the command starts, and goes when it ends.
  wait_for 10 relay_started "$name" || true
  if ! kill -0 "$relay_pid" 2>/dev/null || [ ! -S "$work/$name.sock" ]; then
    local status=0
    wait "$relay_pid" || status=$?
    relay_pid=''
    echo "FAILED: $name: modem-sim --relay or its command ended at once (status $status)," \
      "or made no socket" >&2
    cat "$work/$name.out" >&2
    exit 1
  fi
}

# start_qemu NAME: qemu with U-Boot, held before its first instruction (-S)
# until power_on, its UART connected to the relay's socket, its monitor
# reading the fifo on descriptor 3; sets qemu_pid. Waits until the relay
# has the connection.
start_qemu() {
  local name=$1
  qemu-system-arm -M virt -m 128 -bios "$UBOOT" -display none -nic none -S -monitor stdio \
    -chardev "socket,id=uart,path=$work/$name.sock,server=off" -serial chardev:uart \
    <"$work/monitor" >>"$work/$name.qemu" 2>&1 &
  qemu_pid=$!
  if ! wait_for 20 grep -q -- '-- connected' "$work/$name.t"; then
    echo "FAILED: $name: qemu's UART did not connect to the relay" >&2
    cat "$work/$name.qemu" >&2
    exit 1
  fi
}

# power_on: lets U-Boot run; sets power_ms, when.
power_on() {
  power_ms=$(now_ms)
  echo cont >&3
}

# judge NAME: reads NAME.t, the relay's transcript. Sets verdict ("ran",
# "stopped", or "" while unknown), first_ms (U-Boot's first output, in the
# relay's time; -1 before it), sends (the times of what the program sent:
# "MS:dropped" or "MS:reached") and countdown (its line as U-Boot printed it).
judge() {
  local ms direction text out=''
  verdict='' first_ms=-1 sends=() countdown=''
  while read -r ms _ direction text; do
    case $direction in
      '->')
        [ "$first_ms" -ge 0 ] || first_ms=$ms
        text=${text#\"}
        out+=${text%\"}
        ;;
      '<-') sends+=("$ms:reached") ;;
      --) [[ $text != dropped* ]] || sends+=("$ms:dropped") ;;
    esac
  done <"$work/$1.t"
  local after=${out#*Hit any key to stop autoboot:}
  [ "$after" != "$out" ] || return 0
  [[ $after == *'\r\n'* ]] || return 0
  countdown=${after%%'\r\n'*}
  local next=${after#*'\r\n'}
  # Stopped: the prompt right after the countdown. Anything else is its
  # boot command at work.
  if [[ $next == '=> '* ]]; then
    verdict=stopped
  elif [ -n "$next" ] && [[ '=> ' != "$next"* ]]; then
    verdict=ran
  fi
}

# run_until_verdict NAME SECONDS: judges NAME until a verdict, at most so
# long; false, saying why, when none came or the relay's command ended
# first.
run_until_verdict() {
  local name=$1 until=$(($(now_ms) + $2 * 1000))
  while :; do
    judge "$name"
    [ -z "$verdict" ] || return 0
    if ! kill -0 "$relay_pid" 2>/dev/null; then
      local status=0
      wait "$relay_pid" || status=$?
      relay_pid=''
      echo "FAILED: $name: the program ended (status $status) before U-Boot's verdict" >&2
      return 1
    fi
    if [ "$(now_ms)" -ge $until ]; then
      echo "FAILED: $name: no verdict from U-Boot within $2 s" >&2
      return 1
    fi
    sleep 0.05
  done
}

show_transcript() {
  echo "--- $work/$1.t" >&2
  cat "$work/$1.t" >&2
  echo "--- what the relay's command printed" >&2
  cat "$work/$1.out" >&2
  echo "--- qemu" >&2
  cat "$work/$1.qemu" >&2 2>/dev/null || true
}

failed=0
fail() {
  echo "FAILED: $*" >&2
  failed=1
}

# The harness, first with a byte that reaches U-Boot: the stand-in sends a
# newline as soon as it has read U-Boot's first byte.
# shellcheck disable=SC2016  # $1 is the stand-in shell's
start_relay late sh -c 'head -c 1 <"$1" >/dev/null && printf "\n" >"$1" && exec sleep 60' sh {}
start_qemu late
power_on
if run_until_verdict late 30; then
  # U-Boot's first output, counted from its power-on: where later moments aim.
  latency_ms=$((relay_ms + first_ms - power_ms))
  echo "harness, a byte after U-Boot's first output: the autoboot $verdict" \
    "(first output $(seconds $latency_ms) s after its power-on; countdown \"$countdown\")"
  [ "$verdict" = stopped ] || fail "late: a byte after U-Boot's first output did not stop it"
else
  latency_ms=300
  failed=1
fi
[ $failed -eq 0 ] || show_transcript late
stop_all

# Then a byte sent while qemu is connected but holds U-Boot (-S): the relay
# must drop it, and the autoboot run once qemu lets U-Boot go.
# shellcheck disable=SC2016  # $1 and $2 are the stand-in shell's
start_relay early sh -c 'until [ -e "$2" ]; do sleep 0.02; done; printf "\n" >"$1"; exec sleep 60' \
  sh {} "$work/go"
start_qemu early
touch "$work/go"
if wait_for 10 grep -q -- '-- dropped' "$work/early.t" && power_on && run_until_verdict early 30; then
  echo "harness, a byte before U-Boot's first output: dropped, the autoboot $verdict"
  [ "$verdict" = ran ] || fail "early: the byte before U-Boot's first output reached it"
else
  fail "early: the stand-in's byte was not dropped, or no verdict came"
fi
[ $failed -eq 0 ] || show_transcript early
stop_all
if [ $failed -ne 0 ]; then
  echo "FAILED: the harness cannot tell a stopped autoboot from one that ran" >&2
  exit 1
fi

# The moments: U-Boot's first output byte aimed at a time (ms from the
# program's start), or at the k-th newline the program sends when nothing
# answers ("nK" and an offset in ms), as late as its newlines were seen to
# come in the moments before. Those after a newline go first, so the later
# ones aim with what they showed.
nudges=($((QUIET * 1000)) $((3 * QUIET * 1000)) $((7 * QUIET * 1000)) $((15 * QUIET * 1000)))
moments=(1000 n0+200 n0+50 n0+0 n0-50 n0-200 n1+50 n1+0 n1-50 n2+0 22000 n3+0)
lag_ms=0 lag_seen=0
ran=0 n=0
for moment in "${moments[@]}"; do
  n=$((n + 1))
  name=moment$n
  if [[ $moment == n* ]]; then
    due=$((nudges[${moment:1:1}] + lag_ms))
    aim=$((due + ${moment:2}))
  else
    due='' aim=$moment
  fi
  start_relay "$name" "$sandbox" -- "$setup" -W "$WAIT" -q "$QUIET" -d {} \
    -c "$work/commands" -u admin -p secret
  start_qemu "$name"
  sleep_until $((relay_ms + aim - latency_ms))
  power_on
  if ! run_until_verdict "$name" 30; then
    failed=1
    show_transcript "$name"
    stop_all
    continue
  fi
  stop_all
  # How late the program's newlines came, for the moments after this one.
  for send in "${sends[@]}"; do
    for at in "${nudges[@]}"; do
      late=$((${send%%:*} - at))
      if [ $late -ge 0 ] && [ $late -lt 500 ]; then
        lag_ms=$(((lag_ms * lag_seen + late) / (lag_seen + 1))) lag_seen=$((lag_seen + 1))
      fi
    done
  done
  # Where U-Boot's first byte fell: against the newline aimed at, and among
  # what the program did send.
  where=''
  if [ -n "$due" ]; then
    offset=$((first_ms - due))
    if [ $offset -lt 0 ]; then where="$(seconds $((-offset))) s before"; else where="$(seconds $offset) s after"; fi
    where=", $where the newline due at $(seconds "$due") s"
  fi
  sent=''
  for send in "${sends[@]}"; do sent+="${sent:+, }$(seconds "${send%%:*}") s ${send#*:}"; done
  echo "moment $n/${#moments[@]}: U-Boot's first output at $(seconds "$first_ms") s$where;" \
    "the program wrote at ${sent:-no time}; autoboot $verdict"
  # A program that never nudged would pass vacuously.
  if [ "$first_ms" -gt $(((QUIET + 1) * 1000)) ] && [ ${#sends[@]} -eq 0 ]; then
    fail "moment $n: the program sent no newline in $(seconds "$first_ms") s of silence"
    show_transcript "$name"
  elif [ "$verdict" = ran ]; then
    ran=$((ran + 1))
  else
    fail "moment $n: the program stopped U-Boot's autoboot"
    show_transcript "$name"
  fi
  # Later moments aim with what this one took.
  latency_ms=$(((latency_ms + relay_ms + first_ms - power_ms) / 2))
done

echo "U-Boot's autoboot ran at $ran of ${#moments[@]} power-on moments over the program's wait" \
  "(the whole test ${SECONDS} s)"
exit $failed
