# shellcheck shell=bash
# Sourced by scripts/board-test.sh and scripts/board.sh (after
# scripts/packages.sh, from the top of the source tree): the emulated board.
#
# qemu-system-arm's Versatile Express (vexpress-a9: Cortex-A9, four PL011
# UARTs) boots Debian 12's armmp kernel with an initramfs made here: busybox,
# the armhf programs and the boot script as `cmake --install` puts them (the
# script linked as /etc/init.d/S40dsl-modem for busybox init),
# examples/bridge.conf, and the board's own files from tests/board. The
# console is the first UART (ttyAMA0); the modem's console is the second
# (ttyAMA1), a pty on the host served by modem-sim -l.
#
# Debian's armhf kernel and busybox-static are fetched with apt-get against
# an apt state of our own under build/board/apt (apt_private_state: the
# machine's sources less its -security and -updates suites), so the
# machine's apt configuration, architectures and package state are never
# touched. They are kept under build/board/platform; remove that directory
# to fetch anew.

BOARD_DIR=build/board
BOARD_PLATFORM=$BOARD_DIR/platform
BOARD_TRIPLET=arm-linux-gnueabihf
# How long qemu may take to show its pty, and modem-sim to serve it.
BOARD_ATTACH_LIMIT=30

# dnsmasq-base and iproute2: the udhcpc boot's network (board_dhcp_network).
board_ensure_packages() {
  ensure_packages cmake make g++ libgtest-dev libgmock-dev g++-arm-linux-gnueabihf \
    libc6-dev-armhf-cross qemu-system-arm cpio gzip dnsmasq-base iproute2
}

# The host's modem-sim and the two armhf builds (already there when the test
# command's earlier legs made them).
board_build() {
  cmake --preset default >/dev/null
  cmake --build --preset default -j2 --target modem-sim
  local preset
  for preset in armhf armhf-static; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j2
  done
}

# Fetches the armhf kernel (with the dummy network driver, and the
# Ethernet driver of the board's LAN9118, smsc911x, with the PHY library it
# needs) and busybox once; afterwards only checks that they are there.
board_fetch() {
  if [ -f "$BOARD_PLATFORM/ready" ] && [ -f "$BOARD_PLATFORM/smsc911x.ko" ]; then
    echo "board: kernel and busybox from $BOARD_PLATFORM ($(cat "$BOARD_PLATFORM/ready"))"
    return 0
  fi
  local apt=$PWD/$BOARD_DIR/apt
  rm -rf "$BOARD_PLATFORM"
  apt_private_state "$apt" armhf /dev/null || return 1
  mkdir -p "$apt/debs"
  echo "board: fetching Debian's armhf kernel and busybox-static (private apt state in $apt)"
  apt_update board "$apt/update.log" "${APT_PRIVATE[@]}"
  # linux-image-armmp names the current kernel package in its Depends:
  # "linux-image-6.1.0-N-armmp (= VERSION)".
  local depends kernel version
  apt_download board "$apt/debs" "$apt/download.log" "${APT_PRIVATE[@]}" -- \
    linux-image-armmp busybox-static || return 1
  if ! depends=$(dpkg-deb -f "$apt"/debs/linux-image-armmp_*.deb Depends); then
    echo "board: linux-image-armmp names no kernel package (see above)" >&2
    return 1
  fi
  kernel=${depends%% *}
  version=${depends#*(= }
  version=${version%%)*}
  apt_download board "$apt/debs" "$apt/download.log" "${APT_PRIVATE[@]}" -- \
    "$kernel=$version" || return 1
  local unpacked=$apt/unpacked
  mkdir -p "$unpacked" "$BOARD_PLATFORM"
  dpkg-deb --fsys-tarfile "$apt/debs/${kernel}"_*.deb |
    tar -x -C "$unpacked" --wildcards './boot/vmlinuz-*' \
      './usr/lib/linux-image-*/vexpress-v2p-ca9.dtb' './lib/modules/*/kernel/drivers/net/dummy.ko' \
      './lib/modules/*/kernel/drivers/net/phy/libphy.ko' \
      './lib/modules/*/kernel/drivers/net/ethernet/smsc/smsc911x.ko'
  dpkg-deb --fsys-tarfile "$apt"/debs/busybox-static_*.deb | tar -x -C "$unpacked" ./bin/busybox
  mv "$unpacked"/boot/vmlinuz-* "$BOARD_PLATFORM/vmlinuz"
  mv "$unpacked"/usr/lib/linux-image-*/vexpress-v2p-ca9.dtb "$BOARD_PLATFORM/"
  mv "$unpacked"/lib/modules/*/kernel/drivers/net/dummy.ko \
    "$unpacked"/lib/modules/*/kernel/drivers/net/phy/libphy.ko \
    "$unpacked"/lib/modules/*/kernel/drivers/net/ethernet/smsc/smsc911x.ko "$BOARD_PLATFORM/"
  mv "$unpacked/bin/busybox" "$BOARD_PLATFORM/"
  rm -rf "$unpacked"
  local busybox
  busybox=$(dpkg-deb -f "$apt"/debs/busybox-static_*.deb Version)
  echo "$kernel $version, busybox-static $busybox" >"$BOARD_PLATFORM/ready"
  echo "board: $(cat "$BOARD_PLATFORM/ready")"
}

# board_copy_libraries ROOT FILE...: the shared libraries the files need, and
# theirs, from the cross toolchain's tree into ROOT/lib, with the dynamic
# loader the files name.
board_copy_libraries() {
  local root=$1
  shift
  local queue=("$@") file name interpreter
  while [ ${#queue[@]} -gt 0 ]; do
    file=${queue[0]}
    queue=("${queue[@]:1}")
    interpreter=$("$BOARD_TRIPLET-readelf" -l "$file" |
      sed -n 's/.*Requesting program interpreter: \(.*\)]$/\1/p')
    if [ -n "$interpreter" ] && [ ! -e "$root$interpreter" ]; then
      mkdir -p "$root$(dirname "$interpreter")"
      cp -L "/usr/$BOARD_TRIPLET/lib/$(basename "$interpreter")" "$root$interpreter"
    fi
    for name in $("$BOARD_TRIPLET-readelf" -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p'); do
      [ -e "$root/lib/$name" ] && continue
      if [ ! -e "/usr/$BOARD_TRIPLET/lib/$name" ]; then
        echo "board: $file needs $name, which /usr/$BOARD_TRIPLET/lib does not have" >&2
        return 1
      fi
      mkdir -p "$root/lib"
      cp -L "/usr/$BOARD_TRIPLET/lib/$name" "$root/lib/$name"
      queue+=("$root/lib/$name")
    done
  done
}

# board_initramfs BUILD INITTAB OUT [OVERLAY]: the board's root file system
# with the programs of BUILD (build/armhf or build/armhf-static) and the
# given inittab, as a gzipped cpio archive OUT. OVERLAY, a directory, is
# copied over it last.
board_initramfs() {
  local build=$1 inittab=$2 out=$3 overlay=${4:-}
  local root=${out%.cpio.gz}.root
  rm -rf "$root"
  mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,lib/modules,etc/init.d,etc/default,etc/ppp} \
    "$root"/{dev,proc,sys,tmp,var,root}
  cp "$BOARD_PLATFORM/busybox" "$root/bin/busybox"
  ln -s busybox "$root/bin/sh"
  ln -s ../bin/busybox "$root/sbin/init"
  DESTDIR=$PWD/$root cmake --install "$build" --prefix /usr --strip --component programs \
    >/dev/null || return 1
  board_copy_libraries "$root" "$root"/usr/sbin/* || return 1
  cp "$BOARD_PLATFORM/dummy.ko" "$root/lib/modules/"
  cp tests/board/rcS "$root/etc/init.d/rcS"
  cp tests/board/fake-dhcpcd tests/board/board-checks "$root/usr/sbin/"
  cp tests/board/dsl-modem.default "$root/etc/default/dsl-modem"
  # busybox init's rcS runs the installed boot script by this name.
  ln -s dsl-modem "$root/etc/init.d/S40dsl-modem"
  cp examples/bridge.conf "$root/etc/ppp/bridge.conf"
  printf '%s\n' "$inittab" >"$root/etc/inittab"
  [ -n "$overlay" ] && cp -a "$overlay/." "$root/"
  (cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) | gzip -1 >"$out"
}

# The modem-sim options that match tests/board/dsl-modem.default: its
# speed, user name and password; and the line paced as a UART at that speed
# with an 8-byte receive trigger, as a real modem's console line would hand
# the board's UART its bytes.
board_modem_sim_options() {
  (
    . tests/board/dsl-modem.default
    echo "-b $MODEM_SPEED -M uart:$MODEM_SPEED:8 -u $MODEM_USER -p $MODEM_PASSWORD"
  )
}

# board_qemu DIR INITRD CONSOLE: starts qemu-system-arm stopped (-S), its
# console on the chardev CONSOLE (file:PATH, mon:stdio), the second UART on
# a new host pty, its monitor on the FIFOs DIR/monitor.in and .out. Sets
# BOARD_QEMU to the words to run; the caller runs them.
board_qemu() {
  local dir=$1 initrd=$2 console=$3
  rm -f "$dir/monitor.in" "$dir/monitor.out"
  mkfifo "$dir/monitor.in" "$dir/monitor.out"
  # shellcheck disable=SC2034,SC2054  # used by the caller; commas are qemu's
  BOARD_QEMU=(qemu-system-arm -M vexpress-a9 -m 256 -display none -nic none
    -audiodev none,id=silence -global pl041.audiodev=silence
    -kernel "$BOARD_PLATFORM/vmlinuz" -dtb "$BOARD_PLATFORM/vexpress-v2p-ca9.dtb"
    -initrd "$initrd" -append "console=ttyAMA0 quiet rdinit=/sbin/init"
    -serial "$console" -serial pty -monitor "pipe:$dir/monitor" -S -no-reboot)
}

# board_attach DIR QEMU_PID MODEM_SIM_OPTION...: once qemu shows the pty of
# the second UART, serves it with modem-sim -l (transcript DIR/transcript),
# then lets the guest run. Fails, saying why, when qemu ends first or either
# takes longer than BOARD_ATTACH_LIMIT seconds. Sets BOARD_SIM_PID.
board_attach() {
  local dir=$1 qemu=$2
  shift 2
  board_find_pty "$dir" "$qemu" && board_serve_modem "$dir" "$@" && board_run
}

# board_find_pty DIR QEMU_PID: asks qemu's monitor for the pty of the second
# UART and sets BOARD_PTY to it. Fails, saying why, when qemu ends first or
# does not show it within BOARD_ATTACH_LIMIT seconds.
board_find_pty() {
  local dir=$1 qemu=$2
  local deadline=$((SECONDS + BOARD_ATTACH_LIMIT))
  BOARD_PTY=
  # Opened for reading and writing, a FIFO never blocks the open, whether
  # qemu has opened its end yet or not.
  exec {BOARD_MONITOR_FD}<>"$dir/monitor.in"
  : >"$dir/monitor.log"
  cat <>"$dir/monitor.out" >"$dir/monitor.log" &
  BOARD_MONITOR_PID=$!
  echo "info chardev" >&"$BOARD_MONITOR_FD"
  while [ -z "$BOARD_PTY" ]; do
    BOARD_PTY=$(sed -n 's/^serial1: filename=pty:\(\/dev\/[^ \r]*\).*/\1/p' "$dir/monitor.log")
    [ -n "$BOARD_PTY" ] && break
    if ! kill -0 "$qemu" 2>/dev/null || [ $SECONDS -ge $deadline ]; then
      echo "board: qemu did not show the pty of its second UART (see $dir/monitor.log)" >&2
      return 1
    fi
    sleep 0.1
  done
}

# board_serve_modem DIR MODEM_SIM_OPTION...: modem-sim -l on BOARD_PTY
# (transcript DIR/transcript), once it serves it; sets BOARD_SIM_PID. Fails,
# saying why, when it does not within BOARD_ATTACH_LIMIT seconds.
board_serve_modem() {
  local dir=$1
  shift
  local deadline=$((SECONDS + BOARD_ATTACH_LIMIT))
  build/default/tools/modem-sim/modem-sim -l "$BOARD_PTY" -t "$dir/transcript" "$@" \
    >"$dir/modem-sim.out" 2>"$dir/modem-sim.err" &
  BOARD_SIM_PID=$!
  # It prints the device's path once it serves it.
  until grep -qs . "$dir/modem-sim.out"; do
    if ! kill -0 "$BOARD_SIM_PID" 2>/dev/null || [ $SECONDS -ge $deadline ]; then
      echo "board: modem-sim did not start serving $BOARD_PTY:" >&2
      cat "$dir/modem-sim.err" >&2
      return 1
    fi
    sleep 0.1
  done
}

# Lets the guest that qemu holds (-S) run.
board_run() {
  echo "cont" >&"$BOARD_MONITOR_FD"
}

# board_dhcp_network DIR: runs BOARD_QEMU with the board's Ethernet on a
# tap, board0, in a network and pid namespace of its own, where board0 is
# 192.0.2.1/24 and dnsmasq serves DHCP on it (its log DIR/dnsmasq.log).
# Ending it ends them all; the machine's network is never touched.
board_dhcp_network() {
  local dir word
  dir=$(realpath "$1")
  for word in "${!BOARD_QEMU[@]}"; do
    [ "${BOARD_QEMU[word]}" = -nic ] && BOARD_QEMU[word + 1]=tap,ifname=board0,script=no,downscript=no
  done
  # shellcheck disable=SC2016  # expanded by the inner shell
  unshare --net --pid --fork --kill-child bash -c 'dir=$1
    shift
    ip link set lo up && ip tuntap add dev board0 mode tap &&
      ip addr add 192.0.2.1/24 dev board0 && ip link set board0 up || exit 1
    dnsmasq --keep-in-foreground --conf-file=/dev/null --port=0 --user=root \
      --interface=board0 --bind-interfaces --dhcp-range=192.0.2.10,192.0.2.20,255.255.255.0,1h \
      --dhcp-leasefile="$dir/leases" --log-dhcp --log-facility="$dir/dnsmasq.log" &
    "$@"' sh "$dir" "${BOARD_QEMU[@]}"
}

# board_dhcp_replies DIR REPLIES: REPLIES as DIR/replies, the command
# file's last command answered after 200 ms, so that when the modem has it
# whatever the DHCP server has seen came before the renewal. Sets
# BOARD_LAST_COMMAND.
board_dhcp_replies() {
  BOARD_LAST_COMMAND=$(grep -v -e '^#' -e '^$' examples/bridge.conf | tail -n 1)
  sed "s/^$BOARD_LAST_COMMAND => /$BOARD_LAST_COMMAND =>@200 /" "$2" >"$1/replies"
}

# Ends what board_attach and the caller (BOARD_QEMU_PID) started, if it
# still runs; modem-sim last, so its transcript holds all the guest sent.
board_stop() {
  local pid
  for pid in ${BOARD_QEMU_PID:-} ${BOARD_MONITOR_PID:-} ${BOARD_SIM_PID:-}; do
    # Under set -e too: a process ended by the signal is no failure here.
    if kill -TERM "$pid" 2>/dev/null; then
      wait "$pid" 2>/dev/null || true
    fi
  done
  if [ -n "${BOARD_MONITOR_FD:-}" ]; then
    exec {BOARD_MONITOR_FD}>&-
  fi
  BOARD_QEMU_PID=''
  BOARD_MONITOR_PID=''
  BOARD_SIM_PID=''
  BOARD_MONITOR_FD=''
  return 0
}
