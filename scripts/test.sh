#!/usr/bin/env bash
# Builds and runs every test: the format check, the whole suite with warnings as
# errors, the suite again under AddressSanitizer and UndefinedBehaviorSanitizer,
# each fuzz target for a short bounded time on its seed corpus, and the
# README's Install build (Release, the programs alone, no GoogleTest) with GCC
# and with Clang, warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/deps.sh --test
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-20}

# Every test case takes one of $jobs "cpu" slots, but those that mostly wait
# (for the serial clock, a held base) take none and run beside them; see
# vellumar_test in testing/CMakeLists.txt.
resources=$(mktemp)
trap 'rm -f "$resources"' EXIT
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

echo "== format"
git ls-files '*.cpp' '*.h' | xargs -r clang-format --dry-run --Werror

echo "== build"
# The tests and benchmarks are asked for by name: the demo builds the same
# folder without them.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  -DVELLUMAR_TESTS=ON -DVELLUMAR_BENCH=ON >/dev/null
cmake --build build -j "$jobs"
echo "== test"
run_tests build

echo "== build with sanitizers"
cmake -S . -B build_asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELLUMAR_SANITIZE=ON \
  -DVELLUMAR_BENCH=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build build_asan -j "$jobs"
echo "== test with sanitizers"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_tests build_asan

if [ -d fuzz/corpus ]; then
  echo "== fuzz (${fuzz_seconds}s a target)"
  CC=clang CXX=clang++ cmake -S . -B build_fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELLUMAR_FUZZ=ON \
    -DVELLUMAR_TESTS=OFF -DVELLUMAR_BENCH=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
  # Only the fuzz targets: the programs and tools are built and tested above.
  cmake --build build_fuzz -j "$jobs" --target $(for corpus in fuzz/corpus/*/; do
    echo "$(basename "$corpus")_fuzz"; done)
  for corpus in fuzz/corpus/*/; do
    name=$(basename "$corpus")
    work=$(mktemp -d)
    cp -r "$corpus". "$work/"
    echo "fuzzing $name"
    (cd "$work" && "$root/build_fuzz/fuzz/${name}_fuzz" -max_total_time="$fuzz_seconds" \
      -rss_limit_mb=2048 -print_final_stats=1 "$work" 2>&1 | tail -n 3)
    rm -rf "$work"
  done
fi
for compiler in gcc:g++ clang:clang++; do
  echo "== release build of the programs with ${compiler#*:}, as the README's Install"
  CXX=${compiler#*:} cmake -S . -B "build_release_${compiler%%:*}" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DVELLUMAR_TESTS=OFF -DVELLUMAR_BENCH=OFF -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
  cmake --build "build_release_${compiler%%:*}" -j "$jobs"
done
echo "all tests passed"
