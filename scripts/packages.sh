# shellcheck shell=bash
# Sourced by the scripts here: installs the Debian packages a step needs,
# asking apt-get only for those that are missing.

ensure_packages() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Run this script as root, or install them with: apt-get install ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing ${missing[*]}" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

# dpkg_chrootless ROOT DPKG_ARGUMENT...: dpkg on the root file system ROOT
# (its own database and log there), its packages' maintainer scripts run on
# this machine with DPKG_ROOT naming ROOT, not chrooted (ROOT may have no
# shell, or one this machine cannot run), as an image builder runs them;
# deb-systemd-helper honours DPKG_ROOT. They run in a private mount
# namespace in which the machine's /etc, /var and /run are read-only, so a
# script that reached past DPKG_ROOT would fail instead of changing the
# machine.
dpkg_chrootless() {
  local root=$1
  shift
  # shellcheck disable=SC2016  # expanded by the inner shell
  unshare -m sh -c 'root=$1
    shift
    mount --make-rprivate / || exit 1
    for dir in /etc /var /run; do
      mount --bind "$dir" "$dir" && mount -o remount,bind,ro "$dir" || exit 1
    done
    mount --bind "$root" "$root" && exec "$@"' sh "$root" \
    dpkg --root="$root" --log="$root/var/log/dpkg.log" --force-script-chrootless "$@"
}
