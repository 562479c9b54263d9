#!/usr/bin/env bash
# Times posting with the built program: a file of about 0.3 MB and the largest
# file that fits with 50 lines per section (2680874 bytes) into each base
# format, each run into a fresh base, and sharutils' uuencode on the same
# files for comparison. With 50 lines a section every message waits for the
# clock's next hundredth so that its MSGID serial differs from the one before,
# which bounds a run at about 100 messages a second; the runs with 5000 lines
# per section show the work itself. Every message is also synced to the disk
# (about two fdatasync calls a message); that time hides in the wait for the
# clock, so the largest posting (1192 messages) must stay within
# 1.03 x 11.92 s + 0.05 s = 12.33 s of wall time.
#
# Usage: bench/post_bench.sh [path of the vellumar binary]
# (default: build/front/vellumar). Installs hyperfine and sharutils when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
binary=${1:-build/front/vellumar}
[ -x "$binary" ] || { echo "no program at $binary; build the vellumar target first" >&2; exit 1; }
if ! command -v hyperfine >/dev/null || ! command -v uuencode >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq hyperfine sharutils
fi

# The program reads keywords out of its own path too, so it runs from a
# directory whose path holds no '-', '+' or '='.
work=$(mktemp -d /tmp/vellumarbenchXXXXXX)
trap 'rm -rf "$work"' EXIT
cp "$binary" "$work/vellumar"
cd "$work"
printf 'Hello @TName,\n' >head.tpl
printf 'Bye\n' >foot.tpl
head -c 300000 /dev/urandom >small.bin
head -c 2680874 /dev/urandom >large.bin

post() {  # format letter, file, lines per section
  echo "./vellumar -o2:5020/100 -mE -d2:5020/1 +hhead.tpl +ffoot.tpl -e${1}base -F$2 -l$3"
}

for file in small.bin large.bin; do
  runs=5
  [ "$file" = large.bin ] && runs=3
  for lines in 50 5000; do
    for letter in F S J; do
      hyperfine --style basic --runs "$runs" --prepare 'rm -rf base base.*' \
        --command-name "$letter $file -l$lines" "$(post "$letter" "$file" "$lines")"
    done
  done
  if [ "$file" = large.bin ]; then
    echo "wall-time bound for the 1192 messages of large.bin -l50: 12.33 s"
  fi
  if command -v uuencode >/dev/null; then
    hyperfine --style basic --runs "$runs" --command-name "uuencode $file" \
      "uuencode $file $file >/dev/null"
  fi
done
