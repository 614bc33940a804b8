#!/usr/bin/env bash
# The board of scripts/board-test.sh, interactive: Debian's armhf kernel on
# an emulated Versatile Express, its console here, modem-sim on its second
# UART (ttyAMA1). The board boots as in the test: rcS, then the installed
# boot script (/etc/init.d/dsl-modem, linked as S40dsl-modem, settings in
# /etc/default/dsl-modem), which configures the modem in the background,
# then a root shell on the console.
#
#   scripts/board.sh [--static] [--overlay DIR] [-- MODEM_SIM_OPTION...]
#
#   --static       the statically linked programs (default: the dynamic ones)
#   --overlay DIR  copy DIR over the board's root file system: your own
#                  etc/ppp/bridge.conf, etc/default/dsl-modem or
#                  etc/init.d/dsl-modem
#   MODEM_SIM_...  more modem-sim options (after the board's -b, -u and -p),
#                  e.g. -d 30 -r replies.txt
#   Relative paths (DIR, modem-sim's -r FILE) are from where you run it.
#
# On the board: /etc/init.d/S40dsl-modem status (or restart), cat
# /run/dsl-modem/trace, cat /var/log/messages,
# stty -F /dev/ttyAMA1 -a, serial-modem-setup -d /dev/ttyAMA1 -b 57600 ...
# "reboot -f" (or Ctrl-A x) ends it. modem-sim's transcript of the modem's
# side is in build/board/shell/transcript (tail -f it in another terminal).
set -euo pipefail
# Paths on the command line are the caller's; the script works from the top
# of the source tree.
caller_dir=$PWD
cd "$(dirname "$0")/.."
. scripts/packages.sh
. scripts/board-lib.sh

usage() {
  sed -n 's/^#   //p; s/^#  //p' "$0" | head -n 9 >&2
  exit "$1"
}

# The caller's path: absolute, or taken from where the script was run.
from_caller() {
  case $1 in
  /*) echo "$1" ;;
  *) echo "$caller_dir/$1" ;;
  esac
}

build=build/armhf
overlay=
while [ $# -gt 0 ]; do
  case $1 in
  --static) build=build/armhf-static ;;
  --overlay)
    if [ $# -lt 2 ]; then
      echo "board.sh: --overlay needs a directory" >&2
      usage 2
    fi
    overlay=$(from_caller "$2")
    if [ ! -d "$overlay" ]; then
      echo "board.sh: --overlay $2: not a directory" >&2
      usage 2
    fi
    shift
    ;;
  --) shift; break ;;
  -h | --help) usage 0 ;;
  *)
    echo "board.sh: unknown option '$1'" >&2
    usage 2
    ;;
  esac
  shift
done

# modem-sim's reply file, given as -r FILE or -rFILE, from the caller's
# directory too.
modem_sim_args=()
while [ $# -gt 0 ]; do
  case $1 in
  -r)
    modem_sim_args+=(-r)
    [ $# -gt 1 ] && { modem_sim_args+=("$(from_caller "$2")"); shift; }
    ;;
  -r?*) modem_sim_args+=(-r "$(from_caller "${1#-r}")") ;;
  *) modem_sim_args+=("$1") ;;
  esac
  shift
done

board_ensure_packages
board_build >/dev/null
board_fetch

dir=$BOARD_DIR/shell
rm -rf "$dir"
mkdir -p "$dir"
board_initramfs "$build" "$(printf '%s\n' '::sysinit:/etc/init.d/rcS' \
  'ttyAMA0::respawn:-/bin/sh' '::ctrlaltdel:/bin/busybox reboot -f')" \
  "$dir/initramfs.cpio.gz" "$overlay"
board_qemu "$dir" "$dir/initramfs.cpio.gz" mon:stdio
trap board_stop EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
# The console is this terminal: qemu reads it even in the background.
"${BOARD_QEMU[@]}" <&0 2>"$dir/qemu.log" &
BOARD_QEMU_PID=$!
# shellcheck disable=SC2046  # the options are words
board_attach "$dir" "$BOARD_QEMU_PID" $(board_modem_sim_options) "${modem_sim_args[@]}"
echo "board: modem-sim serves ttyAMA1 (transcript: $dir/transcript); reboot -f or Ctrl-A x ends it" >&2
status=0
wait "$BOARD_QEMU_PID" || status=$?
BOARD_QEMU_PID=
[ "$status" -eq 0 ] || cat "$dir/qemu.log" >&2
exit "$status"
