#!/usr/bin/env bash
# Builds vellumar and runs it on the files in samples/: the usage text, the
# version text, a refused run, and a complete run with the sample
# configuration. The program looks for its keywords in its own path too, so it
# runs from a temporary directory whose path holds no '-', '+' or '='.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target vellumar -j "$(nproc)"

work=$(mktemp -d /tmp/vellumardemoXXXXXX)
trap 'rm -rf "$work"' EXIT
cp build/front/vellumar samples/vellumar.cfg samples/head.tpl samples/foot.tpl \
  samples/hello.txt "$work/"
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

run
run -v
run -o2:5020/9999 -mE
run -cvellumar.cfg "-eS$work/sample" -Fhello.txt
