#!/usr/bin/env bash
# Builds and runs every test: the format check; the whole suite built as the
# README's Install builds the programs (GCC, Release, warnings as errors);
# the suite again built with Clang under AddressSanitizer and
# UndefinedBehaviorSanitizer (warnings as errors), which also builds the fuzz
# targets; each fuzz target for a short bounded time on its seed corpus; and a
# configuration as the README's Install makes it, without GoogleTest.
#
# The stages overlap where one mostly waits: the plain tests (most of their
# time is the serial clock) run while the sanitizer build compiles, and the
# fuzz targets, two at a time, run while the sanitizer tests wait. Each stage's output is
# shown whole, in order, and the first failing stage fails the command.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/deps.sh --test
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-20}
start=$SECONDS
logs=$(mktemp -d)
resources="$logs/resources.json"
trap 'rm -rf "$logs"' EXIT

stage() { echo "== $1 ($((SECONDS - start)) s)"; }

# Every test case takes one of $jobs "cpu" slots, but those that mostly wait
# (for the serial clock, a held base) take none and run beside them; see
# vellumar_test in testing/CMakeLists.txt.
printf '{"version": {"major": 1, "minor": 0}, "local": [{"cpu": [{"id": "0", "slots": %d}]}]}\n' \
  "$jobs" >"$resources"

# Tests make their files under TMPDIR. On a memory file system the syncs that
# every base write makes cost next to nothing, where on a disk waiting for them
# was most of the suite's time; what the tests check (which calls are made, in
# which order, and the bytes) is the same. /dev/shm is short, as it must be
# (a posting's command line holds four paths under it and is cut at 255
# characters), and has /tmp's permissions.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi

run_tests() {
  ctest --test-dir "$1" --output-on-failure -j "$((jobs + 8))" --resource-spec-file "$resources"
}

# Runs one fuzz target on a copy of its corpus for $fuzz_seconds.
fuzz_target() {
  local name=$1 work
  work=$(mktemp -d)
  mkdir "$work/corpus"
  cp -r "fuzz/corpus/$name/." "$work/corpus/"
  echo "fuzzing $name"
  local status=0
  (cd "$work" && "$root/build_asan/fuzz/${name}_fuzz" -max_total_time="$fuzz_seconds" \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" \
    >"$work/log" 2>&1) || status=$?
  if [ "$status" -eq 0 ]; then
    tail -n 3 "$work/log"
  else
    # The report whole, and the input that failed, so that a run elsewhere
    # can be reproduced: base64 -d into a file, and give it to the target.
    grep -v -E '^#[0-9]+' "$work/log" | tail -n 80 || true
    for input in "$work"/crash-* "$work"/leak-* "$work"/oom-* "$work"/timeout-*; do
      if [ -f "$input" ]; then
        echo "failing input ($(basename "$input")), base64:"
        base64 -w 0 "$input"
        echo
      fi
    done
  fi
  rm -rf "$work"
  return "$status"
}

stage "format"
git ls-files '*.cpp' '*.h' | xargs -r clang-format --dry-run --Werror

stage "build (GCC, Release, as the README's Install, with the tests)"
# The tests and benchmarks are asked for by name: the demo builds the same
# folder without them. The test code itself is compiled unoptimised (see
# testing/CMakeLists.txt); the programs and libraries with the Install flags.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  -DVELLUMAR_TESTS=ON -DVELLUMAR_BENCH=ON >/dev/null
cmake --build build -j "$jobs"

stage "test, while the sanitizer build compiles"
run_tests build >"$logs/test.log" 2>&1 &
plain_tests=$!
# Clang here, so that its warnings are errors too; -O1 with line tables makes
# the instrumented suite run several times faster than -O0 and still gives
# every report its source lines. The fuzz targets link the same instrumented
# libraries (-fsanitize=fuzzer-no-link adds their coverage counters). Each
# target's sources are compiled as one unit (a unity build: 58 s instead of
# 91 s here); the plain build above compiles them one by one, as users do,
# so a missing include that the unity build would hide still fails there.
CC=clang CXX=clang++ cmake -S . -B build_asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -gline-tables-only" -DVELLUMAR_SANITIZE=ON -DVELLUMAR_FUZZ=ON \
  -DVELLUMAR_BENCH=OFF -DCMAKE_UNITY_BUILD=ON -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
asan_build=0
cmake --build build_asan -j "$jobs" >"$logs/asan_build.log" 2>&1 || asan_build=$?
plain=0
wait "$plain_tests" || plain=$?
cat "$logs/test.log"
[ "$plain" -eq 0 ] || { echo "the tests failed"; exit "$plain"; }
stage "build with sanitizers (Clang)"
cat "$logs/asan_build.log"
[ "$asan_build" -eq 0 ] || { echo "the sanitizer build failed"; exit "$asan_build"; }

stage "test with sanitizers, while the fuzz targets run (${fuzz_seconds}s a target)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_tests build_asan \
  >"$logs/asan_test.log" 2>&1 &
asan_tests=$!
# Two targets at a time: each fuzzes on one processor for its seconds, and the
# sanitizer tests spend much of theirs waiting for the serial clock.
fuzz=0
pending=()
for corpus in fuzz/corpus/*/; do
  name=$(basename "$corpus")
  fuzz_target "$name" >"$logs/fuzz_$name.log" 2>&1 &
  pending+=("$!:$name")
  if [ "${#pending[@]}" -ge 2 ]; then
    for job in "${pending[@]}"; do
      wait "${job%%:*}" || fuzz=$?
      cat "$logs/fuzz_${job#*:}.log"
    done
    pending=()
  fi
done
for job in "${pending[@]}"; do
  wait "${job%%:*}" || fuzz=$?
  cat "$logs/fuzz_${job#*:}.log"
done
asan=0
wait "$asan_tests" || asan=$?
cat "$logs/asan_test.log"
[ "$asan" -eq 0 ] || { echo "the tests with sanitizers failed"; exit "$asan"; }
[ "$fuzz" -eq 0 ] || { echo "a fuzz target failed"; exit "$fuzz"; }

stage "configuration as the README's Install, without GoogleTest"
# The programs were built with these flags above; what is left to show is that
# the configuration needs neither GoogleTest nor the benchmark library.
cmake -S . -B build_install_check -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELLUMAR_TESTS=OFF \
  -DVELLUMAR_BENCH=OFF -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
echo "all tests passed in $((SECONDS - start)) s"
