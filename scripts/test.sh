#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, builds, and runs
# the whole test suite. Run it as root: the tests make private namespaces.
#
# Legs, each with its own summary: first the lint (scripts/lint.sh: the C++
# formatting, the shell scripts, clang-tidy, the documentation's links;
# about a minute), which stops the
# run when it fails; then the host build and its tests; then the board build
# (armhf, dynamically linked) and the same end-to-end tests run
# against it under qemu-arm; then the statically linked board build, the same
# way; then both on an emulated ARM board with Debian's kernel
# (scripts/board-test.sh); then the Debian packages (scripts/check-packages.sh: each built twice
# and byte-identical, lintian clean, static and dynamic interchangeable).
# Then the checks of memory and input handling: the whole suite built
# with AddressSanitizer, LeakSanitizer and UBSan; a short run of each fuzz
# target with a replay of its saved inputs; one full run of serial-modem-setup
# under valgrind. The legs after the host leg run even when the host tests
# failed (a failed host build stops everything: its tests are what the board
# legs run); the exit status is non-zero if any leg failed.
set -euo pipefail
cd "$(dirname "$0")/.."

# Lint, before anything is installed for the other legs: a formatting slip or
# a shellcheck finding fails in seconds. It stops the run: the code has to
# change before it can pass, so an hour of legs on it would test code that is
# about to change (the same reason a failed host build stops everything).
echo "=== lint: clang-format, shellcheck, clang-tidy, links ==="
if ! bash scripts/lint.sh; then
  echo "Failed: lint (the other legs did not run; scripts/lint.sh says what to fix)" >&2
  exit 1
fi

. scripts/packages.sh
ensure_packages cmake make g++ libgtest-dev libgmock-dev iproute2 util-linux \
  groff-base mandoc g++-arm-linux-gnueabihf libc6-dev-armhf-cross qemu-user \
  clang libclang-rt-14-dev llvm-14 valgrind git dpkg-dev file lintian
# The boot script's host tests run it under busybox sh too: any busybox will do.
command -v busybox >/dev/null || ensure_packages busybox-static
# Its DHCP renewal tests need a real server and Debian's dhcpcd (the
# programs alone, no service), the units' check systemd-analyze.
ensure_packages dnsmasq-base dhcpcd-base systemd
# The wait for a booting modem is tried against Debian's U-Boot under
# qemu-system-arm (tests/uboot-autoboot.sh).
ensure_packages qemu-system-arm u-boot-qemu
# picocom: the watch holds the console as terminal programs expect.
ensure_packages picocom

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

# The board in a box: both armhf builds on qemu-system-arm's Versatile Express
# with Debian's armmp kernel, its boot script from boot-service/, the modem's
# console on a real UART driver against modem-sim, the rename on a 32-bit
# kernel.
echo "=== board: the armhf programs on an emulated ARM board ==="
bash scripts/board-test.sh || failed+=(board)

# Packages: native, armhf and armhf-static, each built twice from copies of
# the source in different directories, compared byte for byte, then lintian
# (any error or warning fails) and an install of each into a private dpkg
# database.
echo "=== packages: reproducible, lintian clean, interchangeable ==="
bash scripts/check-packages.sh || failed+=(packages)

# Sanitizers: everything built with them, the programs under test included
# (see the asan presets). A finding aborts the process that made it. ASan and
# LSan write their reports to build/asan/sanitizer-reports: any report there
# fails the leg, even one from a child process whose status no test looked at.
# UBSan's go to the process's standard error, which the tests compare.
echo "=== asan: build with AddressSanitizer, LeakSanitizer and UBSan, then the whole suite ==="
if cmake --preset asan && cmake --build --preset asan -j2; then
  reports=build/asan/sanitizer-reports
  rm -rf "$reports"
  mkdir -p "$reports"
  ctest --preset asan || failed+=(asan)
  if [ -n "$(ls -A "$reports")" ]; then
    for report in "$reports"/*; do
      echo "--- $report" >&2
      cat "$report" >&2
    done
    failed+=("asan (sanitizer reports)")
  fi
else
  failed+=("asan (build)")
fi

# Fuzzing: the libFuzzer targets (clang) replay their saved crashes and seeds,
# then run 20 s each; a crash is saved under fuzz/regressions and fails.
echo "=== fuzz: replay the saved inputs, then 20 s of each target ==="
bash fuzz/run 20 || failed+=(fuzz)

# Memory: a full run of the host build's serial-modem-setup under memcheck.
echo "=== memcheck: serial-modem-setup under valgrind against modem-sim ==="
bash scripts/memcheck.sh build/default || failed+=(memcheck)

if [ ${#failed[@]} -ne 0 ]; then
  echo "Failed: ${failed[*]}" >&2
  exit 1
fi
echo "All legs passed: lint, host, armhf, armhf-static, board, packages, asan, fuzz, memcheck"
