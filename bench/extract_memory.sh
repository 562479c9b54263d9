#!/usr/bin/env bash
# Peak memory (maximum resident set size, from /usr/bin/time -v) of
# msgextract on texts that used to cost memory by their size or by the
# number of their bad pieces, and on bases of one and of three of the
# largest postings (2680874 bytes in 1192 messages each): the peak should
# follow the largest message or posting, not the base.
#
# Usage: bench/extract_memory.sh [build directory] (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }
. bench/extract_setup.sh "$@"

peak() {  # label, arguments of msgextract
  local label=$1
  shift
  /usr/bin/time -v ./msgextract "$@" >/dev/null 2>time.txt || true
  printf '%-44s %8s kB peak\n' "$label" \
    "$(sed -n 's/.*Maximum resident set size (kbytes): //p' time.txt)"
  rm -f out/*
}

# One *.msg message: a zeroed 190-byte header, the text, a closing zero byte.
one_message() {  # directory, text repeated, size
  mkdir -p "$1"
  python3 -c "
import sys
unit = sys.argv[2].encode().replace(b'|', b'\r')
text = unit * (int(sys.argv[3]) // len(unit))
open(sys.argv[1] + '/1.msg', 'wb').write(bytes(190) + text + b'\0')" "$1" "$2" "$3"
}

one_message begins 'begin 644 x|' 11534336
peak "11 MB of 'begin 644 x' lines" --list Fbegins
one_message bad 'begin 644 x|#86)C|' 11534336
peak "11 MB of bad blocks" --list Fbad

for n in 1 2 3; do
  head -c 2680874 /dev/urandom >"large$n.bin"
  echo "posting large$n.bin (paced by the message serials)" >&2
  ./vellumar -o2:5020/100 -mE -d2:5020/1 +hhead.tpl +ffoot.tpl "-eFthree" "-Flarge$n.bin" \
    -l50 >/dev/null
  [ "$n" = 1 ] && cp -r three one
done
peak "largest posting, list" --list Fone
peak "largest posting, rebuild" Fone out
peak "three largest postings, rebuild" Fthree out
