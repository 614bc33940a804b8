#!/usr/bin/env bash
# Checks that change nothing, for the files git knows of (and new ones it
# does not ignore):
#   format  every C++ file as .clang-format says (clang-format --dry-run);
#           fix with clang-format -i FILE
#   shell   every shell script, found by its #! line or a .sh name, checked
#           (shellcheck -x) in the dialect it runs under: bash for #!...bash,
#           sh for #!/bin/sh and the like (busybox runs those on the board);
#           a sourced .sh file without a #! line names its dialect in a
#           "# shellcheck shell=bash" line
#   tidy    clang-tidy (.clang-tidy) on the C++ files of modem-setup/,
#           netif-rename/ and tools/, with the default build's
#           compile_commands.json (it configures that build, two files at a
#           time)
#   links   every relative link of README.md and docs/*.md leads to a file
#           or directory of the checkout, and its #anchor, if any, to a
#           heading of the page it names
#
#   scripts/lint.sh [format|shell|tidy|links]...     (default: all four)
#
# Installs what it misses with apt-get (as root). Exits non-zero naming the
# checks that failed.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

checks=("$@")
[ ${#checks[@]} -eq 0 ] && checks=(format shell tidy links)
packages=(git)
for check in "${checks[@]}"; do
  case $check in
    format) packages+=(clang-format) ;;
    shell) packages+=(shellcheck) ;;
    tidy) packages+=(clang-tidy cmake make g++) ;;
    links) ;;
    *)
      echo "lint: no check '$check' (checks: format shell tidy links)" >&2
      exit 2
      ;;
  esac
done
ensure_packages "${packages[@]}"

# The files of the checkout: tracked and new, less the ignored and the
# deleted.
files=()
while IFS= read -r -d '' file; do
  [ -f "$file" ] && files+=("$file")
done < <(git ls-files -z --cached --others --exclude-standard)

check_format() {
  local cpp=() file
  for file in "${files[@]}"; do
    case $file in *.cpp | *.h) cpp+=("$file") ;; esac
  done
  echo "--- format: ${#cpp[@]} C++ files"
  clang-format --dry-run --Werror "${cpp[@]}"
}

check_shell() {
  local bash=() sh=() named=() file first
  local shebang='^#![[:space:]]*[^[:space:]]*/(env[[:space:]]+)?(bash|sh|dash|ash|busybox[[:space:]]+sh)([[:space:]]|$)'
  for file in "${files[@]}"; do
    first=
    IFS= read -r first <"$file" 2>/dev/null || true
    if [[ $first =~ $shebang ]]; then
      if [ "${BASH_REMATCH[2]}" = bash ]; then bash+=("$file"); else sh+=("$file"); fi
    elif [[ $file == *.sh ]]; then
      named+=("$file")
    fi
  done
  echo "--- shell: ${#bash[@]} bash scripts, ${#sh[@]} sh scripts, ${#named[@]} sourced"
  local status=0
  # -x: follow the files a script sources, from the top of the tree.
  [ ${#bash[@]} -eq 0 ] || shellcheck -x -s bash "${bash[@]}" || status=1
  [ ${#sh[@]} -eq 0 ] || shellcheck -x -s sh "${sh[@]}" || status=1
  [ ${#named[@]} -eq 0 ] || shellcheck -x "${named[@]}" || status=1
  return $status
}

check_tidy() {
  local build=build/default
  mkdir -p "$build"
  if ! cmake --preset default >"$build/lint-configure.log" 2>&1; then
    cat "$build/lint-configure.log" >&2
    echo "lint: cmake --preset default failed" >&2
    return 1
  fi
  local cpp=() file
  for file in "${files[@]}"; do
    case $file in modem-setup/*.cpp | netif-rename/*.cpp | tools/*.cpp) cpp+=("$file") ;; esac
  done
  echo "--- tidy: ${#cpp[@]} C++ files"
  # Each file's diagnostics together, two files at a time; the findings
  # only, without clang-tidy's counts of what it left out.
  # shellcheck disable=SC2016  # $0, $1 and $out are the inner shell's
  printf '%s\0' "${cpp[@]}" |
    xargs -0 -n 1 -P 2 sh -c '
      out=$(clang-tidy -p "$0" --quiet "$1" 2>&1)
      status=$?
      printf "%s\n" "$out" | grep -Ev "^[0-9]+ (warning|error)s? (and [0-9]+ (warning|error)s? )?generated\.$" || true
      exit $status' "$build"
}

check_links() {
  local pages=() file
  for file in "${files[@]}"; do
    case $file in README.md | docs/*.md) pages+=("$file") ;; esac
  done
  echo "--- links: ${#pages[@]} pages"
  [ ${#pages[@]} -eq 0 ] && return 0
  # Outside code blocks and code spans, each "](TARGET)" with no scheme is
  # a path relative to its page, and "#ANCHOR" names a heading as the
  # anchor the page's renderer makes of it: lower case, punctuation but "-"
  # and "_" dropped, each blank a "-", "-1", "-2" after repeats.
  LC_ALL=C awk '
    function slug(text) {
      text = tolower(text)
      gsub(/[][!"#$%&\047()*+,.\/:;<=>?@\\^`{|}~]/, "", text)
      gsub(/ /, "-", text)
      return text
    }
    function anchors(page,   line, fenced, s) {
      if (page in loaded) return
      loaded[page] = 1
      fenced = 0
      while ((getline line < page) > 0) {
        if (line ~ /^[ ]*```/) { fenced = !fenced; continue }
        if (fenced || line !~ /^#+ /) continue
        sub(/^#+ +/, "", line)
        sub(/ +#* *$/, "", line)
        s = slug(line)
        if ((page, s) in known) { seen[page, s]++; s = s "-" seen[page, s] }
        known[page, s] = 1
      }
      close(page)
    }
    function check(page, target,   dir, path, anchor, at) {
      if (target ~ /^[a-zA-Z][a-zA-Z0-9+.-]*:/) return
      sub(/[ \t]+"[^"]*"$/, "", target)
      anchor = ""
      at = index(target, "#")
      if (at) { anchor = substr(target, at + 1); target = substr(target, 1, at - 1) }
      path = page
      if (target != "") {
        dir = page
        if (!sub(/\/[^\/]*$/, "", dir)) dir = "."
        path = dir "/" target
        if (system("test -e \047" path "\047") != 0) {
          printf "%s:%d: broken link: %s (no %s)\n", page, FNR, target, path
          bad = 1
          return
        }
      }
      if (anchor == "" || path !~ /\.md$/) return
      anchors(path)
      if (!((path, anchor) in known)) {
        printf "%s:%d: broken link: %s#%s (no such heading in %s)\n", page, FNR, target, anchor, path
        bad = 1
      }
    }
    FNR == 1 { fenced = 0 }
    /^[ ]*```/ { fenced = !fenced; next }
    fenced { next }
    {
      line = $0
      gsub(/`[^`]*`/, "", line)
      while (match(line, /\]\([^)]*\)/)) {
        check(FILENAME, substr(line, RSTART + 2, RLENGTH - 3))
        line = substr(line, RSTART + RLENGTH)
      }
    }
    END { exit bad }
  ' "${pages[@]}"
}

failed=()
for check in "${checks[@]}"; do
  started=$SECONDS
  if "check_$check"; then
    echo "--- $check: clean ($((SECONDS - started)) s)"
  else
    echo "--- $check: FAILED ($((SECONDS - started)) s)" >&2
    failed+=("$check")
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "lint: failed: ${failed[*]}" >&2
  exit 1
fi
echo "lint: clean (${checks[*]})"
