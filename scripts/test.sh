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

echo "== format"
git ls-files '*.cpp' '*.h' | xargs -r clang-format --dry-run --Werror

echo "== build"
# The tests and benchmarks are asked for by name: the demo builds the same
# folder without them.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  -DVELLUMAR_TESTS=ON -DVELLUMAR_BENCH=ON >/dev/null
cmake --build build -j "$jobs"
echo "== test"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== build with sanitizers"
cmake -S . -B build_asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELLUMAR_SANITIZE=ON \
  -DVELLUMAR_BENCH=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build build_asan -j "$jobs"
echo "== test with sanitizers"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build_asan --output-on-failure -j "$jobs"

if [ -d fuzz/corpus ]; then
  echo "== fuzz (${fuzz_seconds}s a target)"
  CC=clang CXX=clang++ cmake -S . -B build_fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELLUMAR_FUZZ=ON \
    -DVELLUMAR_TESTS=OFF -DVELLUMAR_BENCH=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
  cmake --build build_fuzz -j "$jobs"
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
