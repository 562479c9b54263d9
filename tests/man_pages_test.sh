#!/usr/bin/env bash
# Checks the manual pages in man/: each renders without a single warning
# (man --warnings, or groff -ww where man-db is missing), and every keyword or
# option a program's usage text names appears in that program's page, so a
# new keyword cannot go undocumented.
#
# Usage: man_pages_test.sh <man directory> <program>...
# Each program is run without arguments and with --help (which print its
# usage text) in a scratch directory; its page is <man directory>/<name>.1.
set -euo pipefail
mandir=$1
shift
scratch=$(mktemp -d /tmp/vellumarmanXXXXXX)
trap 'rm -rf "$scratch"' EXIT
status=0
fail() {
  echo "FAIL: $*"
  status=1
}

shopt -s nullglob
pages=("$mandir"/*.1)
[ ${#pages[@]} -gt 0 ] || { echo "FAIL: no pages in $mandir"; exit 1; }
for page in "${pages[@]}"; do
  if command -v man >/dev/null; then
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  else
    warnings=$(groff -ww -z -man "$page" 2>&1)
  fi
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done

# A keyword in a usage text: two characters such as -o, +h or =T, or a long
# option such as --json, at the start of a word or after '[', '(' or '|'.
usage_keywords() {
  grep -oE '(^|[][ (|])(--[a-z][a-z-]*|[-+=][A-Za-z])' | sed -E 's/^[][ (|]//' | sort -u
}

for program in "$@"; do
  name=$(basename "$program")
  page=$mandir/$name.1
  [ -f "$page" ] || { fail "$name has no page $page"; continue; }
  # Copied so that the path it is run by holds no '-', '+' or '=' (vellumar
  # reads keywords out of its own path).
  cp "$program" "$scratch/$name"
  usage=$(cd "$scratch" && { "./$name" 2>&1 || true; "./$name" --help 2>&1 || true; })
  rendered=$(groff -man -Tascii -P-cbou -rLL=250n "$page" 2>/dev/null)
  keywords=$(usage_keywords <<<"$usage")
  [ -n "$keywords" ] || fail "$name: no keywords found in its usage text: $usage"
  for keyword in $keywords; do
    pattern=$(sed -E 's/[+]/[+]/g' <<<"$keyword")
    grep -qE "(^|[][ (,|])$pattern" <<<"$rendered" || fail "$name: $keyword is not in $page"
  done
  echo "$name: $(wc -w <<<"$keywords") keywords documented"
done
exit $status
