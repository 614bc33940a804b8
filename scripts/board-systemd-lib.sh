# shellcheck shell=bash
# Sourced by scripts/board-test.sh after scripts/board-lib.sh: the same
# emulated board (vexpress-a9, Debian's armmp kernel), booting Debian 12's
# systemd as PID 1 instead of busybox init.
#
# Its root is an initramfs holding the armhf dependency closure of systemd,
# udev, dbus (for networkctl), busybox-static and libstdc++6 (for the
# dynamically linked programs). Each .deb is unpacked with `dpkg-deb
# --fsys-tarfile | tar -x --keep-directory-symlink` into a merged /usr (plain
# dpkg-deb -x would replace the bin and lib links with directories, and
# systemd would then report an unmerged /usr). Nothing ARM runs on the host,
# so what the packages' maintainer scripts would have made is made here by
# hand: passwd, group and shadow, a machine-id, os-release, an empty fstab.
# Left out of the closure, since only maintainer scripts use them: adduser,
# debconf, dpkg, passwd, tar, init-system-helpers (and through it perl) and
# the PAM modules; apt takes them as installed (a status file of our own).
#
# The packages are fetched with apt-get against an apt state of our own under
# build/board/systemd-apt (apt_private_state, as board_fetch does; the
# machine's apt is never touched) and kept in build/board/systemd-platform;
# remove that directory to fetch them anew.

BOARD_SYSTEMD_PLATFORM=$BOARD_DIR/systemd-platform
# What the board runs; apt adds their dependencies.
BOARD_SYSTEMD_PACKAGES=(systemd udev dbus busybox-static libstdc++6)
# What apt is told is there already: used only by maintainer scripts.
BOARD_SYSTEMD_BY_HAND=(adduser debconf dpkg passwd tar init-system-helpers usr-is-merged
  libpam-modules libpam-modules-bin libpam-runtime)

# Fetches the closure once (its .debs in BOARD_SYSTEMD_PLATFORM/debs);
# afterwards only checks that it is there.
board_systemd_fetch() {
  local platform=$BOARD_SYSTEMD_PLATFORM
  if [ -f "$platform/ready" ]; then
    echo "board: systemd's packages from $platform ($(cat "$platform/ready"))"
    return 0
  fi
  local apt=$PWD/$BOARD_DIR/systemd-apt
  rm -rf "$platform"
  apt_private_state "$apt" armhf "$apt/status" || return 1
  mkdir -p "$platform/debs"
  local package
  for package in "${BOARD_SYSTEMD_BY_HAND[@]}"; do
    printf 'Package: %s\nStatus: install ok installed\nArchitecture: all\nVersion: 99\n%s\n\n' \
      "$package" "Description: made by hand on the board"
  done >"$apt/status"
  echo "board: fetching systemd and what it needs for armhf (private apt state in $apt)"
  apt_update board "$apt/update.log" "${APT_PRIVATE[@]}"
  # The closure as apt would install it on an empty armhf system: every
  # "Inst NAME (VERSION ..." line of a simulated install.
  if ! apt-get "${APT_PRIVATE[@]}" -s --no-install-recommends install \
    "${BOARD_SYSTEMD_PACKAGES[@]}" >"$apt/closure.log" 2>&1; then
    echo "board: apt cannot resolve ${BOARD_SYSTEMD_PACKAGES[*]} for armhf: $(apt_said "$apt/closure.log")" >&2
    return 1
  fi
  local closure
  mapfile -t closure < <(sed -n 's/^Inst \([^ ]*\) (\([^ ]*\) .*/\1=\2/p' "$apt/closure.log")
  apt_download board "$platform/debs" "$apt/download.log" "${APT_PRIVATE[@]}" -- \
    "${closure[@]}" || return 1
  local count size
  count=$(find "$platform/debs" -name '*.deb' | wc -l)
  size=$(du -sm "$platform/debs" | cut -f 1)
  echo "systemd $(dpkg-deb -f "$platform"/debs/systemd_*.deb Version), $count packages, $size MB" \
    >"$platform/ready"
  echo "board: $(cat "$platform/ready")"
}

# board_systemd_root ROOT: a root file system in the directory ROOT with the
# closure unpacked and the files its maintainer scripts would have made.
board_systemd_root() {
  local root=$1 deb
  rm -rf "$root"
  mkdir -p "$root"/usr/{bin,sbin,lib} "$root"/{dev,proc,sys,run,tmp,root,etc,var/lib/systemd}
  ln -s usr/bin "$root/bin"
  ln -s usr/sbin "$root/sbin"
  ln -s usr/lib "$root/lib"
  for deb in "$BOARD_SYSTEMD_PLATFORM"/debs/*.deb; do
    dpkg-deb --fsys-tarfile "$deb" | tar -x --keep-directory-symlink -C "$root" || {
      echo "board: unpacking $deb failed" >&2
      return 1
    }
  done
  ln -sf busybox "$root/bin/sh"
  ln -s ../lib/systemd/systemd "$root/sbin/init"
  # The users and groups systemd, udev and dbus look for.
  cat >"$root/etc/passwd" <<'EOF'
root:x:0:0:root:/root:/bin/sh
messagebus:x:100:101::/nonexistent:/usr/sbin/nologin
systemd-network:x:998:998:systemd Network Management:/:/usr/sbin/nologin
nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin
EOF
  cat >"$root/etc/group" <<'EOF'
root:x:0:
adm:x:4:
tty:x:5:
disk:x:6:
lp:x:7:
kmem:x:15:
dialout:x:20:
cdrom:x:24:
floppy:x:25:
tape:x:26:
audio:x:29:
utmp:x:43:
video:x:44:
input:x:101:
sgx:x:102:
kvm:x:103:
render:x:104:
messagebus:x:105:
systemd-journal:x:999:
systemd-network:x:998:
nogroup:x:65534:
EOF
  sed 's/^\([^:]*\):.*/\1:*:19000:0:99999:7:::/' "$root/etc/passwd" >"$root/etc/shadow"
  chmod 0640 "$root/etc/shadow"
  printf '%s\n' "$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')" >"$root/etc/machine-id"
  cat >"$root/usr/lib/os-release" <<'EOF'
PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"
NAME="Debian GNU/Linux"
VERSION_ID="12"
VERSION="12 (bookworm)"
VERSION_CODENAME=bookworm
ID=debian
EOF
  ln -s ../usr/lib/os-release "$root/etc/os-release"
  : >"$root/etc/fstab"
  echo board >"$root/etc/hostname"
  local units=$root/etc/systemd/system
  mkdir -p "$units"
  ln -sf /lib/systemd/system/multi-user.target "$units/default.target"
  # There is no agetty.
  ln -s /dev/null "$units/getty.target"
  # A seed credited at boot: without it systemd-random-seed waits about 10 s
  # for entropy under emulation.
  head -c 512 /dev/urandom >"$root/var/lib/systemd/random-seed"
  chmod 0600 "$root/var/lib/systemd/random-seed"
  mkdir -p "$units/systemd-random-seed.service.d"
  printf '[Service]\nEnvironment=SYSTEMD_RANDOM_SEED_CREDIT=1\n' \
    >"$units/systemd-random-seed.service.d/credit.conf"
  # busybox's applets as links, before anything else runs (busybox leaves
  # the files that are there alone); the host runs nothing ARM.
  cat >"$units/busybox-links.service" <<'EOF'
[Unit]
Description=busybox applets as links
DefaultDependencies=no
Before=sysinit.target systemd-udevd.service

[Service]
Type=oneshot
ExecStart=/bin/busybox --install -s

[Install]
WantedBy=sysinit.target
EOF
  mkdir -p "$units/sysinit.target.wants"
  ln -s ../busybox-links.service "$units/sysinit.target.wants/busybox-links.service"
}

# board_systemd_pack ROOT OUT: ROOT as a gzipped cpio archive OUT, every file
# root's.
board_systemd_pack() {
  local root=$1 out=$2
  (cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) | gzip -1 >"$out"
}

# board_systemd_package DIR: the armhf package, made as docs/building.md says
# (with a maintainer of the test's own), in DIR/build; sets BOARD_SYSTEMD_DEB.
board_systemd_package() {
  local build=$1/build
  if ! { cmake --preset armhf -B "$build" \
    -DMODEM_TOOLS_DEB_MAINTAINER="Board test <board-test@example.org>" &&
    cmake --build "$build" -j2 --target package; } >"$1/package.log" 2>&1; then
    cat "$1/package.log" >&2
    echo "board: the armhf package could not be made" >&2
    return 1
  fi
  BOARD_SYSTEMD_DEB=$(find "$build" -maxdepth 1 -name 'dsl-modem-tools_*_armhf.deb')
}

# board_systemd_install ROOT DEB: installs the package DEB into ROOT with
# dpkg, its maintainer scripts run as an image builder runs them
# (dpkg_chrootless): the closure is recorded as installed in ROOT's dpkg
# database, so the package's dependencies are checked against it.
board_systemd_install() {
  local root deb=$2 admin package name
  root=$(realpath "$1")
  admin=$root/var/lib/dpkg
  mkdir -p "$admin/info" "$admin/updates" "$root/var/log"
  : >"$admin/status"
  for package in "$BOARD_SYSTEMD_PLATFORM"/debs/*.deb; do
    { dpkg-deb -f "$package" && printf 'Status: install ok installed\n\n'; } >>"$admin/status"
    name=$(dpkg-deb -f "$package" Package)
    [ "$(dpkg-deb -f "$package" Multi-Arch)" = same ] && name=$name:armhf
    dpkg-deb --fsys-tarfile "$package" | tar -t | sed -e 's|^\.||' -e 's|/$||' -e 's|^$|/.|' \
      >"$admin/info/$name.list"
  done
  echo armhf >"$admin/arch"
  dpkg_chrootless "$root" -i "$deb"
}

# board_systemd_board_files ROOT SETTINGS: the board's own parts (its
# Ethernet driver, its setup and checks units, tests/board/systemd), its
# network (systemd-networkd, a DHCP client on wan0), and the boot service's
# settings (SETTINGS, as /etc/default/dsl-modem, root's alone) with
# examples/bridge.conf.
board_systemd_board_files() {
  local root=$1 settings=$2 unit
  mkdir -p "$root/lib/modules" "$root/etc/ppp" "$root/etc/default" "$root/etc/systemd/network"
  cp "$BOARD_PLATFORM/libphy.ko" "$BOARD_PLATFORM/smsc911x.ko" "$root/lib/modules/"
  cp tests/board/systemd/board-systemd-checks "$root/usr/sbin/"
  cp tests/board/systemd/wan0.network "$root/etc/systemd/network/"
  # The kernel's names stay: no udev rename of eth0 to beat the service's.
  ln -s /dev/null "$root/etc/systemd/network/99-default.link"
  systemctl --root="$root" --quiet enable systemd-networkd.service || return 1
  for unit in board-setup:sysinit board-checks:multi-user; do
    cp "tests/board/systemd/${unit%%:*}.service" "$root/etc/systemd/system/"
    mkdir -p "$root/etc/systemd/system/${unit#*:}.target.wants"
    ln -s "../${unit%%:*}.service" "$root/etc/systemd/system/${unit#*:}.target.wants/"
  done
  cp examples/bridge.conf "$root/etc/ppp/bridge.conf"
  printf '%s\n' "$settings" >"$root/etc/default/dsl-modem"
  chmod 0600 "$root/etc/default/dsl-modem"
}

# boot_systemd: the board booting Debian's systemd, with the armhf package
# installed by dpkg; systemd-networkd holds a lease on wan0 from the host's
# dnsmasq; a modem that powers on only once the boot has reached its target
# (then prints 6 KB of boot log with a 3 s bootloader countdown, then offers
# its login). Checks that the boot did not wait for the modem, that the
# service (enabled by the package) configured it once it came, had
# systemd-networkd renew the lease (DHCP_CLIENT=networkd) after the modem's
# last command, and what the journal says. Run by scripts/board-test.sh,
# whose checks it uses (dir, console, boot_failed, topic, ok, bad,
# expect_in, wait_for_board, check_modem_booted, check_modem_received,
# check_one_newline_each, check_lease_renewal).
boot_systemd() {
  dir=$BOARD_DIR/systemd
  console=$dir/console.log
  boot_failed=0
  rm -rf "$dir"
  mkdir -p "$dir"
  echo "=== board (systemd): Debian's systemd as PID 1, the armhf package installed with dpkg, systemd-networkd ==="
  # In a subshell: ensure_packages ends the shell it runs in when it cannot
  # install them, and this boot's failure belongs in the leg's summary.
  if ! (ensure_packages dnsmasq-base iproute2 systemd); then
    bad "the systemd board's host packages are missing"
    return 1
  fi
  local made=$SECONDS
  if ! board_systemd_fetch || ! board_systemd_package "$dir"; then
    bad "the systemd board's packages are missing"
    return 1
  fi
  local settings
  settings=$(cat tests/board/dsl-modem.default && printf '%s\n' MODEM_WAIT=150 MODEM_QUIET=3 \
    RENAME_FROM=eth0 RENAME_TO=wan0 DHCP_INTERFACE=wan0 DHCP_CLIENT=networkd)
  if ! board_systemd_root "$dir/root" ||
    ! board_systemd_install "$dir/root" "$BOARD_SYSTEMD_DEB" >"$dir/dpkg.log" 2>&1 ||
    ! board_systemd_board_files "$dir/root" "$settings" ||
    ! board_systemd_pack "$dir/root" "$dir/initramfs.cpio.gz"; then
    cat "$dir/dpkg.log" >&2
    bad "the systemd board's initramfs could not be made"
    return 1
  fi
  ok "$(basename "$BOARD_SYSTEMD_DEB") installed with dpkg: $(grep -c . "$dir/root/var/lib/dpkg/info/dsl-modem-tools.list") paths; initramfs $(($(stat -c %s "$dir/initramfs.cpio.gz") / 1048576)) MiB, made in $((SECONDS - made)) s"

  board_dhcp_replies "$dir" "$REPLIES"
  board_qemu "$dir" "$dir/initramfs.cpio.gz" "file:$console"
  board_dhcp_network "$dir" >"$dir/qemu.log" 2>&1 &
  BOARD_QEMU_PID=$!
  local started=$SECONDS deadline=$((SECONDS + BOARD_TIMEOUT))
  if ! board_find_pty "$dir" "$BOARD_QEMU_PID" || ! board_run; then
    board_stop
    cat "$dir/qemu.log" >&2
    bad "the board did not start"
    return 1
  fi
  # The modem is off (its console line dead) until the boot has reached its
  # target; then it powers on.
  while ! grep -q '^@target|' "$console" 2>/dev/null; do
    if ! kill -0 "$BOARD_QEMU_PID" 2>/dev/null || [ $SECONDS -ge $deadline ]; then
      break
    fi
    sleep 0.2
  done
  local target=$((SECONDS - started))
  if grep -q '^@target|' "$console" 2>/dev/null; then
    # shellcheck disable=SC2046  # the options are words
    board_serve_modem "$dir" $(board_modem_sim_options) -d "$REPLY_DELAY_MS" -r "$dir/replies" \
      --power-on 1000 --boot-log 6000 --autoboot 3 || bad "modem-sim did not start"
  fi
  local timed_out
  wait_for_board "$deadline"
  local ran=$((SECONDS - started))
  if [ "$timed_out" -eq 1 ] || ! grep -q '^@done|' "$console"; then
    tr -d '\r' <"$console" | tail -n 40 >&2
    bad "the board did not finish its checks within $BOARD_TIMEOUT s (console above, all of it in $console)"
    return 1
  fi
  ok "booted systemd: its target after $target s of wall time ($(topic analyze | head -n 1)); power-off after $ran s"
  check_systemd_boot
  check_modem_booted
  check_modem_received
  check_one_newline_each
  check_lease_renewal journal "DHCP: asked systemd-networkd to renew the lease of wan0 (networkctl renew wan0)"
  expect_in networkd "active" "systemd-networkd still runs"
  echo "  the board's journal:"
  topic log | sed 's/^/    /'
  return "$boot_failed"
}

# What the systemd board reported.
check_systemd_boot() {
  if topic jobs | grep -q 'dsl-modem'; then
    bad "dsl-modem jobs were still waiting at the target: $(topic jobs | tr '\n' ';')"
  else
    ok "no dsl-modem job waited at the target; jobs then: $(topic jobs | grep -v '^exit status' | awk '{ print $2 }' | tr '\n' ' ')"
  fi
  expect_in at-target-state "active" "multi-user.target active before the modem powered on"
  if [ "$(topic at-target | head -n 2 | tr '\n' ' ')" = "active active " ]; then
    ok "at the target dsl-modem.service and dsl-modem-rename.service are active"
  else
    bad "at the target the units were: $(topic at-target | tr '\n' ' ')"
  fi
  expect_in status-at-target "dsl-modem: waiting" "at the target the service was waiting for the modem"
  expect_in enabled "enabled" "the package enabled the units: $(topic enabled | head -n 2 | tr '\n' ' ')"
  if [ "$(topic after-stop | head -n 1)" = inactive ]; then
    ok "systemctl stop ended the waiting run: inactive, not failed"
  else
    bad "after systemctl stop the unit is $(topic after-stop | head -n 1)"
  fi
  expect_in status-after-stop "exit status 3" "then the script's status: $(topic status-after-stop | head -n 1)"
  if [ "$(topic after-restart | head -n 1)" = active ]; then
    ok "systemctl restart started a new run"
  else
    bad "after systemctl restart the unit is $(topic after-restart | head -n 1)"
  fi
  expect_in journal "configured" "journalctl -u dsl-modem: $(topic journal | grep -m 1 configured)"
  expect_in service "active (running)" "systemctl status dsl-modem: active (running), the watch after the configuration"
  expect_in init-status "dsl-modem: configured at " "/etc/init.d/dsl-modem status: configured"
  if topic links | grep -q ': wan0:' && ! topic links | grep -q ': eth0:'; then
    ok "dsl-modem-rename.service renamed eth0 to wan0"
  else
    bad "eth0 was not renamed wan0: $(topic links | grep -o '^[0-9]*: [^:]*' | tr '\n' ' ')"
  fi
}
