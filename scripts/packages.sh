# shellcheck shell=bash
# Sourced by the scripts here: installs the Debian packages a step needs,
# asking apt-get only for those that are missing, and the helpers of every
# step that talks to the package archive.
#
# An archive has bad moments: a mirror in the middle of a sync serves an
# index or a package that does not match its Release file ("File has
# unexpected size ... Mirror sync in progress?") for minutes, sometimes
# hours. So each such step is tried ARCHIVE_TRIES times, ARCHIVE_PAUSE
# seconds apart; an index that still fails is only warned about (apt goes on
# with the others), and a step fails only when a package it needs cannot be
# had, naming it, with apt's own words, in one line.
ARCHIVE_TRIES=${ARCHIVE_TRIES:-3}
ARCHIVE_PAUSE=${ARCHIVE_PAUSE:-15}

# apt_said LOG: what apt said went wrong in LOG, on one line: its "E:"
# lines (the first line of each), else its "W:" lines, else the last line.
apt_said() {
  local said
  said=$(grep '^E: ' "$1") || said=$(grep '^W: ' "$1") || said=$(tail -n 1 "$1")
  tr -s ' \n' ' ' <<<"$said" | sed 's/ $//'
}

# archive_try WHAT LOG COMMAND...: runs COMMAND, its output in LOG, until it
# succeeds, ARCHIVE_TRIES times at most; each failed try but the last is
# reported in one line on standard error (WHAT: why; when the next comes).
# Returns COMMAND's last status.
archive_try() {
  local what=$1 log=$2 try=1 status
  shift 2
  while :; do
    "$@" >"$log" 2>&1 && return 0
    status=$?
    [ "$try" -ge "$ARCHIVE_TRIES" ] && return "$status"
    echo "$what: try $try of $ARCHIVE_TRIES failed: $(apt_said "$log"); trying again in $ARCHIVE_PAUSE s" >&2
    sleep "$ARCHIVE_PAUSE"
    try=$((try + 1))
  done
}

# apt_update WHAT LOG APT_GET_OPTION...: apt-get update, tried as
# archive_try tries. When an index still fails after that, it warns and
# succeeds: apt-get fails the whole update for one index (status 100) but
# keeps those that arrived, and a package that only the failed one had is
# missed by the step that needs it, which then says so.
apt_update() {
  local what=$1 log=$2
  shift 2
  archive_try "$what" "$log" apt-get "$@" update && return 0
  echo "$what: warning: going on with the indices that arrived; after $ARCHIVE_TRIES tries apt-get update still says: $(apt_said "$log")" >&2
}

# apt_download WHAT DIR LOG APT_GET_OPTION... -- PACKAGE...: apt-get
# download of each PACKAGE (NAME or NAME=VERSION) into DIR, tried as
# archive_try tries. When it still fails, says in one line which packages
# are missing from DIR and why, and fails.
apt_download() {
  local what=$1 dir=$2 log=$3 options=() package missing=()
  shift 3
  while [ "$1" != -- ]; do
    options+=("$1")
    shift
  done
  shift
  archive_try "$what" "$log" env -C "$dir" apt-get "${options[@]}" download "$@" && return 0
  for package in "$@"; do
    compgen -G "$dir/${package%%=*}_*.deb" >/dev/null || missing+=("$package")
  done
  echo "$what: cannot fetch ${missing[*]:-$*} after $ARCHIVE_TRIES tries: $(apt_said "$log")" >&2
  return 1
}

# apt_release_sources: the machine's apt sources, as apt-config names them
# (sources.list and sources.list.d/*.list in the one-line style,
# sources.list.d/*.sources in deb822), as one deb822 file on standard
# output: binary packages only, less the -security and -updates suites
# (their indices change most often, so they are the likeliest to be caught
# mid-sync). What a step that needs a release's own packages reads; no
# archive's address is written here.
apt_release_sources() {
  local list parts file
  eval "$(apt-config shell list Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d)"
  {
    for file in "$list" "$parts"*.list; do
      if [ -f "$file" ]; then
        # "TYPE [OPTION=VALUE...] URI SUITE [COMPONENT...]" as a stanza; the
        # options keep their names (apt reads deb822 fields whatever their
        # case) but for the three that deb822 names in the plural.
        awk '{
          sub(/#.*/, "")
          if (NF == 0) next
          rest = $0
          sub(/^[ \t]*[^ \t[]+[ \t]*/, "", rest)
          options = ""
          if (substr(rest, 1, 1) == "[") {
            options = substr(rest, 2, index(rest, "]") - 2)
            rest = substr(rest, index(rest, "]") + 1)
          }
          if (split(rest, word, " ") < 2) next
          print "Types: " $1 "\nURIs: " word[1] "\nSuites: " word[2]
          components = ""
          for (i = 3; i in word; i++) components = components " " word[i]
          if (components != "") print "Components:" components
          count = split(options, option, " ")
          for (i = 1; i <= count; i++) {
            name = substr(option[i], 1, index(option[i], "=") - 1)
            change = ""
            if (name ~ /[+-]$/) {
              change = name ~ /\+$/ ? "-Add" : "-Remove"
              name = substr(name, 1, length(name) - 1)
            }
            if (name == "arch") name = "Architectures"
            if (name == "lang") name = "Languages"
            if (name == "target") name = "Targets"
            print name change ": " substr(option[i], index(option[i], "=") + 1)
          }
          print ""
        }' "$file"
      fi
    done
    for file in "$parts"*.sources; do
      if [ -f "$file" ]; then
        cat "$file"
        echo
      fi
    done
  } | awk '
    # One stanza: its fields in order, each with its continuation lines.
    function flush(   i, j, count, word, kept) {
      for (i = 1; i <= fields; i++) {
        if (tolower(name[i]) != "types" && tolower(name[i]) != "suites") continue
        count = split(value[i], word, /[ \t\n]+/)
        kept = ""
        for (j = 1; j <= count; j++) {
          if (word[j] == "") continue
          if (tolower(name[i]) == "types" && word[j] != "deb") continue
          if (word[j] ~ /(-security|-updates|\/updates)$/) continue
          kept = kept " " word[j]
        }
        if (kept == "") {
          fields = 0
          return
        }
        value[i] = kept
      }
      for (i = 1; i <= fields; i++) print name[i] ":" value[i]
      if (fields) print ""
      fields = 0
    }
    /^#/ { next }
    /^[ \t]*$/ { flush(); next }
    /^[ \t]/ { if (fields) value[fields] = value[fields] "\n" $0; next }
    {
      name[++fields] = substr($0, 1, index($0, ":") - 1)
      value[fields] = substr($0, index($0, ":") + 1)
    }
    END { flush() }'
}

# apt_private_state DIR ARCHITECTURE STATUS: a fresh apt state of a step's
# own in DIR, for ARCHITECTURE alone: its lists, its cache, its sources
# (apt_release_sources, in DIR/etc) and the dpkg status file STATUS
# (/dev/null: nothing is installed). Sets APT_PRIVATE to the apt-get options
# that use it. The machine's apt configuration is only read.
apt_private_state() {
  local dir=$1 architecture=$2 status=$3
  rm -rf "$dir"
  mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial" "$dir/etc/sources.list.d"
  apt_release_sources >"$dir/etc/release.sources" || return 1
  if ! grep -q '^Suites:' "$dir/etc/release.sources"; then
    echo "${0##*/}: the machine's apt sources name no suite but -security and -updates ones" >&2
    return 1
  fi
  # shellcheck disable=SC2034  # used by the caller
  APT_PRIVATE=(-q -o APT::Architecture="$architecture" -o APT::Architectures="$architecture"
    -o Dir::Etc::SourceList="$dir/etc/release.sources"
    -o Dir::Etc::SourceParts="$dir/etc/sources.list.d"
    -o Dir::State::Lists="$dir/lists" -o Dir::Cache="$dir/cache"
    -o Dir::State::status="$status" -o APT::Sandbox::User=root)
}

# ensure_packages PACKAGE...: installs those of the packages that are
# missing (as root; otherwise it says how and ends the script). The package
# lists are updated once a script, however often it is called. Ends the
# script, naming the packages and saying why in apt's words, when they
# cannot be installed: a step never goes on without what it needs.
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
  local what=${0##*/} log
  log=$(mktemp)
  if [ -z "${PACKAGE_LISTS_UPDATED:-}" ]; then
    apt_update "$what" "$log" -qq
    PACKAGE_LISTS_UPDATED=1
  fi
  if ! archive_try "$what" "$log" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
    echo "$what: cannot install ${missing[*]} after $ARCHIVE_TRIES tries: $(apt_said "$log")" >&2
    rm -f "$log"
    exit 1
  fi
  cat "$log" >&2
  rm -f "$log"
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
