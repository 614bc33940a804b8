#!/usr/bin/env bash
# Checks the Debian packages of the three builds: native (this machine's
# architecture), armhf and armhf-static.
#  1. Reproducible: each package is built twice, from two copies of the source
#     in directories of different names, with SOURCE_DATE_EPOCH set from the
#     commit; the two .deb files must be byte-identical. Both builds run under
#     umask 022: cpack gives the members of the .deb archive the modes the
#     umask leaves (their contents do not depend on it).
#  2. lintian: no error and no warning (no E: or W: line) for any of them
#     but those the package overrides, with its reasons, and no override it
#     does not need.
#  3. The armhf packages replace each other, and the static one satisfies a
#     dependency on dsl-modem-tools: they are installed, in turn, into a dpkg
#     database of their own under WORK_DIR (the machine's is never touched).
#  4. Their maintainer scripts enable the boot service on installation
#     (both systemd units enabled) and leave none behind: after a removal the
#     units are gone and masked, after a purge nothing of the service is left.
#
#   scripts/check-packages.sh [WORK_DIR]     (default build/packages, emptied)
#
# The copies hold the files git knows of, as they are in the working tree (on
# a clean checkout: the commit). Run it as root (dpkg installs as root).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages git cmake make g++ g++-arm-linux-gnueabihf libc6-dev-armhf-cross \
  dpkg-dev file lintian systemd

work=${1:-build/packages}
presets=(native armhf armhf-static)
# A package needs a maintainer; these are test builds, so a reserved domain.
maintainer="Package check <package-check@example.org>"
failed=()

if ! SOURCE_DATE_EPOCH=$(git log -1 --format=%ct); then
  echo "check-packages: git gave no commit date for SOURCE_DATE_EPOCH (see above)" >&2
  exit 2
fi
export SOURCE_DATE_EPOCH

rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")

# Runs a command with its output in $work/LOG, shown only when it fails.
logged() {
  local log=$work/$1
  shift
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    echo "check-packages: failed: $* (log: $log)" >&2
    return 1
  fi
}

# Copies the source into DIR and builds the three packages there.
build_copy() {
  local dir=$1 file preset
  mkdir -p "$dir"
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do
      [ -e "$file" ] && printf '%s\0' "$file"
    done |
    tar --null --files-from=- -cf - | tar -xf - -C "$dir" || return 1
  for preset in "${presets[@]}"; do
    echo "--- $dir: $preset"
    # shellcheck disable=SC2016  # $1 and $2 are the inner shell's arguments
    (cd "$dir" &&
       logged "$(basename "$dir")-$preset.log" sh -c '
         cmake --preset "$1" -DMODEM_TOOLS_DEB_MAINTAINER="$2" &&
         cmake --build --preset "$1" -j2 --target package' sh "$preset" "$maintainer") ||
      return 1
  done
}

# The one .deb a build made, by preset, in the copy DIR.
package_of() {
  local debs=("$1/build/$2"/*.deb)
  if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    echo "check-packages: expected one .deb in $1/build/$2, found: ${debs[*]}" >&2
    return 1
  fi
  echo "${debs[0]}"
}

# The contents of a package, listed so that two of them can be compared.
describe() {
  dpkg-deb --info "$1"
  dpkg-deb --fsys-tarfile "$1" | tar -tv --full-time
  dpkg-deb --ctrl-tarfile "$1" | tar -xO ./md5sums
}

echo "=== packages: build each twice, SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH ==="
one=$work/one
two=$work/the-second-copy
umask 022
if ! build_copy "$one" || ! build_copy "$two"; then
  echo "Failed: packages (build)" >&2
  exit 1
fi

debs=()
for preset in "${presets[@]}"; do
  if ! first=$(package_of "$one" "$preset") || ! second=$(package_of "$two" "$preset"); then
    failed+=("$preset (no package)")
    continue
  fi
  debs+=("$first")
  if cmp "$first" "$second"; then
    echo "$preset: $(basename "$first") is the same in both builds"
  else
    diff <(describe "$first") <(describe "$second") >&2 || true
    failed+=("$preset (not reproducible)")
  fi
done

echo "=== packages: lintian ==="
for deb in "${debs[@]}"; do
  echo "--- $(basename "$deb")"
  status=0
  # The report shows the overridden tags too (O:, with their reasons); what
  # fails is an error or warning not overridden, or an override not needed.
  report=$(lintian --display-info --show-overrides --fail-on none "$deb" 2>&1) || status=$?
  echo "$report"
  if [ $status -ne 0 ] || grep -Eq '^[EW]: |unused-override' <<<"$report"; then
    failed+=("lintian $(basename "$deb") (status $status)")
  fi
done

echo "=== packages: the armhf packages replace each other, and enable the service ==="
# dpkg on a root of its own: a fresh database, its own log. armhf is forced
# (not this machine's architecture), and the libraries of the dynamic package
# (not in that database), which leaves the relations between our packages to
# check. The maintainer scripts run as an image builder runs them
# (dpkg_chrootless, scripts/packages.sh).
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/log"
: >"$root/var/lib/dpkg/status"
dpkg_root() {
  dpkg_chrootless "$root" --force-architecture "$@"
}
units=(dsl-modem.service dsl-modem-rename.service)
# service_is STATE: systemctl --root says STATE of each unit (enabled,
# masked); "gone": nothing of the service is left in the root.
service_is() {
  local expected=$1 unit state left
  if [ "$expected" = gone ]; then
    left=$(find "$root" -name '*dsl-modem*' | sed "s|^$root||" | tr '\n' ' ')
    if [ -n "$left" ]; then
      echo "check-packages: the service left behind: $left" >&2
      return 1
    fi
    return 0
  fi
  for unit in "${units[@]}"; do
    state=$(systemctl --root="$root" is-enabled "$unit" 2>&1 || true)
    if [ "$state" != "$expected" ]; then
      echo "check-packages: $unit is '$state', not $expected" >&2
      return 1
    fi
  done
}
# A package of the board image that needs the programs of this version.
needs() {
  mkdir -p "$work/needs/DEBIAN"
  cat >"$work/needs/DEBIAN/control" <<EOF
Package: board-image-part
Version: 1
Architecture: $(dpkg-deb -f "$1" Architecture)
Maintainer: $maintainer
Depends: dsl-modem-tools (= $(dpkg-deb -f "$1" Version))
Description: needs serial-modem-setup and netif-rename
EOF
  dpkg-deb --root-owner-group --build "$work/needs" "$work/needs.deb"
}
# Each step installs one package, then expects only it and the image part to
# be installed, with its own programs in usr/sbin.
installed_is() {
  local deb=$1 expected listed unpacked=$work/unpacked
  expected=$(dpkg-deb -f "$deb" Package)
  listed=$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${db:Status-Status} ${Package}\n' |
             grep '^installed ' | grep -v ' board-image-part$' || true)
  if [ "$listed" != "installed $expected" ]; then
    echo "check-packages: after installing $(basename "$deb"), dpkg has: ${listed:-nothing}" >&2
    return 1
  fi
  rm -rf "$unpacked"
  dpkg-deb -x "$deb" "$unpacked"
  cmp "$unpacked/usr/sbin/serial-modem-setup" "$root/usr/sbin/serial-modem-setup" &&
    cmp "$unpacked/usr/sbin/netif-rename" "$root/usr/sbin/netif-rename" &&
    service_is enabled
}
dynamic=$(package_of "$one" armhf) && static=$(package_of "$one" armhf-static) &&
  logged dpkg-needs.log needs "$dynamic" &&
  # Static first: it needs no library, so no dependency is forced, and the
  # image part is installed only if the static package provides dsl-modem-tools.
  logged dpkg-1.log dpkg_root -i "$static" && installed_is "$static" &&
  logged dpkg-2.log dpkg_root -i "$work/needs.deb" &&
  logged dpkg-3.log dpkg_root --force-depends -i "$dynamic" && installed_is "$dynamic" &&
  logged dpkg-4.log dpkg_root -i "$static" && installed_is "$static" &&
  echo "dsl-modem-tools and dsl-modem-tools-static replace each other; each enables ${units[*]}" ||
  failed+=("armhf packages (install)")
logged dpkg-5.log dpkg_root -r board-image-part dsl-modem-tools-static && service_is masked &&
  [ ! -e "$root/lib/systemd/system/dsl-modem.service" ] &&
  logged dpkg-6.log dpkg_root -P dsl-modem-tools-static dsl-modem-tools && service_is gone &&
  echo "removed: the units gone and masked; purged: nothing of the service left" ||
  failed+=("armhf packages (remove, purge)")

if [ ${#failed[@]} -ne 0 ]; then
  echo "Failed: ${failed[*]}" >&2
  exit 1
fi
echo "Packages reproducible, lintian clean, static and dynamic interchangeable, the service enabled and removed"
