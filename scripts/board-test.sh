#!/usr/bin/env bash
# The board leg: both programs on an emulated ARM board with Debian's armhf
# kernel and a real UART driver (see scripts/board-lib.sh). Boots twice, with
# the dynamically linked armhf programs (and the C and C++ libraries of the
# cross toolchain) and with the statically linked ones. Each boot runs the
# boot script of examples/ as the board's busybox init runs it: it renames
# dummy0 to wan0 with netif-rename, then configures the modem on ttyAMA1 with
# serial-modem-setup against modem-sim on the host (answering each line
# after 30 ms with a line of text before its prompt, tests/board/
# modem-sim.replies, its output paced like a 57600 bit/s UART's that hands
# over 8 bytes at a time) and kicks a stand-in DHCP client.
# tests/board/board-checks then reports on the board's console what the host
# judges here: the commands the modem received (each with one newline: a
# second would mean a missed prompt), the board's system log, the UART's
# settings, the interfaces, and netif-rename's refusals.
#
#   scripts/board-test.sh        (as root; installs what it misses)
#
# Exits non-zero, saying what failed, when any check fails or a boot does
# not finish within BOARD_TIMEOUT seconds (default 300). Each boot leaves its
# console log, modem-sim's transcript and qemu's monitor log in
# build/board/BOOT/.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
. scripts/board-lib.sh

BOARD_TIMEOUT=${BOARD_TIMEOUT:-300}
# The modem console answers every line after this many milliseconds, and
# prints a line before the prompt for each command of the file.
REPLY_DELAY_MS=30
REPLIES=tests/board/modem-sim.replies

leg_start=$SECONDS
board_ensure_packages
board_build
fetch_start=$SECONDS
board_fetch
fetch_seconds=$((SECONDS - fetch_start))

trap board_stop EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

# The lines of the console's "@TOPIC|" reports, without the marker and the
# UART's CRs.
topic() {
  sed -n "s/^@$1|//p" "$console" | tr -d '\r'
}

ok() {
  echo "  ok: $*"
}

bad() {
  echo "  FAILED: $*" >&2
  boot_failed=1
}

# expect_in TOPIC TEXT DESCRIPTION: a line of TOPIC holds TEXT.
expect_in() {
  if topic "$1" | grep -qF -- "$2"; then
    ok "$3"
  else
    bad "$3: no line with '$2' in the board's $1 report"
  fi
}

# The log lines of serial-modem-setup, dsl-modem and dhcpcd, as the board's
# busybox syslogd wrote them ("DATE board FACILITY.PRIORITY TAG: TEXT"),
# from the tag on.
log_lines() {
  topic syslog | sed -n 's/^.* board \([a-z]*\.[a-z]*\) \(serial-modem-setup\|dsl-modem\|dhcpcd\)\(\[[0-9]*\]\)\{0,1\}: /\1 \2: /p'
}

# expect_log_order LINE...: the log holds each line, in this order.
expect_log_order() {
  local line previous=0 at
  for line in "$@"; do
    at=$(log_lines | grep -nxF -- "$line" | head -n 1 | cut -d: -f1)
    if [ -z "$at" ]; then
      bad "the board's log has no line '$line'"
    elif [ "$at" -le "$previous" ]; then
      bad "the board's log has '$line' out of order"
    else
      ok "log: $line"
      previous=$at
    fi
  done
}

# The lines modem-sim received, from its transcript's "<-" events, unescaped;
# the credentials and every command in the file are plain text, so only \n
# needs care.
modem_received_lines() {
  sed -n 's/^<- "\(.*\)"$/\1/p' "$dir/transcript" | tr -d '\n' | sed 's/\\n/\n/g'
}

# What the modem must have received: the credentials, then every command of
# the command file, each ending in a newline; the login's nudges (empty
# lines) may come between them.
check_modem_received() {
  local expected received
  # shellcheck disable=SC1091
  expected=$(. tests/board/dsl-modem.default && printf '%s\n%s\n' "$MODEM_USER" "$MODEM_PASSWORD"
    grep -v -e '^#' -e '^$' examples/bridge.conf)
  received=$(modem_received_lines | grep -v '^$' || true)
  if [ "$received" = "$expected" ]; then
    ok "modem-sim received exactly the credentials and the $(($(wc -l <<<"$expected") - 2)) commands"
  else
    bad "modem-sim did not receive exactly the credentials and the commands"
    diff <(echo "$expected") <(echo "$received") | sed 's/^/    /' >&2 || true
  fi
  if sed -n 's/^<- "\(.*\)"$/\1/p' "$dir/transcript" | tr -d '\n' | grep -q '\\r'; then
    bad "modem-sim received a CR: the UART is not raw"
  fi
}

# Each command got exactly one newline: the program took every prompt, though
# the line handed each over in two bursts. A second newline for a command
# means its prompt was missed.
check_one_newline_each() {
  local password counts
  # shellcheck disable=SC1091
  password=$(. tests/board/dsl-modem.default && echo "$MODEM_PASSWORD")
  # For each line after the password: the command and the empty lines after it.
  counts=$(modem_received_lines | awk -v password="$password" '
    seen && $0 != "" { if (command != "") print command ": " newlines; command = $0; newlines = 1; next }
    seen { newlines++ }
    $0 == password { seen = 1 }
    END { if (command != "") print command ": " newlines }')
  if [ -n "$counts" ] && ! grep -qv ': 1$' <<<"$counts"; then
    ok "one newline for each of the $(wc -l <<<"$counts") commands: no prompt missed"
  else
    bad "newlines per command (more than 1: a missed prompt):"
    # shellcheck disable=SC2001  # indents every line, not the first only
    sed 's/^/    /' <<<"${counts:-no command after the password}" >&2
  fi
}

check_stty() {
  local words
  words=" $(topic stty | tr '\n;' '  ') "
  local setting missing=()
  for setting in "speed 57600 baud" cs8 clocal cread -crtscts -parenb -cstopb \
    -icanon -isig -iexten -echo -opost -icrnl -inlcr -igncr -ixon -istrip; do
    [[ $words == *" $setting "* ]] || missing+=("$setting")
  done
  if [ ${#missing[@]} -eq 0 ]; then
    ok "stty -F /dev/ttyAMA1 -a: 57600 baud, cs8, clocal, -crtscts, raw"
  else
    bad "stty -F /dev/ttyAMA1 -a lacks: ${missing[*]}"
  fi
}

# The interface names of an "ip link show" report.
interfaces() {
  topic "$1" | sed -n 's/^[0-9]*: \([^:@]*\)[:@].*/\1/p' | tr '\n' ' '
}

check_rename() {
  local before after
  before=$(interfaces links)
  after=$(interfaces links-after)
  if [[ " $before " == *" wan0 "* && " $before " != *" dummy0 "* ]]; then
    ok "netif-rename dummy0 wan0 on the board: ip link shows: $before"
  else
    bad "after the boot script's rename ip link shows '$before', not wan0 instead of dummy0"
  fi
  expect_log_order "daemon.info dsl-modem: netif-rename dummy0 wan0: exit status 0, renamed"
  expect_in missing "ioctl: No such device" "netif-rename nosuch0 wan1: ioctl: No such device"
  expect_in missing "exit status 255" "netif-rename nosuch0 wan1: exit status 255"
  expect_in toolong "exit status 1" "netif-rename wan0 abcdefghijklmnop (16 bytes): exit status 1"
  if [ "$after" = "$before" ]; then
    ok "the 16-byte name renamed nothing: $after"
  else
    bad "the 16-byte name changed the interfaces from '$before' to '$after'"
  fi
}

check_kick() {
  local pid
  pid=$(topic dhcpcd | sed -n 's/^pid \([0-9]*\) got SIGALRM$/\1/p' | head -n 1)
  if [ -z "$pid" ]; then
    bad "the stand-in DHCP client reported no SIGALRM"
    return
  fi
  ok "the stand-in DHCP client (pid $pid) got SIGALRM"
  expect_log_order "user.debug serial-modem-setup: Kicking dhcpcd with pid $pid successful" \
    "user.notice dhcpcd: eth0: pid $pid got SIGALRM, renewing the lease"
}

# The board's ps while serial-modem-setup ran, after it had read its options:
# the program is there with its -p argument blanked, and no line holds the
# password.
check_process_list() {
  local password
  # shellcheck disable=SC1091
  password=$(. tests/board/dsl-modem.default && echo "$MODEM_PASSWORD")
  if topic ps | grep -qF -- "$password"; then
    bad "the board's ps showed the password while serial-modem-setup ran:"
    topic ps | grep -F -- "$password" | sed 's/^/    /' >&2
  elif topic ps | grep -q "serial-modem-setup .*-p ${password//?/x}\( \|$\)"; then
    ok "ps on the board: $(topic ps | grep -m 1 serial-modem-setup)"
  else
    bad "the board's ps did not show serial-modem-setup with its password blanked: $(topic ps | tr '\n' ';')"
  fi
}

# boot LABEL BUILD: one boot of the board with the programs of BUILD, and
# every check of its reports.
boot() {
  local label=$1 build=$2
  dir=$BOARD_DIR/$label
  console=$dir/console.log
  boot_failed=0
  rm -rf "$dir"
  mkdir -p "$dir"
  echo "=== board ($label): programs of $build on $(cat "$BOARD_PLATFORM/ready") ==="
  if ! board_initramfs "$build" "$(printf '%s\n' '::sysinit:/etc/init.d/rcS' \
    '::wait:/usr/sbin/board-checks' '::wait:/bin/busybox reboot -f')" "$dir/initramfs.cpio.gz"; then
    bad "the board's initramfs could not be made"
    return 1
  fi
  board_qemu "$dir" "$dir/initramfs.cpio.gz" "file:$console"
  "${BOARD_QEMU[@]}" >"$dir/qemu.log" 2>&1 &
  BOARD_QEMU_PID=$!
  # shellcheck disable=SC2046  # the options are words
  if ! board_attach "$dir" "$BOARD_QEMU_PID" $(board_modem_sim_options) -d "$REPLY_DELAY_MS" \
    -r "$REPLIES"; then
    board_stop
    cat "$dir/qemu.log" >&2
    bad "the board did not start"
    return 1
  fi
  local started=$SECONDS deadline=$((SECONDS + BOARD_TIMEOUT))
  while kill -0 "$BOARD_QEMU_PID" 2>/dev/null && [ $SECONDS -lt $deadline ]; do
    sleep 0.2
  done
  local ran=$((SECONDS - started)) timed_out=0
  kill -0 "$BOARD_QEMU_PID" 2>/dev/null && timed_out=1
  board_stop
  if [ "$timed_out" -eq 1 ]; then
    tr -d '\r' <"$console" | tail -n 40 >&2
    bad "the board did not finish within $BOARD_TIMEOUT s (console above, all of it in $console)"
    return 1
  fi
  if ! grep -q '^@done|' "$console"; then
    tr -d '\r' <"$console" | tail -n 40 >&2
    cat "$dir/qemu.log" >&2
    bad "the board stopped before its checks were done (console above)"
    return 1
  fi
  ok "booted: init after $(topic boot) s of the kernel; boot to power-off $ran s of wall time"

  if topic error | grep -q .; then
    bad "the board's start: $(topic error | tr '\n' ';')"
  fi
  expect_in init "/etc/init.d/S40dsl-modem start: exit status 0" "the boot script exited with 0"
  check_modem_received
  check_one_newline_each
  expect_log_order \
    "user.info serial-modem-setup: Configuring DSL modem using /etc/ppp/bridge.conf" \
    "user.info serial-modem-setup: Login complete" \
    "user.info serial-modem-setup: Configuration done" \
    "daemon.info dsl-modem: serial-modem-setup: exit status 0, modem configured"
  check_kick
  check_process_list
  check_stty
  check_rename
  echo "  the board showed:"
  topic stty | head -n 1 | sed 's/^/    stty: /'
  log_lines | sed 's/^/    log: /'
  echo "    ip link: $(interfaces links)"
  return "$boot_failed"
}

failed=()
boot dynamic build/armhf || failed+=(dynamic)
boot static build/armhf-static || failed+=(static)

echo "board: fetching the packages took ${fetch_seconds} s; the whole leg $((SECONDS - leg_start)) s"
if [ ${#failed[@]} -ne 0 ]; then
  echo "board: FAILED: ${failed[*]} (logs in $BOARD_DIR)" >&2
  exit 1
fi
echo "board: both boots passed"
