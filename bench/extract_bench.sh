#!/usr/bin/env bash
# Times msgextract rebuilding the largest posting that fits with 50 lines per
# section (2680874 bytes, 1192 messages) and one of half that size from each
# base format, side by side with sharutils' uudecode on the same encoded text
# joined into one part (the begin line of section 1, the data lines of every
# section in order, the backquote line and "end"), and with uudeview on that
# same joined part. Posting is paced by the
# message serials (about 100 messages a second), so every base is made once
# and reused by all runs; each run writes into a directory without the file.
#
# The goal is stated in processor time (user + system): after hyperfine's
# figures (means) come the medians of 60 runs of each, taken side by side with
# uudecode, from bench/cpu_medians.py.
#
# Usage: bench/extract_bench.sh [build directory] (default: build).
# Installs hyperfine, sharutils, uudeview and python3 when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
if ! command -v hyperfine >/dev/null || ! command -v uudecode >/dev/null ||
  ! command -v uudeview >/dev/null || ! command -v python3 >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq hyperfine sharutils uudeview python3
fi
. bench/extract_setup.sh "$@"
head -c 2680874 /dev/urandom >large.bin
head -c 1340437 /dev/urandom >half.bin

# The sections of a *.msg base (190-byte header, text lines ending in CR,
# a closing zero byte) joined into one uuencoded part.
# The area's first message is 2.msg (1.msg is the tosser's): the files are
# taken in the order of their numbers, whatever they start at.
join_sections() {  # base directory
  for f in $(ls "$1" | grep -E '^[0-9]+\.msg$' | sort -n); do
    tail -c +191 "$1/$f" | tr -d '\0' | tr '\r' '\n'
  done |
    awk '/^[Ss]ection [0-9]+ of [0-9]+ of file / { inside = 1; next }
         inside && /^begin [0-7]+ / { if (!begun) print; begun = 1; next }
         inside && $0 == "`" { inside = 0; next }
         inside && $0 != " " && $0 != "" { print }
         END { print "`"; print "end" }'
}

for file in large.bin half.bin; do
  name=${file%.bin}
  for letter in F S J; do
    echo "posting $file into $letter (paced by the message serials)"
    ./vellumar -o2:5020/100 -mE -d2:5020/1 +hhead.tpl +ffoot.tpl "-e$letter$name$letter" \
      "-F$file" -l50 >/dev/null
  done
  count=$(ls "${name}F" | grep -c '\.msg$')
  join_sections "${name}F" >"$name.uue"
  echo "$file: $count messages; joined part $(wc -c <"$name.uue") bytes"
  uudecode -o out/check.bin "$name.uue" && cmp "$file" out/check.bin && echo "uudecode rebuilds it"
  rm -f out/*
  for letter in F S J; do
    ./msgextract "$letter$name$letter" out >/dev/null && cmp "$file" "out/$file"
    rm -f out/*
    hyperfine -N --style basic --warmup 2 --runs 20 --prepare "rm -f out/$file" \
      --command-name "msgextract $letter $file" "./msgextract $letter$name$letter out"
  done
  hyperfine -N --style basic --warmup 2 --runs 20 --prepare "rm -f out/$file" \
    --command-name "uudecode $file" "uudecode -o out/$file $name.uue"
  uudeview -i -q -p out "$name.uue" && cmp "$file" "out/$file" && echo "uudeview rebuilds it"
  hyperfine -N --style basic --warmup 2 --runs 20 --prepare "rm -f out/$file" \
    --command-name "uudeview $file" "uudeview -i -q -p out $name.uue"
  echo "$file, processor time (user + system), medians of 60 runs:"
  python3 "$root/bench/cpu_medians.py" 60 "out/$file" "uudecode -o out/$file $name.uue" \
    "msgextract *.msg=./msgextract F${name}F out" "msgextract Squish=./msgextract S${name}S out" \
    "msgextract JAM=./msgextract J${name}J out" "uudeview=uudeview -i -q -p out $name.uue"
done
