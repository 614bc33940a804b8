#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, builds, and runs
# the whole test suite. Run it as root: the tests make private namespaces.
#
# Three legs, each with its own summary: the host build and its tests; then
# the board build (armhf, dynamically linked) and the same end-to-end tests
# run against it under qemu-arm; then the statically linked board build, the
# same way. The board legs run even when the host tests failed (a failed host
# build stops everything: its tests are what the board legs run); the exit
# status is non-zero if any leg failed.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages cmake make g++ libgtest-dev libgmock-dev iproute2 util-linux \
  groff-base mandoc g++-arm-linux-gnueabihf libc6-dev-armhf-cross qemu-user

failed=()

# Host: the programs as built here, plus the man page lint.
cmake --preset default
cmake --build --preset default -j2
ctest --preset default || failed+=(host)

# Board: the host build's tests, pointed at the armhf programs through
# MODEM_SETUP_PROGRAM, NETIF_RENAME_PROGRAM and PROGRAM_EMULATOR (see the
# armhf test presets).
for preset in armhf armhf-static; do
  echo "=== $preset: build, then the end-to-end tests under qemu-arm ==="
  if cmake --preset "$preset" && cmake --build --preset "$preset" -j2; then
    # Stripped sizes; the dynamic build fails here when over its budget.
    cmake --build --preset "$preset" --target check-sizes || failed+=("$preset (size)")
    ctest --preset "$preset" || failed+=("$preset")
  else
    failed+=("$preset (build)")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "Failed: ${failed[*]}" >&2
  exit 1
fi
