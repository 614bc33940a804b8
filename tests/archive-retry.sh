#!/usr/bin/env bash
# The archive helpers of scripts/packages.sh, as the scripts use them:
#
#  - ensure_packages against a stand-in apt-get (first on PATH, with
#    stand-ins for dpkg-query and id: nothing is installed, the machine's
#    apt state is never read or written) that fails as an archive in a bad
#    moment does: its first call only, every update (a broken index that
#    stays broken), every call. A failed update is tried again and the step
#    goes on; when the package cannot be had after the tries, the script
#    ends, its last line naming the package with apt's "E:" text.
#  - apt_release_sources on sources of the test's own (APT_CONFIG names
#    them), one-line and deb822: one deb822 file without the -security and
#    -updates suites and without deb-src.
#
#   tests/archive-retry.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

mkdir "$work/bin"
# FAKE_APT_FAIL: which calls fail: first, update (every update), all.
cat >"$work/bin/apt-get" <<'EOF'
#!/bin/sh
count=$(($(cat "$FAKE_APT_DIR/count" 2>/dev/null || echo 0) + 1))
echo "$count" >"$FAKE_APT_DIR/count"
for verb in "$@"; do
  case $verb in update | install) break ;; esac
done
echo "$verb" >>"$FAKE_APT_DIR/calls"
case $FAKE_APT_FAIL:$verb in
  first:*) [ "$count" -eq 1 ] || exit 0 ;;
  update:update | all:*) ;;
  *) exit 0 ;;
esac
if [ "$verb" = update ]; then
  echo "Get:1 http://archive.invalid/debian stable-security/main amd64 Packages"
  echo "E: Failed to fetch http://archive.invalid/debian/dists/stable-security/main/binary-amd64/Packages.xz  File has unexpected size (359552 != 360800). Mirror sync in progress? [IP: 192.0.2.1 80]" >&2
  echo "   Hashes of expected file:" >&2
  echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
else
  echo "E: Failed to fetch http://archive.invalid/debian/pool/main/f/fake-tool/fake-tool_1.0-1_amd64.deb  404  Not Found [IP: 192.0.2.1 80]" >&2
  echo "E: Unable to fetch some archives, maybe run apt-get update or try with --fix-missing?" >&2
fi
exit 100
EOF
printf '#!/bin/sh\nexit 1\n' >"$work/bin/dpkg-query"
printf '#!/bin/sh\necho 0\n' >"$work/bin/id"
chmod +x "$work/bin"/*

# The fake's failures, what apt-get was asked, in order, whether the step
# went on, and a line its standard error must hold.
cases=(
  "first|update update install|yes|archive-retry: try 1 of 3 failed: E: Failed to fetch http://archive.invalid/debian/dists/stable-security/main/binary-amd64/Packages.xz File has unexpected size (359552 != 360800). Mirror sync in progress? [IP: 192.0.2.1 80] E: Some index files failed to download. They have been ignored, or old ones used instead.; trying again in 0 s"
  "update|update update update install|yes|archive-retry: warning: going on with the indices that arrived; after 3 tries apt-get update still says: E: Failed to fetch http://archive.invalid/debian/dists/stable-security/main/binary-amd64/Packages.xz File has unexpected size (359552 != 360800). Mirror sync in progress? [IP: 192.0.2.1 80] E: Some index files failed to download. They have been ignored, or old ones used instead."
  "all|update update update install install install|no|archive-retry: cannot install fake-tool after 3 tries: E: Failed to fetch http://archive.invalid/debian/pool/main/f/fake-tool/fake-tool_1.0-1_amd64.deb 404 Not Found [IP: 192.0.2.1 80] E: Unable to fetch some archives, maybe run apt-get update or try with --fix-missing?"
)
for case in "${cases[@]}"; do
  IFS='|' read -r fail calls went_on last <<<"$case"
  rm -f "$work/count" "$work/calls"
  status=0
  # shellcheck disable=SC2016  # the inner shell's
  PATH=$work/bin:$PATH FAKE_APT_DIR=$work FAKE_APT_FAIL=$fail ARCHIVE_TRIES=3 ARCHIVE_PAUSE=0 \
    bash -c 'set -euo pipefail; . "$1/scripts/packages.sh"; ensure_packages fake-tool; echo went on' \
    archive-retry "$source_dir" >"$work/out" 2>"$work/err" || status=$?
  got_calls=$(tr '\n' ' ' <"$work/calls" | sed 's/ $//')
  got_went_on=no
  grep -qx 'went on' "$work/out" && got_went_on=yes
  [ "$went_on" = yes ] && [ "$status" -ne 0 ] && got_went_on="no (status $status)"
  [ "$went_on" = no ] && [ "$status" -eq 0 ] && got_went_on="yes (status 0)"
  if [ "$got_calls" != "$calls" ] || [ "$got_went_on" != "$went_on" ] ||
    ! grep -qxF -- "$last" "$work/err"; then
    echo "FAILED: apt-get failing $fail: asked '$got_calls' (expected '$calls'), went on: $got_went_on (expected $went_on); its standard error:" >&2
    sed 's/^/  /' "$work/err" >&2
    echo "  expected the line: $last" >&2
    failed=1
  else
    echo "ok: apt-get failing $fail: asked $calls; went on: $went_on"
  fi
done

# The machine's sources as this machine has them (deb822), and the one-line
# style with options, both with suites the private fetches leave out.
mkdir -p "$work/etc/sources.list.d"
cat >"$work/etc/sources.list" <<'EOF'
# the release
deb [arch=armhf,amd64 lang-=de signed-by=/usr/share/keyrings/archive.gpg] http://archive.invalid/debian stable main contrib # and contrib
deb-src http://archive.invalid/debian stable main
deb http://archive.invalid/debian-security stable-security main
deb http://archive.invalid/flat ./
EOF
cat >"$work/etc/sources.list.d/debian.sources" <<'EOF'
Types: deb
# a comment
URIs: http://archive.invalid/debian
Suites: stable stable-updates
  stable-backports
Components: main
Signed-By: /usr/share/keyrings/archive.gpg

Types: deb deb-src
URIs: http://archive.invalid/debian-security
Suites: stable-security
Components: main
EOF
echo 'deb http://archive.invalid/old oldstable/updates main' >"$work/etc/sources.list.d/old.list"
echo 'deb http://archive.invalid/off stable main' >"$work/etc/sources.list.d/off.list.disabled"
printf 'Dir::Etc::sourcelist "%s";\nDir::Etc::sourceparts "%s";\n' \
  "$work/etc/sources.list" "$work/etc/sources.list.d" >"$work/apt.conf"
cat >"$work/expected" <<'EOF'
Types: deb
URIs: http://archive.invalid/debian
Suites: stable
Components: main contrib
Architectures: armhf,amd64
Languages-Remove: de
signed-by: /usr/share/keyrings/archive.gpg

Types: deb
URIs: http://archive.invalid/flat
Suites: ./

Types: deb
URIs: http://archive.invalid/debian
Suites: stable stable-backports
Components: main
Signed-By: /usr/share/keyrings/archive.gpg

EOF
# shellcheck disable=SC2016  # the inner shell's
if APT_CONFIG=$work/apt.conf bash -c '. "$1/scripts/packages.sh" && apt_release_sources' \
  archive-retry "$source_dir" >"$work/got" && diff -u "$work/expected" "$work/got"; then
  echo "ok: apt_release_sources: one deb822 file, binary only, no -security or -updates suite"
else
  echo "FAILED: apt_release_sources (expected, got above)" >&2
  failed=1
fi
exit "$failed"
