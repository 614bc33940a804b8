#!/usr/bin/env bash
# systemd-analyze verify of the boot service's units as cmake --install puts
# them: installed (every component) into a scratch root that also holds the
# machine's own units (the targets they name), then verified there, so the
# commands they run are looked for in that root. Any complaint fails.
#
#   tests/verify-units.sh BUILD_DIR UNIT_DIR
#
# Exits 77 (skipped) when systemd-analyze is missing.
set -euo pipefail
build=$1
unit_dir=$2
if ! command -v systemd-analyze >/dev/null; then
  echo "systemd-analyze not found (Debian package systemd): not verified"
  exit 77
fi
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root$unit_dir"
cp -a /lib/systemd/system/. "$root$unit_dir/"
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
units=("$root$unit_dir"/dsl-modem*.service)
status=0
report=$(systemd-analyze verify --man=no --root="$root" "${units[@]}" 2>&1) || status=$?
echo "${report:-systemd-analyze verify: no complaint about ${units[*]##*/}}"
if [ "$status" -ne 0 ] || [ -n "$report" ]; then
  echo "systemd-analyze verify: status $status" >&2
  exit 1
fi
