#!/usr/bin/env bash
# Builds vellumar and runs it on the files in samples/: the usage text, the
# version text, a refused run, and then the sample posting into each of the
# three base formats (*.msg directory, Squish, JAM) under build/demo/,
# followed by a look at the files written and at the first message's text.
#
# The program looks for its keywords in its own path and in every argument,
# so it runs from a temporary directory whose path holds no '-', '+' or '=',
# and reaches build/demo/ through a link named out there: the repository's
# own path never appears on its command line.
#
# BUILD_DIR selects the build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
build=${BUILD_DIR:-build}
bash scripts/deps.sh
# The programs alone: no tests, so GoogleTest is not needed.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELLUMAR_TESTS=OFF \
  -DVELLUMAR_BENCH=OFF >/dev/null
cmake --build "$build" --target vellumar msgdump -j "$(nproc)"

case $build in
  /*) demo="$build/demo" ;;
  *) demo="$repo/$build/demo" ;;
esac
rm -rf "$demo"
mkdir -p "$demo"

work=$(mktemp -d /tmp/vellumardemoXXXXXX)
trap 'rm -rf "$work"' EXIT
cp "$build/app/vellumar" "$build/tools/msgdump/msgdump" samples/vellumar.cfg samples/head.tpl samples/foot.tpl \
  samples/hello.txt "$work/"
ln -s "$demo" "$work/out"
cd "$work"

run() {
  echo
  echo "\$ vellumar $*"
  set +e
  ./vellumar "$@"
  local status=$?
  set -e
  echo "(exit status $status)"
}

# Shows a text whose lines end with a carriage return, control bytes visible.
show_text() {
  tr '\r' '\n' | cat -v
}

run
run -v
run -o2:5020/9999 -mE
run -cvellumar.cfg -eFout/msg -Fhello.txt
run -cvellumar.cfg -eSout/squish -Fhello.txt
run -cvellumar.cfg -eJout/jam -Fhello.txt

echo
echo "== Files written under $demo"
ls -l "$demo" "$demo/msg"

echo
echo "== *.msg base, message 2 (the first of a new area): the 190-byte header"
head -c 190 "$demo/msg/2.msg" | hexdump -C
echo "== and its text (^A marks a control line)"
tail -c +191 "$demo/msg/2.msg" | tr -d '\0' | show_text

echo
echo "== Squish base: base header, frame header and message header"
head -c $((256 + 28 + 238)) "$demo/squish.sqd" | hexdump -C
echo "== control lines and text of message 1"
tail -c +$((256 + 28 + 238 + 1)) "$demo/squish.sqd" | tr '\0' '\r' | show_text
echo "== index"
hexdump -C "$demo/squish.sqi"

echo
echo "== JAM base: message header and subfields (after the 1024-byte base header)"
hexdump -C -s 1024 "$demo/jam.jhr"
echo "== text of message 1"
show_text <"$demo/jam.jdt"

echo
echo "== The same bases as msgdump lists them"
for base in Fout/msg Sout/squish Jout/jam; do
  echo
  echo "\$ msgdump $base"
  ./msgdump "$base"
done
