#!/usr/bin/env bash
# The board leg: both programs and the boot service on an emulated ARM board
# with Debian's armhf kernel and a real UART driver (see
# scripts/board-lib.sh). Each boot runs the installed boot script as the
# board's busybox init runs it (rcS: /etc/init.d/S40dsl-modem start, timed:
# it must return at once): it renames dummy0 to wan0 with netif-rename, then
# configures the modem on ttyAMA1 in the background: one run of
# serial-modem-setup in wait mode waits for the device and a quiet console,
# logs in, sends the command file and kicks a stand-in DHCP client. The modem is
# modem-sim on the host (answering each line after 30 ms with a line of text
# before its prompt, tests/board/modem-sim.replies, its output paced like a
# 57600 bit/s UART's that hands over 8 bytes at a time). The boots:
#
#   dynamic     the dynamically linked programs (with the C and C++
#               libraries of the cross toolchain), a modem that is up;
#   static      the statically linked programs, the modem's device node
#               (/dev/dslcons0) a link made 6 s after the boot scripts ran,
#               by which time the modem has printed 2 KB of boot log and
#               its login prompt into the UART nobody has opened: none of
#               it may come back to the modem as an echo;
#   late-modem  static; a modem that powers on 25 s after the board: silent
#               and deaf until then, then 6 KB of boot log with a 3 s
#               bootloader countdown that any byte would stop, then its
#               login; it must be configured and never stopped;
#   refusing    static; a modem that refuses the password: it must get it at
#               most -e times (MODEM_OPTIONS="-e 3") and the log must say so.
#   udhcpc      dynamic; the board's Ethernet (eth0, renamed wan0 by the
#               service) gets its lease from dnsmasq on the host (a tap in
#               a network namespace of qemu's own) through busybox udhcpc,
#               which the service renews (DHCP_CLIENT=udhcpc): dnsmasq must
#               see the renewal only after the modem's last command, and
#               udhcpc still run with wan0's address. Once it is configured
#               the modem reboots (SIGUSR1 to modem-sim: a countdown, then
#               its login): the watch must configure it again, untouched
#               during the countdown, and the lease be renewed again.
#   systemd     Debian's systemd as PID 1 (scripts/board-systemd-lib.sh).
#
# tests/board/board-checks then waits for the service's outcome and reports
# on the board's console what the host judges here: the service's status,
# the board's system log, the UART's settings, the interfaces, and
# netif-rename's refusals; modem-sim's transcript shows what the modem got.
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
. scripts/board-systemd-lib.sh

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

# indented TEXT: each line of TEXT, indented for a report.
indented() {
  local line
  while IFS= read -r line; do
    echo "    $line"
  done <<<"$1"
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

# expect_log_order LINE...: the log holds each line, in this order, each
# after the one before; a LINE ending in "*" stands for any line that begins
# with the rest.
expect_log_order() {
  local line previous=0 at
  for line in "$@"; do
    at=$(log_lines | WANT=$line awk -v from="$previous" '
      BEGIN { want = ENVIRON["WANT"]; prefix = want ~ /\*$/; if (prefix) sub(/\*$/, "", want) }
      NR > from && (prefix ? index($0, want) == 1 : $0 == want) { print NR; exit }')
    if [ -n "$at" ]; then
      ok "log: $(log_lines | sed -n "${at}p")"
      previous=$at
    elif log_lines | WANT=${line%\*} awk 'index($0, ENVIRON["WANT"]) == 1 { found = 1 } END { exit !found }'; then
      bad "the board's log has '$line' out of order"
    else
      bad "the board's log has no line '$line'"
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
  local expected received boots=${1:-1} boot
  # shellcheck disable=SC1091
  expected=$(for ((boot = 0; boot < boots; boot++)); do
    . tests/board/dsl-modem.default && printf '%s\n%s\n' "$MODEM_USER" "$MODEM_PASSWORD"
    grep -v -e '^#' -e '^$' examples/bridge.conf
  done)
  received=$(modem_received_lines | grep -v '^$' || true)
  if [ "$received" = "$expected" ]; then
    ok "modem-sim received exactly the credentials and the $(($(wc -l <<<"$expected") / boots - 2)) commands, $boots times"
  else
    bad "modem-sim did not receive exactly the credentials and the commands, $boots times"
    diff <(echo "$expected") <(echo "$received") | sed 's/^/    /' >&2 || true
  fi
  if sed -n 's/^<- "\(.*\)"$/\1/p' "$dir/transcript" | tr -d '\n' | grep -q '\\r'; then
    bad "modem-sim received a CR: the UART is not raw"
  fi
}

# What the modem printed before the port was opened never came back to it:
# the program set the line raw before the kernel could echo it.
check_no_echo() {
  if modem_received_lines | grep -q 'boot: line\|Login: '; then
    bad "the modem got its own output back: $(modem_received_lines | grep -m 1 'boot: line\|Login: ')"
  else
    ok "nothing the modem printed before the open came back to it"
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
    indented "${counts:-no command after the password}" >&2
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

# check_rename FROM: the boot script renamed FROM (default dummy0) wan0.
check_rename() {
  local from=${1:-dummy0} before after
  before=$(interfaces links)
  after=$(interfaces links-after)
  if [[ " $before " == *" wan0 "* && " $before " != *" $from "* ]]; then
    ok "netif-rename $from wan0 on the board: ip link shows: $before"
  else
    bad "after the boot script's rename ip link shows '$before', not wan0 instead of $from"
  fi
  expect_log_order "daemon.info dsl-modem: netif-rename $from wan0: exit status 0, renamed"
  expect_in missing "ioctl: No such device" "netif-rename nosuch0 wan1: ioctl: No such device"
  expect_in missing "exit status 255" "netif-rename nosuch0 wan1: exit status 255"
  expect_in toolong "exit status 1" "netif-rename wan0 abcdefghijklmnop (16 bytes): exit status 1"
  if [ "$after" = "$before" ]; then
    ok "the 16-byte name renamed nothing: $after"
  else
    bad "the 16-byte name changed the interfaces from '$before' to '$after'"
  fi
}

# The configuration as the log tells it: one run of serial-modem-setup with
# the command file, one login, the kick of the stand-in client (once) after
# the last answer, and the service's one outcome line. With "udhcpc": the
# renewal the service asked of udhcpc instead of the kick.
check_configured() {
  if [ "${1:-}" = udhcpc ]; then
    expect_log_order \
      "user.info serial-modem-setup: Configuring DSL modem using /etc/ppp/bridge.conf" \
      "user.info serial-modem-setup: Login complete" \
      "user.info serial-modem-setup: Configuration done" \
      "daemon.info dsl-modem: DHCP: asked udhcpc (pid *" \
      "daemon.info dsl-modem: modem configured in *"
    if topic dhcpcd | grep -q .; then
      bad "the stand-in client was kicked, though DHCP_CLIENT=udhcpc"
    fi
    expect_in service "dsl-modem: configured at " "the service's status: configured"
    return
  fi
  expect_one_run
  local pid alarms
  pid=$(topic dhcpcd | sed -n 's/^pid \([0-9]*\) got SIGALRM$/\1/p' | head -n 1)
  alarms=$(topic dhcpcd | grep -c 'got SIGALRM$' || true)
  if [ "$alarms" -eq 1 ]; then
    ok "the stand-in DHCP client (pid $pid) got one SIGALRM"
  else
    bad "the stand-in DHCP client reported $alarms SIGALRMs, not one"
  fi
  expect_log_order \
    "user.info serial-modem-setup: Configuring DSL modem using /etc/ppp/bridge.conf" \
    "user.info serial-modem-setup: Login complete" \
    "user.debug serial-modem-setup: Kicking dhcpcd with pid ${pid:-?} successful" \
    "user.info serial-modem-setup: Configuration done" \
    "daemon.info dsl-modem: modem configured in *"
  expect_log_order "user.debug serial-modem-setup: Kicking dhcpcd with pid ${pid:-?} successful" \
    "user.notice dhcpcd: eth0: pid ${pid:-?} got SIGALRM, renewing the lease"
  expect_one_outcome
  expect_in service "dsl-modem: configured at " "the service's status: configured"
  expect_in service "exit status 0" "the service's status: exit status 0"
}

# expect_one_run [LOGINS]: one run of serial-modem-setup, with LOGINS
# logins (default 1; one for each boot of the modem): the wait for the
# modem is the program's, with no probes before it.
expect_one_run() {
  local runs logins want=${1:-1}
  runs=$(log_lines | grep -c '^user.info serial-modem-setup: Configuring DSL modem using ' || true)
  logins=$(log_lines | grep -c '^user.info serial-modem-setup: Login complete$' || true)
  if [ "$runs" -eq 1 ] && [ "$logins" -eq "$want" ]; then
    ok "one run of serial-modem-setup, $want login(s)"
  else
    bad "$runs runs of serial-modem-setup and $logins logins, not one and $want"
  fi
}

# The service logs one line for its outcome; the rename and the DHCP
# renewal have their own.
# expect_one_outcome [COUNT]: COUNT lines (default 1) besides those.
expect_one_outcome() {
  local lines want=${1:-1}
  lines=$(log_lines | grep '^daemon\.[a-z]* dsl-modem: ' | grep -v ': netif-rename \|: DHCP: ' || true)
  if [ "$(grep -c . <<<"$lines")" -eq "$want" ]; then
    ok "$want outcome line(s) from the service"
  else
    bad "the service logged not $want outcome line(s) but:"
    indented "$lines" >&2
  fi
}

# The start in rcS returned at once, with 0, and the boot went on.
check_start() {
  local took
  expect_in init "/etc/init.d/S40dsl-modem start: exit status 0" "the boot script's start exited with 0"
  took=$(topic init-time | sed -n 's/^\/etc\/init.d\/S40dsl-modem start|//p')
  if [ -n "$took" ] && awk -v took="$took" 'BEGIN { exit !(took < 3) }'; then
    ok "the boot script's start returned after $took s of the board's clock"
  else
    bad "the boot script's start took ${took:-an unknown time} (3 s at most)"
  fi
}

# A modem that powered on late went through its bootloader's countdown
# untouched and booted to its login.
# The modem that rebooted once it was configured (the udhcpc boot): the
# watch saw the reboot, left its countdown alone, configured it again, and
# the service renewed the lease again and says so in its status.
check_rebooted_modem() {
  local address renewals
  expect_one_run 2
  expect_one_outcome 3
  expect_log_order "daemon.info dsl-modem: modem configured in *" \
    "user.info serial-modem-setup: Modem rebooting: its console showed *" \
    "user.info serial-modem-setup: Login complete" \
    "user.info serial-modem-setup: Configuration done" \
    "daemon.info dsl-modem: DHCP: asked udhcpc (pid *" \
    "daemon.info dsl-modem: modem configured in *"
  # The service hears of the reboot as the login goes on.
  expect_log_order "user.info serial-modem-setup: Modem rebooting: its console showed *" \
    "daemon.notice dsl-modem: modem rebooting: *"
  if grep -qF -- "-- autoboot countdown over: booting" "$dir/transcript" &&
    ! grep -qF -- "-- autoboot stopped" "$dir/transcript"; then
    ok "modem-sim: the reboot's countdown ran out untouched"
  else
    bad "modem-sim's reboot: no countdown that ran out, or one stopped"
  fi
  expect_in service "configured again each time" "the service's status: $(topic service | head -n 1)"
  address=$(sed -n 's/.* DHCPACK(board0) \([0-9.]*\) .*/\1/p' "$dir/dnsmasq.log" | head -n 1)
  renewals=$(tail -n +"$((${dhcp_mark:-0} + 1))" "$dir/dnsmasq.log" | grep -c "DHCPREQUEST(board0) $address " || true)
  if [ "$renewals" -ge 2 ]; then
    ok "dnsmasq: $renewals renewals after the first configuration's last command"
  else
    bad "dnsmasq: $renewals renewals after the first configuration's last command, not two"
  fi
}

check_modem_booted() {
  local note
  for note in "-- powered on: 6000 bytes of boot log, an autoboot countdown" \
    "-- autoboot countdown of 3 s" "-- autoboot countdown over: booting" \
    "-- booted: the console offers its login"; do
    if grep -qF -- "$note" "$dir/transcript"; then
      ok "modem-sim: $note"
    else
      bad "modem-sim's transcript has no '$note'"
    fi
  done
  if grep -qF -- "-- autoboot stopped" "$dir/transcript"; then
    bad "the board stopped the modem's autoboot: $(grep -F -- "-- autoboot stopped" "$dir/transcript")"
  else
    ok "the modem's autoboot was never stopped"
  fi
}

# A modem that refuses the password got it at most -e times in all, and
# nothing of the command file; the log says it was refused, with the user
# name and without the password.
check_refused() {
  local password passwords budget commands
  # shellcheck disable=SC1091
  password=$(. tests/board/dsl-modem.default && echo "$MODEM_PASSWORD")
  budget=$1
  passwords=$(modem_received_lines | grep -cxF -- "$password" || true)
  if [ "$passwords" -ge 1 ] && [ "$passwords" -le "$budget" ]; then
    ok "the refusing modem got the password $passwords times (-e $budget)"
  else
    bad "the refusing modem got the password $passwords times, not 1 to $budget"
  fi
  commands=$(modem_received_lines | grep -cxF -f <(grep -v -e '^#' -e '^$' examples/bridge.conf) || true)
  if [ "$commands" -eq 0 ]; then
    ok "no line of the command file reached the refusing modem"
  else
    bad "$commands lines of the command file reached the refusing modem"
  fi
  expect_log_order "daemon.err dsl-modem: login refused*"
  if log_lines | grep '^daemon.err dsl-modem: login refused' | grep -q "user 'admin' "; then
    ok "the refusal names the user admin"
  else
    bad "the refusal does not name the user admin"
  fi
  if topic syslog | grep -qF -- "$password"; then
    bad "the board's log holds the password"
  else
    ok "the board's log does not hold the password"
  fi
  expect_one_outcome
  expect_in service "dsl-modem: failed at " "the service's status: failed"
  expect_in service "exit status 1" "the service's status: exit status 1"
  if topic dhcpcd | grep -q .; then
    bad "the stand-in DHCP client was kicked after a refused login"
  fi
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

# boot_settings KIND: the lines that KIND adds to the board's
# /etc/default/dsl-modem (tests/board/dsl-modem.default); a short wait and
# quiet time keep the leg short.
boot_settings() {
  echo "MODEM_WAIT=60"
  echo "MODEM_QUIET=3"
  case $1 in
  late-node) echo "MODEM_DEVICE=/dev/dslcons0" ;;
  late-modem) echo "MODEM_WAIT=90" ;;
  refusing) echo 'MODEM_OPTIONS="-e 3"' ;;
  udhcpc) printf '%s\n' RENAME_FROM=eth0 DHCP_INTERFACE=wan0 DHCP_CLIENT=udhcpc ;;
  esac
}

# The DHCP server's log lines by the time the modem had the command file's
# last command (board_dhcp_replies makes it answer 200 ms later): dhcp_mark,
# taken once, by the boots' wait loops, on a board with a DHCP server.
take_dhcp_mark() {
  if [ -z "$dhcp_mark" ] && [ -f "$dir/dnsmasq.log" ] && [ -f "$dir/transcript" ] &&
    modem_received_lines | grep -qxF -- "$BOARD_LAST_COMMAND"; then
    dhcp_mark=$(grep -c . "$dir/dnsmasq.log" || true)
  fi
}

# wait_for_board DEADLINE: until qemu has ended, or until SECONDS reaches
# DEADLINE, taking the DHCP mark meanwhile; then stops what still runs. Sets
# timed_out to 1 when qemu was still running.
wait_for_board() {
  dhcp_mark=
  local rebooted=
  while kill -0 "$BOARD_QEMU_PID" 2>/dev/null && [ $SECONDS -lt "$1" ]; do
    take_dhcp_mark
    # The board asks for its modem's reboot: the modem is modem-sim, ours.
    if [ -z "$rebooted" ] && grep -qs '^@reboot|' "$console"; then
      kill -USR1 "$BOARD_SIM_PID" && rebooted=1
    fi
    sleep 0.05
  done
  timed_out=0
  kill -0 "$BOARD_QEMU_PID" 2>/dev/null && timed_out=1
  board_stop
}

# check_lease_renewal TOPIC TEXT: the board's lease on wan0 as dnsmasq saw
# it: one request (the lease) before the modem had its last command, the
# renewal's request and ack after it; the board's TOPIC report holds TEXT
# (the service's line that asked for it), and its address report the
# address still.
check_lease_renewal() {
  local log=$dir/dnsmasq.log address before after
  address=$(sed -n 's/.* DHCPACK(board0) \([0-9.]*\) .*/\1/p' "$log" | head -n 1)
  if [ -z "$address" ] || [ -z "$dhcp_mark" ]; then
    bad "no lease from dnsmasq (${address:-no DHCPACK}) or no last command seen (${dhcp_mark:-none})"
    return
  fi
  before=$(head -n "$dhcp_mark" "$log" | grep -c "DHCPREQUEST(board0) $address " || true)
  after=$(tail -n +"$((dhcp_mark + 1))" "$log" | grep -o "DHCP[A-Z]*(board0) $address [0-9a-f:]*" || true)
  if [ "$before" -eq 1 ]; then
    ok "dnsmasq: one request for $address (the lease) before the modem's last command"
  else
    bad "dnsmasq saw $before requests for $address before the modem's last command, not one"
  fi
  if grep -q DHCPREQUEST <<<"$after" && grep -q DHCPACK <<<"$after"; then
    ok "dnsmasq after the modem's last command: $(tr '\n' ' ' <<<"$after")"
  else
    bad "dnsmasq saw no renewal of $address after the modem's last command"
  fi
  expect_in "$1" "$2" "the service: $(topic "$1" | grep -m 1 -F -- "$2")"
  expect_in address "inet $address/" "wan0 still holds $address"
}

# boot LABEL BUILD KIND: one boot of the board with the programs of BUILD,
# and every check of its reports. KIND: up, late-node, late-modem, refusing,
# udhcpc (see the top).
boot() {
  local label=$1 build=$2 kind=$3
  local sim_options=()
  dir=$BOARD_DIR/$label
  console=$dir/console.log
  boot_failed=0
  rm -rf "$dir"
  mkdir -p "$dir/overlay/etc/default"
  echo "=== board ($label): programs of $build on $(cat "$BOARD_PLATFORM/ready"), modem $kind ==="
  { cat tests/board/dsl-modem.default && boot_settings "$kind"; } >"$dir/overlay/etc/default/dsl-modem"
  case $kind in
  late-node)
    echo "LATE_LINK='6 /dev/dslcons0 /dev/ttyAMA1'" >"$dir/overlay/etc/board-boot"
    sim_options=(--boot-log 2000)
    ;;
  late-modem) sim_options=(--power-on 25000 --boot-log 6000 --autoboot 3) ;;
  refusing) sim_options=(-p not-the-boards-password) ;;
  udhcpc)
    mkdir -p "$dir/overlay/etc/init.d" "$dir/overlay/lib/modules"
    cp tests/board/udhcpc/S30board-net tests/board/udhcpc/S45udhcpc "$dir/overlay/etc/init.d/"
    cp tests/board/udhcpc/udhcpc.script "$dir/overlay/etc/"
    cp "$BOARD_PLATFORM/libphy.ko" "$BOARD_PLATFORM/smsc911x.ko" "$dir/overlay/lib/modules/"
    echo "REBOOT_MODEM=1" >"$dir/overlay/etc/board-boot"
    ;;
  esac
  local replies=$REPLIES
  if [ "$kind" = udhcpc ]; then
    board_dhcp_replies "$dir" "$REPLIES"
    replies=$dir/replies
  fi
  if ! board_initramfs "$build" "$(printf '%s\n' '::sysinit:/etc/init.d/rcS' \
    '::wait:/usr/sbin/board-checks' '::wait:/bin/busybox reboot -f')" "$dir/initramfs.cpio.gz" \
    "$dir/overlay"; then
    bad "the board's initramfs could not be made"
    return 1
  fi
  board_qemu "$dir" "$dir/initramfs.cpio.gz" "file:$console"
  if [ "$kind" = udhcpc ]; then
    board_dhcp_network "$dir" >"$dir/qemu.log" 2>&1 &
  else
    "${BOARD_QEMU[@]}" >"$dir/qemu.log" 2>&1 &
  fi
  BOARD_QEMU_PID=$!
  # shellcheck disable=SC2046  # the options are words
  if ! board_attach "$dir" "$BOARD_QEMU_PID" $(board_modem_sim_options) -d "$REPLY_DELAY_MS" \
    -r "$replies" "${sim_options[@]}"; then
    board_stop
    cat "$dir/qemu.log" >&2
    bad "the board did not start"
    return 1
  fi
  local started=$SECONDS
  wait_for_board $((SECONDS + BOARD_TIMEOUT))
  local ran=$((SECONDS - started))
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
  check_start
  if [ "$kind" = udhcpc ]; then
    check_rename eth0
  else
    check_rename
  fi
  if [ "$kind" = refusing ]; then
    check_refused 3
  else
    [ "$kind" = late-modem ] && check_modem_booted
    if [ "$kind" = late-node ]; then
      expect_in late-link "/dev/dslcons0 -> /dev/ttyAMA1" \
        "the device link appeared late: $(topic late-link)"
      check_no_echo
    fi
    if [ "$kind" = udhcpc ]; then
      check_modem_received 2
    else
      check_modem_received
    fi
    check_one_newline_each
    if [ "$kind" = udhcpc ]; then
      check_configured udhcpc
      check_rebooted_modem
      check_lease_renewal syslog "dsl-modem: DHCP: asked udhcpc (pid "
      expect_in udhcpc "exit status 0" "udhcpc still runs"
    else
      check_configured
    fi
    check_process_list
    check_stty
  fi
  echo "  the board showed:"
  topic stty | head -n 1 | sed 's/^/    stty: /'
  topic service | head -n 1 | sed 's/^/    status: /'
  log_lines | sed 's/^/    log: /'
  echo "    ip link: $(interfaces links)"
  return "$boot_failed"
}

failed=()
boot dynamic build/armhf up || failed+=(dynamic)
boot static build/armhf-static late-node || failed+=(static)
boot late-modem build/armhf-static late-modem || failed+=(late-modem)
boot refusing build/armhf-static refusing || failed+=(refusing)
boot udhcpc build/armhf udhcpc || failed+=(udhcpc)
boot_systemd || failed+=(systemd)

echo "board: fetching the packages took ${fetch_seconds} s; the whole leg $((SECONDS - leg_start)) s"
if [ ${#failed[@]} -ne 0 ]; then
  echo "board: FAILED: ${failed[*]} (logs in $BOARD_DIR)" >&2
  exit 1
fi
echo "board: every boot passed"
